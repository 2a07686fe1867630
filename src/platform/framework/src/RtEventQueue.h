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

  std::mutex m_lock;
  std::deque<IRtEvent*> m_events;  // guarded by m_lock
  bool m_stopped;                  // guarded by m_lock; set once, by Shutdown
  bool m_woken;                    // guarded by m_lock: the eventfd is readable
  int m_wakeFd;                    // written under m_lock only, closed by Shutdown
  std::atomic<bool> m_stopRequested;

  // Owner thread only.
  pthread_t m_owner;
  int m_timerFd;
  int m_pollFd;
  bool m_running;  // inside Run or RunPending: refuses nested runs
  CRtTimerQueue m_timers;
};

#endif
