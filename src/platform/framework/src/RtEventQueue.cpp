// Per-thread event queues and the host calls that attach and drive them.
#include "RtEventQueue.h"

#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <chrono>
#include <new>
#include <vector>

#include "RtHost.h"
#include "RtTrace.h"

namespace {

// Every queue ever made, kept reachable for the life of the process (see the
// lifetime note in RtEventQueue.h).
std::mutex& AllQueuesLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::vector<CRtEventQueueImpl*>& AllQueues() {
  static std::vector<CRtEventQueueImpl*>* v = new std::vector<CRtEventQueueImpl*>;
  return *v;
}

std::atomic<CRtEventQueueImpl*> g_mainQueue{nullptr};

bool IsMainThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

// The calling thread's queue. A thread that ends without QmxThreadDetach is
// detached here, so its unrun events are still destroyed.
struct ThreadSlot {
  CRtEventQueueImpl* queue = nullptr;
  ~ThreadSlot() {
    if (queue != nullptr) CRtEventQueueImpl::DetachCurrent();
  }
};
thread_local ThreadSlot t_slot;

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void FireEvent(IRtEvent* e) {
  try {
    e->OnEventFire();
  } catch (...) {
    RT_ERROR_TRACE("event queue: OnEventFire threw; event " << static_cast<void*>(e));
  }
  try {
    e->OnDestorySelf();
  } catch (...) {
    RT_ERROR_TRACE("event queue: OnDestorySelf threw; event " << static_cast<void*>(e));
  }
}

}  // namespace

CRtEventQueueImpl::CRtEventQueueImpl()
    : m_stopped(false),
      m_woken(false),
      m_wakeFd(-1),
      m_stopRequested(false),
      m_owner(pthread_self()),
      m_timerFd(-1),
      m_pollFd(-1),
      m_running(false),
      m_timers(this) {}

CRtEventQueueImpl::~CRtEventQueueImpl() {
  m_timers.SetTimerFd(-1);
  CloseFd(m_wakeFd);
  CloseFd(m_timerFd);
  CloseFd(m_pollFd);
}

