// The process-wide clock. Real mode reads CLOCK_MONOTONIC; manual mode holds a
// value that only moves when a test advances it.
#include <time.h>

#include <atomic>

#include "qmxclock.h"

namespace {

// Manual mode and its current value. The value is only meaningful while the
// flag is set; both are atomics so any thread may read the clock while a test
// advances it.
std::atomic<int> g_manual{0};
std::atomic<uint64_t> g_manualNow{0};

uint64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace

extern "C" {

uint64_t QmxClockNowMs(void) {
  if (g_manual.load(std::memory_order_acquire)) return g_manualNow.load(std::memory_order_acquire);
  return MonotonicMs();
}

void QmxClockSetManual(int on, uint64_t startMs) {
  if (on) {
    // Store the value first so that a reader who sees the flag sees the value.
    g_manualNow.store(startMs, std::memory_order_release);
    g_manual.store(1, std::memory_order_release);
  } else {
    g_manual.store(0, std::memory_order_release);
  }
}

int QmxClockIsManual(void) { return g_manual.load(std::memory_order_acquire); }

void QmxClockAdvance(uint64_t ms) {
  if (g_manual.load(std::memory_order_acquire)) g_manualNow.fetch_add(ms, std::memory_order_acq_rel);
}

// Like Windows, the tick count is the millisecond clock cut to 32 bits: it
// wraps after about 49.7 days.
DWORD GetTickCount(void) { return static_cast<DWORD>(QmxClockNowMs()); }

}  // extern "C"
