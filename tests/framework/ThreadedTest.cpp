// The framework under several threads: many posters on one queue, reference
// counts and the singleton mutex. The tsan preset runs them under
// ThreadSanitizer.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>
#include <vector>

#include "FrameworkTestUtil.h"

namespace {

// Each event runs once, on the owner, in its poster's order. The owner waits
// in poll() alone, so a post that fails to wake it fails the case (after a
// generous limit) instead of being found by the next round of a timed wait.
TEST(ThreadedQueueTest, ManyPostersEachEventRunsOnceOnOwnerInPosterOrder) {
  const int kPosters = 8, kEach = 2000;
  IRtEventQueue* q = QmxThreadAttach();
  ASSERT_NE(q, nullptr);
  const pthread_t owner = pthread_self();
  struct Record {
    int poster, seq;
    bool onOwner;
  };
  std::vector<Record> ran;
  std::atomic<int> destroyed{0}, failedPosts{0};
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        auto record = [&ran, owner, p, i] { ran.push_back({p, i, CRtThreadManager::IsEqualCurrentThread(owner)}); };
        if (q->PostEvent(new CFnEvent(record, &destroyed), 1) != 0) failedPosts.fetch_add(1);
      }
    });
  }
  struct pollfd fd = {QmxThreadPollFd(), POLLIN, 0};
  while (ran.size() < size_t(kPosters * kEach) && failedPosts == 0) {
    ASSERT_EQ(poll(&fd, 1, 30000), 1) << "no wake-up with " << ran.size() << " events run";
    QmxThreadRunPending();
  }
  for (auto& t : posters) t.join();
  QmxThreadDetach();
  EXPECT_EQ(failedPosts.load(), 0);
  EXPECT_EQ(destroyed.load(), kPosters * kEach);
  std::vector<int> next(kPosters, 0);
  for (const Record& r : ran) {
    EXPECT_TRUE(r.onOwner);
    ASSERT_EQ(r.seq, next[r.poster]++) << "poster " << r.poster;
  }
}

struct CCounted : CReferenceControl {
  explicit CCounted(std::atomic<int>* deleted) : m_deleted(deleted) {}
  ~CCounted() override { ++*m_deleted; }
  std::atomic<int>* m_deleted;
};

// The module's objects are held by smart pointers on the owner and the
// transport's thread at once; the count must survive that, and a pointer
// assigned its own object must add before it releases.
TEST(ReferenceControlTest, ConcurrentHoldersAndSelfAssignmentKeepTheObject) {
  std::atomic<int> deleted{0};
  CRtAutoPtr<CCounted> last(new CCounted(&deleted));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&last] {
      for (int i = 0; i < 10000; ++i) {
        CRtAutoPtr<CCounted> copy(last.Get());
        copy = copy.Get();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(last->GetReference(), 1u);
  last = last.Get();
  EXPECT_EQ(deleted.load(), 0);
  last = nullptr;
  EXPECT_EQ(deleted.load(), 1);
}

// The module guards its one instance with it: one mutex for the process,
// taken twice by one thread (a non-recursive one hangs here).
TEST(SingletonMutexTest, ProcessWideAndRecursive) {
  CRtMutexThreadRecursive *m = nullptr, *again = nullptr;
  ASSERT_EQ(CRtThreadManager::Instance()->GetSingletonMutex(m), 0);
  CRtThreadManager::Instance()->GetSingletonMutex(again);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m, again);
  std::thread([m] { m->Lock(), m->Lock(), m->UnLock(), m->UnLock(); }).join();
}

}  // namespace
