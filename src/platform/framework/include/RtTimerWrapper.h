// Timers. A timer fires on the thread that scheduled it, driven by that
// thread's event queue, and uses the clock of qmxclock.h.
#ifndef QMX_RTTIMERWRAPPER_H
#define QMX_RTTIMERWRAPPER_H

#include <stdint.h>

#include "RtDefines.h"

// Seconds and microseconds, normalised (0 <= usec < 1,000,000 for positive
// values).
class QMX_FRAMEWORK_API CRtTimeValue {
 public:
  CRtTimeValue() : m_sec(0), m_usec(0) {}
  CRtTimeValue(long sec, long usec = 0) { Set(sec, usec); }
  void Set(long sec, long usec);
  long GetSec() const { return m_sec; }
  long GetUsec() const { return m_usec; }
  int64_t GetTotalInMsec() const { return (int64_t)m_sec * 1000 + m_usec / 1000; }
  bool operator==(const CRtTimeValue& o) const { return m_sec == o.m_sec && m_usec == o.m_usec; }
  bool operator<(const CRtTimeValue& o) const { return m_sec < o.m_sec || (m_sec == o.m_sec && m_usec < o.m_usec); }

 private:
  long m_sec;
  long m_usec;
};

class CRtTimerWrapper;

class CRtTimerWrapperSink {
 public:
  virtual void OnTimer(CRtTimerWrapper* aId) = 0;
  virtual ~CRtTimerWrapperSink() {}
};

class QMX_FRAMEWORK_API CRtTimerWrapper {
 public:
  CRtTimerWrapper();
  virtual ~CRtTimerWrapper();  // cancels

  // Fires aSink->OnTimer every aInterval, aCount times (0: until Cancel);
  // during the last firing IsScheduled() is already false. A timer that fell
  // behind (a busy thread, a manual clock moved far) fires once, and its next interval counts from
  // then. Timers due together fire earliest deadline first, equal deadlines
  // in the order they were scheduled. Scheduling again re-arms it with the new
  // values. Returns RT_ERROR_NOT_INITIALIZED when the calling thread has no
  // event queue, RT_ERROR_INVALID_ARG for a null sink or negative interval.
  int Schedule(CRtTimerWrapperSink* aSink, const CRtTimeValue& aInterval, unsigned long aCount = 0);
  // Safe inside the timer's own callback and in any other timer's callback;
  // 0 also when not scheduled. A timer is scheduled, cancelled and destroyed
  // on one thread: elsewhere Cancel asserts and returns RT_ERROR_FAILURE.
  int Cancel();
  bool IsScheduled() const { return m_scheduled; }

 private:
  CRtTimerWrapper(const CRtTimerWrapper&) = delete;
  CRtTimerWrapper& operator=(const CRtTimerWrapper&) = delete;
  friend class CRtTimerQueue;
  bool m_scheduled;
  void* m_impl;  // owned by the thread's timer queue
};

#endif
