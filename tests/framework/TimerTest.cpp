// Timers on the manual clock: counts, order, and timers changed from inside
// their own or another timer's callback. No test measures an interval.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FrameworkTestUtil.h"

namespace {

// Both parts carry one sign, the microseconds within one second.
TEST(TimeValueTest, Normalises) {
  const struct {
    long sec, usec, wantSec, wantUsec;
  } rows[] = {{1, -1, 0, 999999}, {0, 2500000, 2, 500000}, {-1, 1, 0, -999999}, {2, -2500000, 0, -500000}};
  for (const auto& r : rows) {
    const CRtTimeValue v(r.sec, r.usec);
    EXPECT_EQ(r.wantSec, v.GetSec()) << r.sec << "," << r.usec;
    EXPECT_EQ(r.wantUsec, v.GetUsec()) << r.sec << "," << r.usec;
  }
}

using TimerTest = ManualClockTest;

// Count 0 repeats until cancelled, a count stops after that many firings;
// a timer far behind fires once and counts its next interval from now.
TEST_F(TimerTest, CountsAndCatchUp) {
  std::vector<bool> counted;
  int repeats = 0;
  CFnTimerSink countedSink([&](CRtTimerWrapper* t) { counted.push_back(t->IsScheduled()); });
  CFnTimerSink repeatSink([&](CRtTimerWrapper*) { ++repeats; });
  CRtTimerWrapper three, forever;
  ASSERT_EQ(three.Schedule(&countedSink, CRtTimeValue(20), 3), 0);
  ASSERT_EQ(forever.Schedule(&repeatSink, CRtTimeValue(20), 0), 0);
  EXPECT_EQ(QmxThreadNextTimeoutMs(), -1);  // the manual clock never gets there by waiting
  EXPECT_EQ(Advance(19999), 0);
  EXPECT_EQ(Advance(1), 2);
  for (int i = 0; i < 4; ++i) Advance(20000);
  EXPECT_EQ(counted, (std::vector<bool>{true, true, false}));
  EXPECT_FALSE(three.IsScheduled());
  EXPECT_EQ(Advance(120001), 1);
  EXPECT_EQ(Advance(19999), 0);
  QmxClockAdvance(1);
  EXPECT_EQ(QmxThreadNextTimeoutMs(), 0);
  EXPECT_EQ(QmxThreadRunPending(), 1);
  EXPECT_EQ(repeats, 7);
  EXPECT_EQ(forever.Cancel(), RT_OK);
  EXPECT_FALSE(forever.IsScheduled());
  EXPECT_EQ(Advance(100000), 0);
}

// Due timers fire by deadline, then in the order they were scheduled; a
// timer armed by a callback, even due at once, waits for the next pass.
TEST_F(TimerTest, DueTimersFireByDeadlineThenScheduleOrder) {
  std::string order;
  CRtTimerWrapper a, b, c, late, spawned;
  CFnTimerSink sink([&](CRtTimerWrapper* t) {
    order += t == &a ? 'a' : t == &b ? 'b' : t == &c ? 'c' : t == &late ? 'L' : 's';
    if (t == &late) spawned.Schedule(&sink, CRtTimeValue(0), 1);
  });
  late.Schedule(&sink, CRtTimeValue(6), 1);
  a.Schedule(&sink, CRtTimeValue(5));
  b.Schedule(&sink, CRtTimeValue(5));
  c.Schedule(&sink, CRtTimeValue(5));
  EXPECT_EQ(Advance(6000), 4);
  // Re-scheduling moves a timer behind the others with the same deadline.
  a.Schedule(&sink, CRtTimeValue(5));
  EXPECT_EQ(Advance(5000), 4);
  EXPECT_EQ(order, "abcLsbca");
}

// A callback may cancel or re-arm its own timer, destroy its own wrapper,
// and destroy another timer due in the same pass, which then never fires.
// A counted timer re-armed in its last callback repeats with the new values.
TEST_F(TimerTest, CallbacksCancelRearmAndDestroyTimers) {
  std::string order;
  std::unique_ptr<CRtTimerWrapper> t[4];  // cancels, re-arms, is destroyed, destroys itself
  CFnTimerSink sink([&](CRtTimerWrapper* self) {
    const int i = self == t[0].get() ? 0 : self == t[1].get() ? 1 : self == t[2].get() ? 2 : 3;
    order += "crds"[i];
    if (i == 0) {
      EXPECT_EQ(self->Cancel(), RT_OK);
      t[2].reset();
    }
    if (i == 1 && order.size() < 4) {
      EXPECT_EQ(self->Schedule(&sink, CRtTimeValue(2)), 0);
    }
    if (i == 3) t[3].reset();
  });
  for (int i = 0; i < 4; ++i) {
    t[i] = std::make_unique<CRtTimerWrapper>();
    t[i]->Schedule(&sink, CRtTimeValue(1), i == 1 ? 1 : 0);
  }
  for (int i = 0; i < 6; ++i) Advance(1000);
  EXPECT_EQ(order, "crsrr");
  EXPECT_FALSE(t[0]->IsScheduled());
  EXPECT_TRUE(t[1]->IsScheduled());
}

}  // namespace
