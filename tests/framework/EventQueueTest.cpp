// Event queues on one thread: attach and detach, order, disposal, the host
// calls and the pollable descriptor.
#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <thread>
#include <vector>

#include "FrameworkTestUtil.h"

namespace {

bool Readable(int fd, int ms = 0) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

// The HTTP client takes the current thread's queue when it is made: a
// thread has one only between attach and detach, and each its own.
TEST(EventQueueAttachTest, ThreadHasItsOwnQueueOnlyBetweenAttachAndDetach) {
  CRtThreadManager* tm = CRtThreadManager::Instance();
  EXPECT_EQ(QmxThreadPollFd(), -1);
  IRtEventQueue* q = QmxThreadAttach();
  ASSERT_NE(q, nullptr);
  EXPECT_EQ(QmxThreadAttach(), q);
  EXPECT_EQ(tm->GetThreadEventQueue(CRtThreadManager::TT_CURRENT), q);
  IRtEventQueue* other = nullptr;
  std::thread([&] { other = QmxThreadAttach(), QmxThreadDetach(); }).join();
  EXPECT_NE(other, q);
  QmxThreadDetach();
  EXPECT_EQ(tm->GetThreadEventQueue(CRtThreadManager::TT_CURRENT), nullptr);
}

using EventQueueTest = QueueTest;

// Events run in post order and are destroyed after; one posted by an event
// waits for the next pass, and keeps the descriptor readable for a host's poll().
TEST_F(EventQueueTest, RunsInPostOrderAndPostsFromEventsWaitForTheNextPass) {
  std::vector<std::string> order;
  std::atomic<int> destroyed{0};
  IRtEventQueue* q = Queue();
  const int fd = QmxThreadPollFd();
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(Readable(fd));
  EXPECT_EQ(QmxThreadNextTimeoutMs(), -1);
  q->PostEvent(new CFnEvent(
      [&] {
        order.push_back("first");
        q->PostEvent(new CFnEvent([&] { order.push_back("posted by first"); }, &destroyed));
      },
      &destroyed));
  for (const char* name : {"second", "third"}) q->PostEvent(new CFnEvent([&, name] { order.push_back(name); }));
  EXPECT_TRUE(order.empty());  // a post never runs the event inline
  EXPECT_TRUE(Readable(fd));
  EXPECT_EQ(QmxThreadNextTimeoutMs(), 0);
  EXPECT_EQ(q->GetPendingEventsCount(), 3u);
  EXPECT_EQ(QmxThreadRunPending(), 3);
  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "third"}));
  EXPECT_EQ(destroyed, 1);
  EXPECT_TRUE(Readable(fd));
  EXPECT_EQ(QmxThreadRunPending(), 1);
  EXPECT_EQ(order.back(), "posted by first");
  EXPECT_EQ(destroyed, 2);
  EXPECT_FALSE(Readable(fd));
  EXPECT_EQ(q->PostEvent(nullptr), RT_ERROR_INVALID_ARG);
}

// A detach, or a thread's exit without one, destroys what did not run; the
// stopped queue then refuses posts, and a refused event stays the poster's.
TEST(EventQueueDetachTest, DestroysUnrunEventsAndRefusesLaterPosts) {
  std::atomic<int> fired{0}, destroyed{0};
  IRtEventQueue* exited = nullptr;
  std::thread([&] {
    exited = QmxThreadAttach();
    exited->PostEvent(new CFnEvent([&] { ++fired; }, &destroyed));
  }).join();
  EXPECT_EQ(destroyed, 1);
  IRtEventQueue* q = QmxThreadAttach();
  ASSERT_NE(q, nullptr);
  for (int i = 0; i < 3; ++i) q->PostEvent(new CFnEvent([&] { ++fired; }, &destroyed));
  QmxThreadDetach();
  EXPECT_EQ(destroyed, 4);
  for (IRtEventQueue* stopped : {q, exited}) {
    CFnEvent late([&] { ++fired; }, &destroyed);
    EXPECT_NE(stopped->PostEvent(&late), 0);
    EXPECT_EQ(stopped->GetPendingEventsCount(), 0u);
  }
  EXPECT_EQ(destroyed, 6);  // the two refused events, by their owner
  EXPECT_EQ(fired, 0);
}

TEST_F(EventQueueTest, RunReturnsOnStopAfterRunningWhatWaits) {
  IRtEventQueue* q = Queue();
  int fired = 0;
  q->PostEvent(new CFnEvent([&] { ++fired; }));
  q->PostEvent(new CFnEvent([&] { ++fired, QmxQueueStop(q); }));
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

// The descriptor is set again only when the earliest deadline moves earlier:
// an earlier timer still wakes it, and a wake for a cancelled timer is
// drained by the run instead of leaving the descriptor readable.
TEST_F(EventQueueTest, PollFdFollowsTheEarliestDeadline) {
  int fired = 0;
  CFnTimerSink sink([&](CRtTimerWrapper*) { ++fired; });
  CRtTimerWrapper late, soon;
  ASSERT_EQ(late.Schedule(&sink, CRtTimeValue(60, 0), 1), 0);
  ASSERT_EQ(soon.Schedule(&sink, CRtTimeValue(0, 3000), 1), 0);
  ASSERT_TRUE(Readable(QmxThreadPollFd(), 10000));
  EXPECT_EQ(QmxThreadRunPending(), 1);
  EXPECT_EQ(fired, 1);
  EXPECT_FALSE(Readable(QmxThreadPollFd()));
  ASSERT_EQ(soon.Schedule(&sink, CRtTimeValue(0, 3000), 1), 0);
  ASSERT_EQ(soon.Cancel(), 0);
  ASSERT_TRUE(Readable(QmxThreadPollFd(), 10000));  // set for the cancelled timer: a wake for nothing
  EXPECT_EQ(QmxThreadRunPending(), 0);
  EXPECT_FALSE(Readable(QmxThreadPollFd()));
  EXPECT_TRUE(late.IsScheduled());
  EXPECT_EQ(fired, 1);
}

}  // namespace
