// The parts of the layer that threads share: interlocked counters, the per-
// thread last error and the clock read while a test advances it.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qmxclock.h"
#include "windows.h"

namespace {

TEST(ThreadedTest, InterlockedCountersLoseNoUpdate) {
  volatile LONG count = 0;
  volatile LONG sum = 0;
  volatile LONG cas = 0;
  const int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        InterlockedIncrement(&count);
        InterlockedIncrement(&count);
        InterlockedDecrement(&count);
        InterlockedExchangeAdd(&sum, 3);
        // A compare-exchange loop: each round adds one.
        LONG seen;
        do {
          seen = InterlockedCompareExchange(&cas, 0, 0);  // an atomic read
        } while (InterlockedCompareExchange(&cas, seen + 1, seen) != seen);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(kThreads * kRounds, count);
  EXPECT_EQ(3 * kThreads * kRounds, sum);
  EXPECT_EQ(kThreads * kRounds, cas);
  EXPECT_EQ(kThreads * kRounds, InterlockedExchange(&cas, 7));
  EXPECT_EQ(7, cas);
}

TEST(ThreadedTest, LastErrorBelongsToEachThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seenByOther = 1;
  std::thread other([&] {
    seenByOther = GetLastError();
    SetLastError(ERROR_INVALID_HANDLE);
  });
  other.join();
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), seenByOther);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST(ThreadedTest, ManualClockReadWhileAdvanced) {
  QmxClockSetManual(1, 0);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    uint64_t last = 0;
    while (!done.load()) {
      uint64_t now = QmxClockNowMs();
      EXPECT_GE(now, last);
      last = now;
    }
  });
  for (int i = 0; i < 1000; ++i) QmxClockAdvance(1);
  done = true;
  reader.join();
  EXPECT_EQ(1000u, QmxClockNowMs());
  QmxClockSetManual(0, 0);
}

}  // namespace
