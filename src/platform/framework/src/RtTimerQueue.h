// The timers of one thread. Owned by that thread's event queue and used only
// on that thread, so nothing here is locked.
#ifndef QMX_FRAMEWORK_RTTIMERQUEUE_H
#define QMX_FRAMEWORK_RTTIMERQUEUE_H

#include <stdint.h>

#include <map>
#include <utility>

#include "RtTimerWrapper.h"

class CRtEventQueueImpl;

class CRtTimerQueue {
 public:
  explicit CRtTimerQueue(CRtEventQueueImpl* owner);
  ~CRtTimerQueue();

  // The descriptor (a timerfd) that becomes readable when the earliest timer
  // is due on the real clock; -1 when it could not be created.
  void SetTimerFd(int fd) { m_timerFd = fd; }

  int Schedule(CRtTimerWrapper* aTimer, CRtTimerWrapperSink* aSink, uint64_t aIntervalMs, unsigned long aCount);
  // Cancels a scheduled timer through the queue that holds it; refused
  // (RT_ERROR_FAILURE) on any thread but that queue's.
  static int CancelTimer(CRtTimerWrapper* aTimer);
  // Cancels every timer; their wrappers report not scheduled afterwards.
  void CancelAll();

  // Fires every timer due now, earliest first, those with equal deadlines in
  // the order they were (re)armed. A timer re-armed by this pass waits for the
  // next one. Returns the number of callbacks run.
  int FireDue();
  // Milliseconds until the earliest timer is due: -1 none (or, on the manual
  // clock, none due yet), 0 due now.
  int NextTimeoutMs() const;
  bool HasDue() const;

  CRtEventQueueImpl* Owner() const { return m_owner; }

 private:
  struct Entry;
  typedef std::pair<uint64_t, uint64_t> Key;  // deadline, arming sequence

  void Arm(Entry* e, uint64_t now);
  // Unlinks the entry from its wrapper and frees it (not from m_timers).
  static void Release(Entry* e);
  void DrainTimerFd();
  // Points the timerfd at the earliest deadline when that is earlier than
  // what it is set to (disarms it when the manual clock runs the timers).
  void UpdateTimerFd();

  CRtEventQueueImpl* m_owner;
  std::map<Key, Entry*> m_timers;
  uint64_t m_nextSeq;
  int m_timerFd;
  bool m_fdArmed;
  uint64_t m_armedDeadline;  // what the timerfd is set to while armed
};

#endif
