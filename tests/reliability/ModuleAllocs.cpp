#include "ModuleAllocs.h"

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// ---- where the module lives -------------------------------------------------

std::atomic<uintptr_t> g_modStart{0}, g_modEnd{0};
std::atomic<bool> g_modSearched{false};

int FindModule(struct dl_phdr_info* info, size_t, void*) {
  if (!info->dlpi_name || !std::strstr(info->dlpi_name, "libqmxconfweba.so")) return 0;
  uintptr_t lo = UINTPTR_MAX, hi = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
    const uintptr_t a = info->dlpi_addr + ph.p_vaddr;
    if (a < lo) lo = a;
    if (a + ph.p_memsz > hi) hi = a + ph.p_memsz;
  }
  if (hi > lo) {
    g_modStart = lo;
    g_modEnd = hi;
  }
  return 1;
}

bool FromModule(void* caller) {
  if (!g_modSearched.load(std::memory_order_acquire)) {
    dl_iterate_phdr(&FindModule, nullptr);
    g_modSearched.store(true, std::memory_order_release);
  }
  const uintptr_t a = reinterpret_cast<uintptr_t>(caller);
  return a >= g_modStart.load() && a < g_modEnd.load();
}

// ---- the next definitions ---------------------------------------------------

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using NewNothrow = void* (*)(size_t, const std::nothrow_t&);
using Delete = void (*)(void*);
using DeleteSized = void (*)(void*, size_t);
using DeleteNothrow = void (*)(void*, const std::nothrow_t&);

// ---- live module objects: a fixed table, so that keeping it never allocates --

constexpr size_t kSlots = 1 << 14;
std::mutex g_lock;
void* g_table[kSlots];
std::atomic<size_t> g_live{0};

size_t Hash(void* p) { return (reinterpret_cast<uintptr_t>(p) >> 4) * 0x9E3779B97F4A7C15ull >> 50 & (kSlots - 1); }

void Track(void* p) {
  std::lock_guard<std::mutex> lock(g_lock);
  for (size_t i = Hash(p), n = 0; n < kSlots; i = (i + 1) & (kSlots - 1), ++n) {
    if (!g_table[i]) {
      g_table[i] = p;
      ++g_live;
      return;
    }
  }
}

void Untrack(void* p) {
  if (!p || g_live.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard<std::mutex> lock(g_lock);
  size_t i = Hash(p);
  for (size_t n = 0; n < kSlots && g_table[i]; i = (i + 1) & (kSlots - 1), ++n) {
    if (g_table[i] != p) continue;
    // Backward-shift deletion keeps every probe chain unbroken.
    g_table[i] = nullptr;
    --g_live;
    for (size_t j = (i + 1) & (kSlots - 1); g_table[j]; j = (j + 1) & (kSlots - 1)) {
      void* q = g_table[j];
      g_table[j] = nullptr;
      for (size_t k = Hash(q);; k = (k + 1) & (kSlots - 1)) {
        if (!g_table[k]) {
          g_table[k] = q;
          break;
        }
      }
    }
    return;
  }
}

// ---- failure injection on one thread -----------------------------------------

std::atomic<bool> g_armed{false};
pthread_t g_armedThread;
std::atomic<size_t> g_failAt{0}, g_counted{0};
std::atomic<bool> g_injected{false};

void* ModuleNew(size_t size, void* caller, NewNothrow next) {
  const bool module = FromModule(caller);
  if (module && g_armed.load() && pthread_equal(pthread_self(), g_armedThread)) {
    const size_t n = ++g_counted;
    if (n == g_failAt.load()) {
      g_injected = true;
      return nullptr;
    }
  }
  void* p = next(size, std::nothrow);
  if (p && module) Track(p);
  return p;
}

}  // namespace

namespace relalloc {

size_t LiveObjects() { return g_live.load(); }

void ArmFailure(size_t n) {
  g_armedThread = pthread_self();
  g_counted = 0;
  g_injected = false;
  g_failAt = n;
  g_armed = true;
}

size_t CountedAllocations() { return g_counted.load(); }
bool FailureInjected() { return g_injected.load(); }
void Disarm() { g_armed = false; }

bool ModuleFound() {
  FromModule(nullptr);
  return g_modEnd.load() != 0;
}

}  // namespace relalloc

// ---- the replaced operators ------------------------------------------------
// The project builds with hidden visibility; these must be seen by the
// dynamic linker to take the place of libstdc++'s.
#define REL_EXPORT __attribute__((visibility("default"), noinline))

REL_EXPORT void* operator new(size_t size, const std::nothrow_t&) noexcept {
  static const NewNothrow next = Next<NewNothrow>("_ZnwmRKSt9nothrow_t");
  return ModuleNew(size, __builtin_return_address(0), next);
}

REL_EXPORT void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  static const NewNothrow next = Next<NewNothrow>("_ZnamRKSt9nothrow_t");
  return ModuleNew(size, __builtin_return_address(0), next);
}

REL_EXPORT void operator delete(void* p) noexcept {
  static const Delete next = Next<Delete>("_ZdlPv");
  Untrack(p);
  next(p);
}

REL_EXPORT void operator delete[](void* p) noexcept {
  static const Delete next = Next<Delete>("_ZdaPv");
  Untrack(p);
  next(p);
}

REL_EXPORT void operator delete(void* p, size_t n) noexcept {
  static const DeleteSized next = Next<DeleteSized>("_ZdlPvm");
  Untrack(p);
  next(p, n);
}

REL_EXPORT void operator delete[](void* p, size_t n) noexcept {
  static const DeleteSized next = Next<DeleteSized>("_ZdaPvm");
  Untrack(p);
  next(p, n);
}

REL_EXPORT void operator delete(void* p, const std::nothrow_t&) noexcept {
  static const DeleteNothrow next = Next<DeleteNothrow>("_ZdlPvRKSt9nothrow_t");
  Untrack(p);
  next(p, std::nothrow);
}

REL_EXPORT void operator delete[](void* p, const std::nothrow_t&) noexcept {
  static const DeleteNothrow next = Next<DeleteNothrow>("_ZdaPvRKSt9nothrow_t");
  Untrack(p);
  next(p, std::nothrow);
}
