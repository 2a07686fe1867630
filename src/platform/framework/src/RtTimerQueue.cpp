// Timers: CRtTimeValue, CRtTimerWrapper and the per-thread timer queue that
// drives them from the thread's event queue.
#include "RtTimerQueue.h"

#include <errno.h>
#include <limits.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "RtEventQueue.h"
#include "RtTrace.h"
#include "qmxclock.h"

namespace {

// The real monotonic clock in milliseconds, whatever mode QmxClockNowMs is
// in: what the timerfd runs on. Read through the vDSO, without a system call.
uint64_t RealNowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace

// ---- CRtTimeValue ----

void CRtTimeValue::Set(long sec, long usec) {
  const long kUsecPerSec = 1000000;
  sec += usec / kUsecPerSec;
  usec %= kUsecPerSec;
  // Both parts carry the same sign afterwards.
  if (sec > 0 && usec < 0) {
    --sec;
    usec += kUsecPerSec;
  } else if (sec < 0 && usec > 0) {
    ++sec;
    usec -= kUsecPerSec;
  }
  m_sec = sec;
  m_usec = usec;
}

// ---- CRtTimerWrapper ----

CRtTimerWrapper::CRtTimerWrapper() : m_scheduled(false), m_impl(nullptr) {}

CRtTimerWrapper::~CRtTimerWrapper() { Cancel(); }

int CRtTimerWrapper::Schedule(CRtTimerWrapperSink* aSink, const CRtTimeValue& aInterval, unsigned long aCount) {
  if (aSink == nullptr) return RT_ERROR_INVALID_ARG;
  int64_t ms = aInterval.GetTotalInMsec();
  if (ms < 0) return RT_ERROR_INVALID_ARG;
  CRtEventQueueImpl* q = CRtEventQueueImpl::Current();
  if (q == nullptr) {
    RT_WARNING_TRACE("CRtTimerWrapper::Schedule, the thread has no event queue" << RtThis(this));
    return RT_ERROR_NOT_INITIALIZED;
  }
  if (m_impl != nullptr) {
    int rv = Cancel();
    if (rv != RT_OK) return rv;
  }
  return q->Timers().Schedule(this, aSink, static_cast<uint64_t>(ms), aCount);
}

int CRtTimerWrapper::Cancel() {
  if (m_impl == nullptr) return RT_OK;
  return CRtTimerQueue::CancelTimer(this);
}

// ---- CRtTimerQueue ----

struct CRtTimerQueue::Entry {
  CRtTimerWrapper* timer;
  CRtTimerWrapperSink* sink;
  uint64_t intervalMs;
  unsigned long remaining;  // firings left; 0 repeats until cancelled
  Key key;
  CRtTimerQueue* queue;
};

CRtTimerQueue::CRtTimerQueue(CRtEventQueueImpl* owner)
    : m_owner(owner), m_nextSeq(1), m_timerFd(-1), m_fdArmed(false), m_armedDeadline(0) {}

CRtTimerQueue::~CRtTimerQueue() { CancelAll(); }

int CRtTimerQueue::Schedule(CRtTimerWrapper* aTimer, CRtTimerWrapperSink* aSink, uint64_t aIntervalMs,
                            unsigned long aCount) {
  Entry* e = new (std::nothrow) Entry;
  if (e == nullptr) return RT_ERROR_OUT_OF_MEMORY;
  e->timer = aTimer;
  e->sink = aSink;
  e->intervalMs = aIntervalMs;
  e->remaining = aCount;
  e->queue = this;
  try {
    Arm(e, QmxClockNowMs());
  } catch (...) {
    delete e;
    return RT_ERROR_OUT_OF_MEMORY;
  }
  aTimer->m_impl = e;
  aTimer->m_scheduled = true;
  UpdateTimerFd();
  return RT_OK;
}

int CRtTimerQueue::CancelTimer(CRtTimerWrapper* aTimer) {
  Entry* e = static_cast<Entry*>(aTimer->m_impl);
  CRtTimerQueue* q = e->queue;
  if (!q->m_owner->IsOwnerThread()) {
    RtAssertFailed(__FILE__, __LINE__, "timer cancelled on the thread that scheduled it");
    return RT_ERROR_FAILURE;
  }
  // While the wrapper points at an entry, the entry is in the map (a firing
  // entry is either re-armed or released before its callback runs).
  q->m_timers.erase(e->key);
  Release(e);
  q->UpdateTimerFd();
  return RT_OK;
}

void CRtTimerQueue::CancelAll() {
  for (auto& kv : m_timers) Release(kv.second);
  m_timers.clear();
  UpdateTimerFd();
}

void CRtTimerQueue::Arm(Entry* e, uint64_t now) {
  uint64_t deadline = e->intervalMs > UINT64_MAX - now ? UINT64_MAX : now + e->intervalMs;
  e->key = Key(deadline, m_nextSeq++);
  m_timers.emplace(e->key, e);
}

void CRtTimerQueue::Release(Entry* e) {
  e->timer->m_impl = nullptr;
  e->timer->m_scheduled = false;
  delete e;
}

int CRtTimerQueue::FireDue() {
  DrainTimerFd();
  const uint64_t now = QmxClockNowMs();
  // Entries armed from here on (re-armed repeats, timers scheduled by a
  // callback) have a sequence at or above this and wait for the next pass.
  const uint64_t firstNewSeq = m_nextSeq;
  int count = 0;
  while (!m_timers.empty()) {
    auto it = m_timers.begin();
    if (it->first.first > now || it->first.second >= firstNewSeq) break;
    Entry* e = it->second;
    m_timers.erase(it);
    CRtTimerWrapper* timer = e->timer;
    CRtTimerWrapperSink* sink = e->sink;
    if (e->remaining == 1) {
      Release(e);  // the last firing: the callback sees the timer unscheduled
    } else {
      if (e->remaining > 1) --e->remaining;
      try {
        Arm(e, now);
      } catch (...) {
        Release(e);
      }
    }
    // The callback may cancel, re-schedule or destroy this or any other
    // timer of the thread: nothing of `e` is touched after it.
    sink->OnTimer(timer);
    ++count;
  }
  UpdateTimerFd();
  return count;
}

bool CRtTimerQueue::HasDue() const { return !m_timers.empty() && m_timers.begin()->first.first <= QmxClockNowMs(); }

int CRtTimerQueue::NextTimeoutMs() const {
  if (m_timers.empty()) return -1;
  uint64_t deadline = m_timers.begin()->first.first;
  uint64_t now = QmxClockNowMs();
  if (deadline <= now) return 0;
  // The manual clock only moves when a test advances it: waiting would not
  // bring the timer closer.
  if (QmxClockIsManual()) return -1;
  uint64_t left = deadline - now;
  return left > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
}

void CRtTimerQueue::DrainTimerFd() {
  // The timerfd is set relative to a whole-millisecond "now", so it cannot
  // expire before the real clock reaches its deadline: until then there is
  // nothing to read.
  if (m_timerFd < 0 || !m_fdArmed || RealNowMs() < m_armedDeadline) return;
  uint64_t expirations;
  ssize_t n = read(m_timerFd, &expirations, sizeof expirations);
  if (n == static_cast<ssize_t>(sizeof expirations)) m_fdArmed = false;  // expired: no longer armed
}

// Timers are mostly scheduled later than the earliest one, or cancelled
// before they are due (a request's time-out), so the timerfd is set only when
// the earliest deadline moves earlier. Otherwise it stays as it is: set too
// early, it wakes the queue for nothing, and the pass that drains it (see
// FireDue) sets it again at the real earliest deadline.
void CRtTimerQueue::UpdateTimerFd() {
  if (m_timerFd < 0) return;
  const bool manual = QmxClockIsManual() != 0;
  const bool want = !m_timers.empty() && !manual;
  // With nothing to wait for, a set timerfd only costs one early wake, except
  // on the manual clock, where the real one must not wake anyone.
  if (!want && !(manual && m_fdArmed)) return;
  const uint64_t target = want ? m_timers.begin()->first.first : 0;
  if (want && m_fdArmed && m_armedDeadline <= target) return;
  struct itimerspec its = {};
  if (want) {
    // Relative to now on the same monotonic clock the timers use.
    uint64_t now = QmxClockNowMs();
    uint64_t rel = target > now ? target - now : 0;
    if (rel == 0) {
      its.it_value.tv_nsec = 1;  // due already: a zero value would disarm
    } else {
      its.it_value.tv_sec = static_cast<time_t>(rel / 1000);
      its.it_value.tv_nsec = static_cast<long>(rel % 1000) * 1000000L;
    }
  }
  if (timerfd_settime(m_timerFd, 0, &its, nullptr) == 0) {
    m_fdArmed = want;
    m_armedDeadline = target;
  }
}
