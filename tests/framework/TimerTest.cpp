// Timers on the manual clock: counts, order, and timers changed from inside
// their own or another timer's callback. No test measures an interval.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FrameworkTestUtil.h"

namespace {

TEST(TimeValueTest, Normalises) {
  struct Case {
    long sec, usec, wantSec, wantUsec;
    int64_t wantMs;
  } cases[] = {
      {20, 0, 20, 0, 20000},          {1, 2500000, 3, 500000, 3500},     {2, -1, 1, 999999, 1999},
      {-1, 500000, 0, -500000, -500}, {0, -1500000, -1, -500000, -1500}, {0, 999, 0, 999, 0},
  };
  for (const Case& c : cases) {
    CRtTimeValue v(c.sec, c.usec);
    EXPECT_EQ(v.GetSec(), c.wantSec) << c.sec << "," << c.usec;
    EXPECT_EQ(v.GetUsec(), c.wantUsec) << c.sec << "," << c.usec;
    EXPECT_EQ(v.GetTotalInMsec(), c.wantMs) << c.sec << "," << c.usec;
  }
  EXPECT_TRUE(CRtTimeValue(1, 1000000) == CRtTimeValue(2));
  EXPECT_TRUE(CRtTimeValue(1, 999999) < CRtTimeValue(2));
}

TEST(TimerNoQueueTest, ScheduleNeedsAQueueAndValidArguments) {
  CFnTimerSink sink([](CRtTimerWrapper*) {});
  CRtTimerWrapper timer;
  EXPECT_EQ(timer.Schedule(&sink, CRtTimeValue(1)), RT_ERROR_NOT_INITIALIZED);
  EXPECT_FALSE(timer.IsScheduled());
  ASSERT_NE(QmxThreadAttach(), nullptr);
  EXPECT_EQ(timer.Schedule(nullptr, CRtTimeValue(1)), RT_ERROR_INVALID_ARG);
  EXPECT_EQ(timer.Schedule(&sink, CRtTimeValue(-1)), RT_ERROR_INVALID_ARG);
  EXPECT_FALSE(timer.IsScheduled());
  EXPECT_EQ(timer.Cancel(), RT_OK);  // not scheduled: nothing to do
  QmxThreadDetach();
}

using TimerTest = ManualClockTest;

TEST_F(TimerTest, RepeatsUntilCancelledOncePerPass) {
  int fired = 0;
  CRtTimerWrapper* seen = nullptr;
  CFnTimerSink sink([&](CRtTimerWrapper* t) {
    ++fired;
    seen = t;
  });
  CRtTimerWrapper timer;
  ASSERT_EQ(timer.Schedule(&sink, CRtTimeValue(20, 0), 0), 0);
  EXPECT_TRUE(timer.IsScheduled());
  EXPECT_EQ(QmxThreadNextTimeoutMs(), -1);  // the manual clock never gets there by waiting
  EXPECT_EQ(Advance(19999), 0);
  EXPECT_EQ(Advance(1), 1);
  EXPECT_EQ(seen, &timer);
  EXPECT_EQ(Advance(20000), 1);
  // Far behind: one firing, and the next interval counts from now.
  EXPECT_EQ(Advance(120001), 1);
  EXPECT_EQ(QmxThreadRunPending(), 0);
  EXPECT_EQ(Advance(19999), 0);
  EXPECT_EQ(QmxThreadNextTimeoutMs(), -1);
  QmxClockAdvance(1);
  EXPECT_EQ(QmxThreadNextTimeoutMs(), 0);
  EXPECT_EQ(QmxThreadRunPending(), 1);
  EXPECT_EQ(fired, 4);
  EXPECT_TRUE(timer.IsScheduled());
  EXPECT_EQ(timer.Cancel(), RT_OK);
  EXPECT_FALSE(timer.IsScheduled());
  EXPECT_EQ(Advance(100000), 0);
}

TEST_F(TimerTest, CountedTimerStopsAfterItsCount) {
  std::vector<bool> scheduledInCallback;
  CRtTimerWrapper timer;
  CFnTimerSink sink([&](CRtTimerWrapper* t) { scheduledInCallback.push_back(t->IsScheduled()); });
  ASSERT_EQ(timer.Schedule(&sink, CRtTimeValue(1), 3), 0);
  for (int i = 0; i < 5; ++i) Advance(1000);
  EXPECT_EQ(scheduledInCallback, (std::vector<bool>{true, true, false}));
  EXPECT_FALSE(timer.IsScheduled());
}

TEST_F(TimerTest, DueTimersFireByDeadlineThenScheduleOrder) {
  std::string order;
  CRtTimerWrapper a, b, c, late;
  CFnTimerSink sink([&](CRtTimerWrapper* t) { order += t == &a ? 'a' : t == &b ? 'b' : t == &c ? 'c' : 'L'; });
  late.Schedule(&sink, CRtTimeValue(6), 1);
  a.Schedule(&sink, CRtTimeValue(5));
  b.Schedule(&sink, CRtTimeValue(5));
  c.Schedule(&sink, CRtTimeValue(5));
  EXPECT_EQ(Advance(6000), 4);
  // Re-scheduling moves a timer behind the others with the same deadline.
  a.Schedule(&sink, CRtTimeValue(5));
  EXPECT_EQ(Advance(5000), 3);
  EXPECT_EQ(order, "abcLbca");
}

TEST_F(TimerTest, CancelAndRescheduleInsideOwnCallback) {
  int cancelledFires = 0;
  CRtTimerWrapper once;
  CFnTimerSink cancelSink([&](CRtTimerWrapper* t) {
    ++cancelledFires;
    EXPECT_EQ(t->Cancel(), RT_OK);
    EXPECT_FALSE(t->IsScheduled());
  });
  once.Schedule(&cancelSink, CRtTimeValue(1), 0);

  std::vector<int> rearmedAt;
  int elapsed = 0;
  CRtTimerWrapper rearmed;
  CFnTimerSink rearmSink([&](CRtTimerWrapper* t) {
    rearmedAt.push_back(elapsed);
    if (rearmedAt.size() == 1) {
      EXPECT_EQ(t->Schedule(&rearmSink, CRtTimeValue(10)), 0);
    }
  });
  rearmed.Schedule(&rearmSink, CRtTimeValue(1), 1);

  for (elapsed = 1; elapsed <= 30; ++elapsed) Advance(1000);
  EXPECT_EQ(cancelledFires, 1);
  EXPECT_FALSE(once.IsScheduled());
  // A counted timer re-armed in its last callback repeats with the new values.
  EXPECT_EQ(rearmedAt, (std::vector<int>{1, 11, 21}));
  EXPECT_TRUE(rearmed.IsScheduled());
}

TEST_F(TimerTest, CallbackMayDestroyOtherTimersAndItsOwn) {
  std::string order;
  auto first = std::make_unique<CRtTimerWrapper>();
  auto second = std::make_unique<CRtTimerWrapper>();
  auto third = std::make_unique<CRtTimerWrapper>();
  CFnTimerSink sink([&](CRtTimerWrapper* t) {
    if (t == first.get()) {
      order += '1';
      second.reset();  // due in this same pass: must not fire
    } else if (t == third.get()) {
      order += '3';
      third.reset();  // its own wrapper, from inside its callback
    } else {
      order += '2';
    }
  });
  first->Schedule(&sink, CRtTimeValue(1), 1);
  second->Schedule(&sink, CRtTimeValue(1), 0);
  third->Schedule(&sink, CRtTimeValue(1), 0);
  EXPECT_EQ(Advance(1000), 2);
  EXPECT_EQ(Advance(1000), 0);
  EXPECT_EQ(order, "13");
  EXPECT_EQ(QmxThreadNextTimeoutMs(), -1);
}

TEST_F(TimerTest, ZeroIntervalFiresOncePerPass) {
  int fired = 0;
  CRtTimerWrapper timer;
  CRtTimerWrapper spawned;
  CFnTimerSink spawnedSink([&](CRtTimerWrapper*) { fired += 100; });
  CFnTimerSink sink([&](CRtTimerWrapper*) {
    ++fired;
    // A timer armed by a callback, due at once, waits for the next pass too.
    if (!spawned.IsScheduled()) spawned.Schedule(&spawnedSink, CRtTimeValue(0), 1);
  });
  timer.Schedule(&sink, CRtTimeValue(0));
  EXPECT_EQ(QmxThreadRunPending(), 1);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(QmxThreadRunPending(), 2);
  EXPECT_EQ(fired, 102);
}

TEST_F(TimerTest, DestroyedTimerOrDetachedQueueNeverFires) {
  int fired = 0;
  CFnTimerSink sink([&](CRtTimerWrapper*) { ++fired; });
  {
    CRtTimerWrapper gone;
    gone.Schedule(&sink, CRtTimeValue(1));
  }
  CRtTimerWrapper timer;
  timer.Schedule(&sink, CRtTimeValue(1));
  QmxThreadDetach();
  EXPECT_FALSE(timer.IsScheduled());
  ASSERT_NE(QmxThreadAttach(), nullptr);
  EXPECT_EQ(Advance(5000), 0);
  EXPECT_EQ(fired, 0);
}

}  // namespace
