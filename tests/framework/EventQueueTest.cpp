// Event queues on one thread: attach and detach, order, disposal, the host
// calls and the pollable descriptor.
#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <thread>
#include <vector>

#include "FrameworkTestUtil.h"

namespace {

bool Readable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST(EventQueueAttachTest, ThreadHasAQueueOnlyBetweenAttachAndDetach) {
  CRtThreadManager* tm = CRtThreadManager::Instance();
  EXPECT_EQ(tm->GetThreadEventQueue(CRtThreadManager::TT_CURRENT), nullptr);
  EXPECT_EQ(QmxThreadRun(0), -1);
  EXPECT_EQ(QmxThreadRunPending(), -1);
  EXPECT_EQ(QmxThreadPollFd(), -1);

  IRtEventQueue* q = QmxThreadAttach();
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(QmxThreadAttach(), q);
  EXPECT_EQ(tm->GetThreadEventQueue(CRtThreadManager::TT_CURRENT), q);
  EXPECT_EQ(tm->GetThreadEventQueue(CRtThreadManager::TT_MAIN), q);  // gtest runs on the main thread

  // Another thread's queue is its own, and not the main one.
  IRtEventQueue* other = nullptr;
  std::thread([&] {
    other = QmxThreadAttach();
    QmxThreadDetach();
  }).join();
  EXPECT_NE(other, q);
  EXPECT_EQ(tm->GetThreadEventQueue(CRtThreadManager::TT_MAIN), q);

  QmxThreadDetach();
  EXPECT_EQ(tm->GetThreadEventQueue(CRtThreadManager::TT_CURRENT), nullptr);
  EXPECT_EQ(tm->GetThreadEventQueue(CRtThreadManager::TT_MAIN), nullptr);
}

using EventQueueTest = QueueTest;

TEST_F(EventQueueTest, RunsEventsInPostOrderThenDestroysThem) {
  std::vector<int> order;
  int destroyed = 0;
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(Queue()->PostEvent(new CFnEvent([&, i] { order.push_back(i); }, &destroyed), 1), 0);
  }
  EXPECT_TRUE(order.empty());  // a post never runs the event inline
  EXPECT_EQ(Queue()->GetPendingEventsCount(), 5u);
  EXPECT_EQ(QmxThreadRunPending(), 5);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(destroyed, 5);
  EXPECT_EQ(Queue()->GetPendingEventsCount(), 0u);
  EXPECT_EQ(QmxThreadRunPending(), 0);
  EXPECT_EQ(Queue()->PostEvent(nullptr), RT_ERROR_INVALID_ARG);
}

TEST_F(EventQueueTest, EventPostedByAnEventWaitsForTheNextPass) {
  std::vector<std::string> order;
  IRtEventQueue* q = Queue();
  q->PostEvent(new CFnEvent([&] {
    order.push_back("first");
    q->PostEvent(new CFnEvent([&] { order.push_back("posted by first"); }));
  }));
  q->PostEvent(new CFnEvent([&] { order.push_back("second"); }));
  EXPECT_EQ(QmxThreadRunPending(), 2);
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
  // The waiting event keeps the descriptor readable for a host's poll().
  EXPECT_TRUE(Readable(QmxThreadPollFd()));
  EXPECT_EQ(QmxThreadRunPending(), 1);
  EXPECT_EQ(order.back(), "posted by first");
  EXPECT_FALSE(Readable(QmxThreadPollFd()));
}

TEST(EventQueueDetachTest, DestroysUnrunEventsAndRefusesLaterPosts) {
  IRtEventQueue* q = QmxThreadAttach();
  ASSERT_NE(q, nullptr);
  int fired = 0;
  int destroyed = 0;
  for (int i = 0; i < 3; ++i) q->PostEvent(new CFnEvent([&] { ++fired; }, &destroyed));
  QmxThreadDetach();
  EXPECT_EQ(fired, 0);
  EXPECT_EQ(destroyed, 3);

  // The stopped queue refuses, and the event stays the poster's.
  CFnEvent late([&] { ++fired; }, &destroyed);
  EXPECT_NE(q->PostEvent(&late), 0);
  EXPECT_EQ(q->GetPendingEventsCount(), 0u);
  EXPECT_EQ(destroyed, 3);
}