bool CRtEventQueueImpl::Open() {
  m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  m_timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  m_pollFd = epoll_create1(EPOLL_CLOEXEC);
  if (m_wakeFd < 0 || m_timerFd < 0 || m_pollFd < 0) return false;
  for (int fd : {m_wakeFd, m_timerFd}) {
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(m_pollFd, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  }
  m_timers.SetTimerFd(m_timerFd);
  return true;
}

CRtEventQueueImpl* CRtEventQueueImpl::Current() { return t_slot.queue; }

CRtEventQueueImpl* CRtEventQueueImpl::MainThreadQueue() { return g_mainQueue.load(std::memory_order_acquire); }

CRtEventQueueImpl* CRtEventQueueImpl::AttachCurrent() {
  if (t_slot.queue != nullptr) return t_slot.queue;
  CRtEventQueueImpl* q = new (std::nothrow) CRtEventQueueImpl;
  if (q == nullptr) return nullptr;
  if (!q->Open()) {
    RT_ERROR_TRACE("QmxThreadAttach: cannot create the queue's descriptors, errno=" << errno);
    delete q;  // never seen by anyone
    return nullptr;
  }
  try {
    std::lock_guard<std::mutex> g(AllQueuesLock());
    AllQueues().push_back(q);
  } catch (...) {
    delete q;
    return nullptr;
  }
  t_slot.queue = q;
  if (IsMainThread()) g_mainQueue.store(q, std::memory_order_release);
  return q;
}

void CRtEventQueueImpl::DetachCurrent() {
  CRtEventQueueImpl* q = t_slot.queue;
  if (q == nullptr) return;
  if (q->m_running) {
    RT_WARNING_TRACE("QmxThreadDetach: refused inside the queue's own run; stop the run first");
    return;
  }
  t_slot.queue = nullptr;
  CRtEventQueueImpl* expected = q;
  g_mainQueue.compare_exchange_strong(expected, nullptr);
  q->Shutdown();
}

void CRtEventQueueImpl::Shutdown() {
  std::deque<IRtEvent*> unrun;
  {
    std::lock_guard<CRtQueueLock> g(m_lock);
    m_stopped = true;
    unrun.swap(m_events);
    m_taken = m_posted;
    // Posters write the eventfd only under m_lock and only while the queue
    // is not stopped, so it can be closed here.
    CloseFd(m_wakeFd);
    m_woken = false;
  }
  m_timers.CancelAll();
  m_timers.SetTimerFd(-1);
  CloseFd(m_timerFd);
  CloseFd(m_pollFd);
  for (IRtEvent* e : unrun) {
    try {
      e->OnDestorySelf();
    } catch (...) {
      RT_ERROR_TRACE("QmxThreadDetach: OnDestorySelf threw; event " << static_cast<void*>(e));
    }
  }
}

void CRtEventQueueImpl::WakeLocked() {
  if (m_woken || m_wakeFd < 0) return;
  uint64_t one = 1;
  if (write(m_wakeFd, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) m_woken = true;
}

void CRtEventQueueImpl::ClearWakeLocked() {
  if (!m_woken) return;
  uint64_t v;
  ssize_t n = read(m_wakeFd, &v, sizeof v);
  (void)n;
  m_woken = false;
}

int CRtEventQueueImpl::PostEvent(IRtEvent* aEvent, int aPriority) {
  // Every event runs in post order whatever its priority: the only poster
  // that gives one (the transport's status callbacks) relies on that order.
  // A low one only waits for the next wake.
  if (aEvent == nullptr) return RT_ERROR_INVALID_ARG;
  std::lock_guard<CRtQueueLock> g(m_lock);
  if (m_stopped) return RT_ERROR_NOT_INITIALIZED;
  try {
    m_events.push_back(aEvent);
  } catch (...) {
    return RT_ERROR_OUT_OF_MEMORY;
  }
  ++m_posted;
  if (aPriority == PRIORITY_LOW) return RT_OK;
  m_urgentUpTo = m_posted;
  WakeLocked();
  return RT_OK;
}

unsigned int CRtEventQueueImpl::GetPendingEventsCount() {
  std::lock_guard<CRtQueueLock> g(m_lock);
  return static_cast<unsigned int>(m_events.size());
}

void CRtEventQueueImpl::RequestStop() {
  m_stopRequested.store(true);
  std::lock_guard<CRtQueueLock> g(m_lock);
  WakeLocked();
}

int CRtEventQueueImpl::RunPending() {
  if (m_running) {
    RT_WARNING_TRACE("QmxThreadRunPending: refused inside the queue's own run");
    return -1;
  }
  m_running = true;
  int count = 0;
  // Only the events waiting now: an event that posts another does not keep
  // this call from returning.
  size_t budget;
  {
    std::lock_guard<CRtQueueLock> g(m_lock);
    budget = m_events.size();
  }
  for (; budget > 0; --budget) {
    IRtEvent* e;
    {
      std::lock_guard<CRtQueueLock> g(m_lock);
      if (m_events.empty()) break;
      e = m_events.front();
      m_events.pop_front();
      ++m_taken;
    }
    FireEvent(e);
    ++count;
  }
  count += m_timers.FireDue();
  {
    // Events that need the owner, posted meanwhile (by this run or another
    // thread), keep the eventfd readable; a poster wrote it only if it was not.
    std::lock_guard<CRtQueueLock> g(m_lock);
    if (m_urgentUpTo <= m_taken) ClearWakeLocked();
  }
  m_running = false;
  return count;
}

int CRtEventQueueImpl::NextTimeoutMs() {
  {
    std::lock_guard<CRtQueueLock> g(m_lock);
    if (m_urgentUpTo > m_taken) return 0;
  }
  return m_timers.NextTimeoutMs();
}

void CRtEventQueueImpl::Wait(int timeoutMs) {
  struct pollfd p = {m_pollFd, POLLIN, 0};
  int rv = poll(&p, 1, timeoutMs);
  (void)rv;  // EINTR or a wake-up: the caller looks again either way
}

int CRtEventQueueImpl::Run(int timeoutMs) {
  if (m_running) {
    RT_WARNING_TRACE("QmxThreadRun: refused inside the queue's own run");
    return -1;
  }
  using Clock = std::chrono::steady_clock;
  // The run's own limit is real time even when the timers use the manual
  // clock, so a test's QmxThreadRun(ms) always returns.
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  int count = 0;
  for (;;) {
    int n = RunPending();
    if (n > 0) count += n;
    if (m_stopRequested.exchange(false)) break;
    int wait = NextTimeoutMs();
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (left <= 0) break;
      if (wait < 0 || wait > left) wait = static_cast<int>(left);
    }
    if (wait != 0) Wait(wait);
  }
  return count;
}

// ---- host calls ----

extern "C" {

IRtEventQueue* QmxThreadAttach(void) { return CRtEventQueueImpl::AttachCurrent(); }

void QmxThreadDetach(void) { CRtEventQueueImpl::DetachCurrent(); }

int QmxThreadRun(int timeoutMs) {
  CRtEventQueueImpl* q = CRtEventQueueImpl::Current();
  return q != nullptr ? q->Run(timeoutMs) : -1;
}

void QmxQueueStop(IRtEventQueue* queue) {
  // Every IRtEventQueue is one of ours.
  if (queue != nullptr) static_cast<CRtEventQueueImpl*>(queue)->RequestStop();
}

int QmxThreadPollFd(void) {
  CRtEventQueueImpl* q = CRtEventQueueImpl::Current();
  return q != nullptr ? q->PollFd() : -1;
}

int QmxThreadNextTimeoutMs(void) {
  CRtEventQueueImpl* q = CRtEventQueueImpl::Current();
  return q != nullptr ? q->NextTimeoutMs() : -1;
}

int QmxThreadRunPending(void) {
  CRtEventQueueImpl* q = CRtEventQueueImpl::Current();
  return q != nullptr ? q->RunPending() : -1;
}

}  // extern "C"
