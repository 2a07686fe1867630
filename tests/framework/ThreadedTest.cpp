// The framework under several threads: many posters on one queue, posters
// racing a detach, reference counts, the singleton mutex and tracing. The
// tsan preset runs them under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "FrameworkTestUtil.h"
#include "RtTraceCapture.h"

namespace {

// Drives the calling thread's queue until done() holds or a generous real
// time limit passes; returns done().
template <class Pred>
bool RunUntil(Pred done) {
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done() && std::chrono::steady_clock::now() < limit) QmxThreadRun(100);
  return done();
}

struct Record {
  int poster;
  int seq;
  bool onOwner;
};

class CRecordingEvent : public IRtEvent {
 public:
  CRecordingEvent(int poster, int seq, pthread_t owner, std::vector<Record>* out, std::atomic<int>* destroyed)
      : m_poster(poster), m_seq(seq), m_owner(owner), m_out(out), m_destroyed(destroyed) {}
  ~CRecordingEvent() override { m_destroyed->fetch_add(1); }
  int OnEventFire() override {
    m_out->push_back(Record{m_poster, m_seq, CRtThreadManager::IsEqualCurrentThread(m_owner)});
    return 0;
  }

 private:
  int m_poster, m_seq;
  pthread_t m_owner;
  std::vector<Record>* m_out;
  std::atomic<int>* m_destroyed;
};

TEST(ThreadedQueueTest, ManyPostersEachEventRunsOnceOnOwnerInPosterOrder) {
  const int kPosters = 8;
  const int kEach = 2000;
  IRtEventQueue* q = QmxThreadAttach();
  ASSERT_NE(q, nullptr);
  pthread_t owner = pthread_self();
  std::vector<Record> ran;
  std::atomic<int> destroyed{0};
  std::atomic<int> failedPosts{0};

  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        if (q->PostEvent(new CRecordingEvent(p, i, owner, &ran, &destroyed), 1) != 0) failedPosts.fetch_add(1);
      }
    });
  }
  bool done = RunUntil([&] { return ran.size() == size_t(kPosters * kEach); });
  for (auto& t : posters) t.join();
  QmxThreadRunPending();
  QmxThreadDetach();

  ASSERT_TRUE(done);
  EXPECT_EQ(failedPosts.load(), 0);
  EXPECT_EQ(ran.size(), size_t(kPosters * kEach));
  EXPECT_EQ(destroyed.load(), kPosters * kEach);
  std::vector<int> next(kPosters, 0);
  for (const Record& r : ran) {
    EXPECT_TRUE(r.onOwner);
    ASSERT_EQ(r.seq, next[r.poster]) << "poster " << r.poster;
    ++next[r.poster];
  }
}

// Counts constructions and disposals, so that an event lost or disposed
// twice shows up.
class CCountedEvent : public IRtEvent {
 public:
  explicit CCountedEvent(std::atomic<int>* disposed) : m_disposed(disposed) {}
  int OnEventFire() override { return 0; }
  void OnDestorySelf() override {
    m_disposed->fetch_add(1);
    IRtEvent::OnDestorySelf();
  }

 private:
  std::atomic<int>* m_disposed;
};

TEST(ThreadedQueueTest, PostersRacingDetachNeitherLoseNorTouchFreedEvents) {
  for (int round = 0; round < 20; ++round) {
    std::atomic<IRtEventQueue*> queue{nullptr};
    std::atomic<int> accepted{0}, refused{0}, disposed{0};
    std::atomic<bool> ownerGone{false};
    std::thread owner([&] {
      queue.store(QmxThreadAttach());
      QmxThreadRunPending();
      QmxThreadDetach();
      ownerGone.store(true);
    });
    std::vector<std::thread> posters;
    for (int p = 0; p < 4; ++p) {
      posters.emplace_back([&] {
        IRtEventQueue* q;
        while ((q = queue.load()) == nullptr) std::this_thread::yield();
        // Keep posting until a post after the owner left has been refused.
        for (;;) {
          bool gone = ownerGone.load();
          CCountedEvent* e = new CCountedEvent(&disposed);
          if (q->PostEvent(e) == 0) {
            accepted.fetch_add(1);
          } else {
            refused.fetch_add(1);
            delete e;  // still the poster's
            if (gone) break;
          }
        }
      });
    }
    for (auto& t : posters) t.join();
    owner.join();
    EXPECT_GE(refused.load(), 4);
    EXPECT_EQ(disposed.load(), accepted.load()) << "round " << round;
  }
}

class CCounted : public CReferenceControl {
 public:
  explicit CCounted(std::atomic<int>* deleted) : m_deleted(deleted) {}
  ~CCounted() override { m_deleted->fetch_add(1); }

 private:
  std::atomic<int>* m_deleted;
};

TEST(ReferenceControlTest, ConcurrentAddReleaseKeepTheCount) {
  std::atomic<int> deleted{0};
  CCounted* obj = new CCounted(&deleted);
  EXPECT_EQ(obj->GetReference(), 0u);
  EXPECT_EQ(obj->AddReference(), 1u);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([obj] {
      for (int i = 0; i < 20000; ++i) {
        CRtAutoPtr<CCounted> p(obj);
        CRtAutoPtr<CCounted> copy(p);
        copy = p;  // same object: add before release keeps it alive
        obj->AddReference();
        obj->ReleaseReference();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(deleted.load(), 0);
  EXPECT_EQ(obj->GetReference(), 1u);
  EXPECT_EQ(obj->ReleaseReference(), 0u);
  EXPECT_EQ(deleted.load(), 1);
}

TEST(ReferenceControlTest, AutoPtrSelfAssignmentKeepsTheLastReference) {
  std::atomic<int> deleted{0};
  CCounted* a = new CCounted(&deleted);
  CRtAutoPtr<CCounted> p(a);
  p = p.Get();  // the only holder: releasing first would delete it
  EXPECT_EQ(a->GetReference(), 1u);
  p = nullptr;
  EXPECT_EQ(deleted.load(), 1);
}

TEST(SingletonMutexTest, ProcessWideRecursiveAndExclusive) {
  CRtMutexThreadRecursive* m = nullptr;
  ASSERT_EQ(CRtThreadManager::Instance()->GetSingletonMutex(m), 0);
  ASSERT_NE(m, nullptr);
  CRtMutexThreadRecursive* again = nullptr;
  CRtThreadManager::Instance()->GetSingletonMutex(again);
  EXPECT_EQ(m, again);
  EXPECT_EQ(m->Lock(), 0);
  EXPECT_EQ(m->Lock(), 0);
  EXPECT_EQ(m->UnLock(), 0);
  EXPECT_EQ(m->UnLock(), 0);

  // Unsynchronised except by the mutex: a broken one shows as a lost
  // increment (and as a race under ThreadSanitizer).
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        m->Lock();
        ++counter;
        m->UnLock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
}

TEST(ThreadedTraceTest, LinesFromManyThreadsArriveWhole) {
  CRtTraceCapture trace;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) RT_INFO_TRACE("thread " << t << " line " << i << " end");
    });
  }
  for (auto& t : threads) t.join();
  auto lines = trace.Lines();
  EXPECT_EQ(lines.size(), 2000u);
  EXPECT_EQ(trace.Count(" end"), 2000u);
}

}  // namespace
