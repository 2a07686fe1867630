// Threads, the process-wide singleton mutex, per-thread event queues and
// events.
#ifndef QMX_RTTHREADMANAGER_H
#define QMX_RTTHREADMANAGER_H

#include <pthread.h>

#include "RtDefines.h"

// Mutexes. Lock returns 0 on success.
class QMX_FRAMEWORK_API CRtMutexBase {
 public:
  enum { MUTEX_THREAD = 1, MUTEX_THREAD_RECURSIVE = 2 };
  virtual ~CRtMutexBase();
  int Lock();
  int UnLock();
  int GetMutexType() const { return m_type; }

 protected:
  explicit CRtMutexBase(int type);
  pthread_mutex_t m_mutex;
  int m_type;

 private:
  CRtMutexBase(const CRtMutexBase&) = delete;
  CRtMutexBase& operator=(const CRtMutexBase&) = delete;
};

class QMX_FRAMEWORK_API CRtMutexThread : public CRtMutexBase {
 public:
  CRtMutexThread();
};

class QMX_FRAMEWORK_API CRtMutexThreadRecursive : public CRtMutexBase {
 public:
  CRtMutexThreadRecursive();
};

// An event posted to a queue. From the post on it belongs to the queue: the
// queue's thread calls OnEventFire() and then OnDestorySelf(), which deletes it.
class QMX_FRAMEWORK_API IRtEvent {
 public:
  IRtEvent() {}
  virtual ~IRtEvent() {}
  virtual int OnEventFire() = 0;
  virtual void OnDestorySelf();
};

class QMX_FRAMEWORK_API IRtEventQueue {
 public:
  enum { PRIORITY_HIGH = 0, PRIORITY_NORMAL = 1, PRIORITY_LOW = 2 };
  // Safe from any thread. 0 on success, and the event then belongs to the
  // queue. Non-zero when the queue is stopped or gone (RT_ERROR_NOT_INITIALIZED)
  // or the event is null (RT_ERROR_INVALID_ARG): the event stays with the
  // poster. Events run one at a time, on the queue's thread, in post order;
  // the priority does not change that order. A PRIORITY_LOW event does not
  // wake the thread: it runs, in its place, with the next event that does
  // (or the next run for any other reason), so a poster of reports that only
  // need recording costs the owner no wake.
  virtual int PostEvent(IRtEvent* aEvent, int aPriority = PRIORITY_NORMAL) = 0;
  // Events posted and not yet run.
  virtual unsigned int GetPendingEventsCount() = 0;

 protected:
  virtual ~IRtEventQueue() {}
};

class QMX_FRAMEWORK_API CRtThreadManager {
 public:
  enum { TT_MAIN = 0, TT_NETWORK = 1, TT_DNS = 2, TT_CURRENT = 3 };

  static CRtThreadManager* Instance();

  // The process-wide recursive mutex; 0 and a pointer on success.
  int GetSingletonMutex(CRtMutexThreadRecursive*& aMutex);
  // TT_CURRENT (3): the calling thread's queue, or null when it has none
  // (see RtHost.h for how a thread gets one). TT_MAIN: the queue of the
  // process's main thread while it has one. TT_NETWORK, TT_DNS: null (the
  // framework starts no threads of its own).
  IRtEventQueue* GetThreadEventQueue(int aType);

  static pthread_t GetThreadSelfId() { return pthread_self(); }
  static bool IsThreadEqual(pthread_t a, pthread_t b) { return pthread_equal(a, b) != 0; }
  static bool IsEqualCurrentThread(pthread_t a) { return IsThreadEqual(a, GetThreadSelfId()); }

 private:
  CRtThreadManager();
};

#endif