TEST(EventQueueDetachTest, ThreadExitWithoutDetachDestroysUnrunEvents) {
  int destroyed = 0;
  IRtEventQueue* q = nullptr;
  std::thread([&] {
    q = QmxThreadAttach();
    q->PostEvent(new CFnEvent(nullptr, &destroyed));
  }).join();
  EXPECT_EQ(destroyed, 1);
  CFnEvent late(nullptr);
  EXPECT_NE(q->PostEvent(&late), 0);
}

TEST_F(EventQueueTest, RunReturnsOnStopAfterRunningWhatWaits) {
  IRtEventQueue* q = Queue();
  int fired = 0;
  q->PostEvent(new CFnEvent([&] { ++fired; }));
  q->PostEvent(new CFnEvent([&] {
    ++fired;
    QmxQueueStop(q);
  }));
  q->PostEvent(new CFnEvent([&] { ++fired; }));
  EXPECT_EQ(QmxThreadRun(-1), 3);
  EXPECT_EQ(fired, 3);

  // A stop requested before the run still lets it run what waits.
  q->PostEvent(new CFnEvent([&] { ++fired; }));
  QmxQueueStop(q);
  EXPECT_EQ(QmxThreadRun(-1), 1);
  EXPECT_EQ(QmxThreadRun(0), 0);  // the stop was used up; 0 only runs what is due
  QmxQueueStop(nullptr);
}

TEST_F(EventQueueTest, PollFdIsReadableWhileEventsWait) {
  int fd = QmxThreadPollFd();
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(Readable(fd));
  EXPECT_EQ(QmxThreadNextTimeoutMs(), -1);

  Queue()->PostEvent(new CFnEvent(nullptr));
  Queue()->PostEvent(new CFnEvent(nullptr));
  EXPECT_TRUE(Readable(fd));
  EXPECT_EQ(QmxThreadNextTimeoutMs(), 0);
  EXPECT_EQ(QmxThreadRunPending(), 2);
  EXPECT_FALSE(Readable(fd));

  // A post from another thread wakes a poll() whether it is already waiting
  // or not yet (generous limit: a missed wake-up fails instead of hanging).
  IRtEventQueue* q = Queue();
  std::thread poster([q] { q->PostEvent(new CFnEvent(nullptr)); });
  struct pollfd p = {fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 10000), 1);
  poster.join();
  EXPECT_EQ(QmxThreadRunPending(), 1);
  EXPECT_FALSE(Readable(fd));
}

TEST_F(EventQueueTest, PollFdWakesForARealClockTimer) {
  int fired = 0;
  CFnTimerSink sink([&](CRtTimerWrapper*) { ++fired; });
  CRtTimerWrapper timer;
  ASSERT_EQ(timer.Schedule(&sink, CRtTimeValue(0, 2000), 1), 0);
  int timeout = QmxThreadNextTimeoutMs();
  EXPECT_GE(timeout, 0);
  EXPECT_LE(timeout, 2);
  // Without a timeout: only the descriptor can end this wait (generous
  // limit so a broken descriptor fails instead of hanging).
  struct pollfd p = {QmxThreadPollFd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  EXPECT_EQ(QmxThreadRunPending(), 1);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(timer.IsScheduled());
  EXPECT_FALSE(Readable(QmxThreadPollFd()));
}

// The descriptor is set again only when the earliest deadline moves earlier:
// an earlier timer still wakes it, and a wake for a cancelled timer is
// drained by the run instead of leaving the descriptor readable.
TEST_F(EventQueueTest, PollFdFollowsTheEarliestDeadline) {
  int fired = 0;
  CFnTimerSink sink([&](CRtTimerWrapper*) { ++fired; });
  CRtTimerWrapper late, soon;
  ASSERT_EQ(late.Schedule(&sink, CRtTimeValue(60, 0), 1), 0);
  ASSERT_EQ(soon.Schedule(&sink, CRtTimeValue(0, 3000), 1), 0);
  struct pollfd p = {QmxThreadPollFd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  EXPECT_EQ(QmxThreadRunPending(), 1);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(Readable(QmxThreadPollFd()));

  ASSERT_EQ(soon.Schedule(&sink, CRtTimeValue(0, 3000), 1), 0);
  ASSERT_EQ(soon.Cancel(), 0);
  ASSERT_EQ(poll(&p, 1, 10000), 1);  // set for the cancelled timer: a wake for nothing
  EXPECT_EQ(QmxThreadRunPending(), 0);
  EXPECT_FALSE(Readable(QmxThreadPollFd()));
  EXPECT_TRUE(late.IsScheduled());
  EXPECT_EQ(fired, 1);
}

}  // namespace
