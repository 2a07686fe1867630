#include "ModuleAllocs.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

namespace {

// ---- where the module lives -------------------------------------------------

struct Range {
  uintptr_t lo = UINTPTR_MAX, hi = 0;
};

int FindModule(struct dl_phdr_info* info, size_t, void* out) {
  if (!info->dlpi_name || !std::strstr(info->dlpi_name, "libqmxconfweba.so")) return 0;
  Range& r = *static_cast<Range*>(out);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
    r.lo = std::min<uintptr_t>(r.lo, info->dlpi_addr + ph.p_vaddr);
    r.hi = std::max<uintptr_t>(r.hi, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
  }
  return 1;
}

// The module's code; found once (it is loaded with the program, before any
// of its allocations).
const Range& Module() {
  static const Range module = [] {
    Range r;
    dl_iterate_phdr(&FindModule, &r);
    return r;
  }();
  return module;
}

bool FromModule(void* caller) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(caller);
  return a >= Module().lo && a < Module().hi;
}

// ---- the next definitions ---------------------------------------------------

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using NewNothrow = void* (*)(size_t, const std::nothrow_t&);

// ---- live module objects ----------------------------------------------------
// The set's own nodes come and go through the replaced delete as well: the
// flag keeps the thread that holds the lock from coming back in.

std::mutex g_lock;
std::atomic<size_t> g_live{0};
thread_local bool t_inside = false;

std::unordered_set<void*>& Live() {
  static auto* live = new std::unordered_set<void*>();  // never destroyed: deletes come until the very end
  return *live;
}

// Adds (a module's new object) or removes (any delete) p.
void Mark(void* p, bool live) {
  if (!p || t_inside || (!live && g_live.load(std::memory_order_relaxed) == 0)) return;
  std::lock_guard<std::mutex> lock(g_lock);
  t_inside = true;
  live ? (void)Live().insert(p) : (void)Live().erase(p);
  g_live = Live().size();
  t_inside = false;
}

// ---- failure injection on one thread -----------------------------------------

// Armed, counted and failed on the thread that armed it only.
thread_local bool t_armed = false, t_injected = false;
thread_local size_t t_failAt = 0, t_counted = 0;

void* ModuleNew(size_t size, void* caller, NewNothrow next) {
  const bool module = FromModule(caller);
  if (module && t_armed && ++t_counted == t_failAt) {
    t_injected = true;
    return nullptr;
  }
  void* p = next(size, std::nothrow);
  if (module) Mark(p, true);
  return p;
}

}  // namespace

namespace relalloc {

size_t LiveObjects() { return g_live.load(); }

void ArmFailure(size_t n) {
  t_counted = 0;
  t_injected = false;
  t_failAt = n;
  t_armed = true;
}

bool FailureInjected() { return t_injected; }
void Disarm() { t_armed = false; }

bool ModuleFound() { return Module().hi != 0; }

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

// Every form of delete: forget the object, then hand on to the next one.
#define REL_DELETE(suffix, mangled, params, args)          \
  REL_EXPORT void operator delete suffix params noexcept { \
    using Next_ = void(*) params;                          \
    static const Next_ next = Next<Next_>(mangled);        \
    Mark(p, false);                                        \
    next args;                                             \
  }
REL_DELETE(, "_ZdlPv", (void* p), (p))
REL_DELETE([], "_ZdaPv", (void* p), (p))
REL_DELETE(, "_ZdlPvm", (void* p, size_t n), (p, n))
REL_DELETE([], "_ZdaPvm", (void* p, size_t n), (p, n))
REL_DELETE(, "_ZdlPvRKSt9nothrow_t", (void* p, const std::nothrow_t& t), (p, t))
REL_DELETE([], "_ZdaPvRKSt9nothrow_t", (void* p, const std::nothrow_t& t), (p, t))
