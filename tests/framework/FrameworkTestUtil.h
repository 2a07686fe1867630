// Helpers shared by the framework tests.
#ifndef QMX_TESTS_FRAMEWORK_TESTUTIL_H
#define QMX_TESTS_FRAMEWORK_TESTUTIL_H

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "qmxclock.h"
#include "qmxframework.h"

// An event that runs a function and counts its own destruction (from any thread).
struct CFnEvent : IRtEvent {
  CFnEvent(std::function<void()> fire, std::atomic<int>* destroyed = nullptr)
      : m_fire(std::move(fire)), m_destroyed(destroyed) {}
  ~CFnEvent() override {
    if (m_destroyed) ++*m_destroyed;
  }
  int OnEventFire() override {
    if (m_fire) m_fire();
    return 0;
  }
  std::function<void()> m_fire;
  std::atomic<int>* m_destroyed;
};

// A timer sink that runs a function on each firing.
struct CFnTimerSink : CRtTimerWrapperSink {
  explicit CFnTimerSink(std::function<void(CRtTimerWrapper*)> fn) : m_fn(std::move(fn)) {}
  void OnTimer(CRtTimerWrapper* aId) override { m_fn(aId); }
  std::function<void(CRtTimerWrapper*)> m_fn;
};

// Gives the test's thread a queue for the duration of the test.
class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(QmxThreadAttach(), nullptr); }
  void TearDown() override { QmxThreadDetach(); }
  IRtEventQueue* Queue() { return CRtThreadManager::Instance()->GetThreadEventQueue(CRtThreadManager::TT_CURRENT); }
};

// The same on the manual clock, which moves only when the test advances it.
class ManualClockTest : public QueueTest {
 protected:
  void SetUp() override { QmxClockSetManual(1, 1000000), QueueTest::SetUp(); }
  void TearDown() override { QueueTest::TearDown(), QmxClockSetManual(0, 0); }
  // Advances the clock and runs what became due; returns the number run.
  int Advance(uint64_t ms) { return QmxClockAdvance(ms), QmxThreadRunPending(); }
};

#endif
