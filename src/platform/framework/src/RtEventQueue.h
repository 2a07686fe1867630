// The event queue of one thread, with that thread's timers.
//
// Any thread may post; only the owner thread runs events and timers. The
// descriptor a host polls is an epoll set holding an eventfd (readable while
// events wait or a stop is requested) and a timerfd (readable when the
// earliest timer is due on the real clock, and now and then earlier, for
// nothing: it is set again only when the earliest deadline moves earlier).
//
// Lifetime: other threads keep plain IRtEventQueue pointers (the HTTP client
// keeps one for the transport's threads), so a queue object is never freed.
// Detach stops it, destroys what it still holds and closes its descriptors;
// the empty, stopped object stays behind so that a late post fails cleanly.
#ifndef QMX_FRAMEWORK_RTEVENTQUEUE_H
#define QMX_FRAMEWORK_RTEVENTQUEUE_H

#include <pthread.h>

#include <atomic>
#include <deque>
#include <mutex>

#include "RtThreadManager.h"
#include "RtTimerQueue.h"

// The queue's lock. Its holders stay only for a push, a pop or a swap, and
// the owner and a poster (the transport's worker posting a run of status
// events) meet on it all the time: a waiter spins briefly before it sleeps,
// so such a meeting costs no futex wait and wake.
class CRtQueueLock {
 public:
  CRtQueueLock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~CRtQueueLock() { pthread_mutex_destroy(&m_mutex); }
  CRtQueueLock(const CRtQueueLock&) = delete;
  CRtQueueLock& operator=(const CRtQueueLock&) = delete;
  void lock() { pthread_mutex_lock(&m_mutex); }
  void unlock() { pthread_mutex_unlock(&m_mutex); }

 private:
  pthread_mutex_t m_mutex;
};

class CRtEventQueueImpl final : public IRtEventQueue {
 public:
  // The calling thread's queue, or null.
  static CRtEventQueueImpl* Current();
  // Gives the calling thread a queue (or returns the one it has); null when
  // the descriptors cannot be created.
  static CRtEventQueueImpl* AttachCurrent();
  // Stops and empties the calling thread's queue, if any.
  static void DetachCurrent();
  // The queue of the process's main thread while it has one.
  static CRtEventQueueImpl* MainThreadQueue();

  // Any thread.
  int PostEvent(IRtEvent* aEvent, int aPriority = PRIORITY_NORMAL) override;
  unsigned int GetPendingEventsCount() override;
  void RequestStop();

  // Owner thread only.
  int Run(int timeoutMs);
  int RunPending();
  int NextTimeoutMs();
  int PollFd() const { return m_pollFd; }
  CRtTimerQueue& Timers() { return m_timers; }
  bool IsOwnerThread() const { return pthread_equal(m_owner, pthread_self()) != 0; }

 private:
  CRtEventQueueImpl();
  ~CRtEventQueueImpl() override;  // never called: see the lifetime note above
  bool Open();
  void Shutdown();
  // Empties the eventfd; called with m_lock held when no event is waiting,
  // once per run rather than whenever the queue empties, so that an event
  // that posts another costs no write and read of the eventfd.
  void ClearWakeLocked();
  void WakeLocked();
  // Waits on the poll set for at most timeoutMs (-1: no limit).
  void Wait(int timeoutMs);

  CRtQueueLock m_lock;
  std::deque<IRtEvent*> m_events;  // guarded by m_lock
  // Counts of events posted and taken, and the count at the last post that
  // was not PRIORITY_LOW: the queue needs its owner only while that one has
  // not been taken. Guarded by m_lock.
  uint64_t m_posted = 0;
  uint64_t m_taken = 0;
  uint64_t m_urgentUpTo = 0;
  bool m_stopped;  // guarded by m_lock; set once, by Shutdown
  bool m_woken;    // guarded by m_lock: the eventfd is readable
  int m_wakeFd;    // written under m_lock only, closed by Shutdown
  std::atomic<bool> m_stopRequested;

  // Owner thread only.
  pthread_t m_owner;
  int m_timerFd;
  int m_pollFd;
  bool m_running;  // inside Run or RunPending: refuses nested runs
  CRtTimerQueue m_timers;
};

#endif
