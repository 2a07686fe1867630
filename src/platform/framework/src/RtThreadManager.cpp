// Mutexes, the thread manager and the default disposal of events.
#include "RtThreadManager.h"

#include "RtEventQueue.h"

// ---- mutexes ----

CRtMutexBase::CRtMutexBase(int type) : m_type(type) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, type == MUTEX_THREAD_RECURSIVE ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL);
  pthread_mutex_init(&m_mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

CRtMutexBase::~CRtMutexBase() { pthread_mutex_destroy(&m_mutex); }

int CRtMutexBase::Lock() { return pthread_mutex_lock(&m_mutex); }

int CRtMutexBase::UnLock() { return pthread_mutex_unlock(&m_mutex); }

CRtMutexThread::CRtMutexThread() : CRtMutexBase(MUTEX_THREAD) {}

CRtMutexThreadRecursive::CRtMutexThreadRecursive() : CRtMutexBase(MUTEX_THREAD_RECURSIVE) {}

// ---- events ----

void IRtEvent::OnDestorySelf() { delete this; }

// ---- thread manager ----

CRtThreadManager::CRtThreadManager() {}

CRtThreadManager* CRtThreadManager::Instance() {
  // Never destroyed: static destructors and exiting threads may still ask.
  static CRtThreadManager* m = new CRtThreadManager;
  return m;
}

int CRtThreadManager::GetSingletonMutex(CRtMutexThreadRecursive*& aMutex) {
  static CRtMutexThreadRecursive* m = new CRtMutexThreadRecursive;
  aMutex = m;
  return RT_OK;
}

IRtEventQueue* CRtThreadManager::GetThreadEventQueue(int aType) {
  switch (aType) {
    case TT_CURRENT:
      return CRtEventQueueImpl::Current();
    case TT_MAIN:
      return CRtEventQueueImpl::MainThreadQueue();
    default:
      // No network or DNS threads of the framework's own.
      return nullptr;
  }
}
