// The host side of the framework: how a thread gets its event queue and how
// it is driven, either by a blocking run call or from a host's own main loop
// (GLib, Qt, poll) through a pollable descriptor.
//
// A plain poll() host:
//   QmxThreadAttach();
//   for (;;) {
//     struct pollfd p = {QmxThreadPollFd(), POLLIN, 0};
//     poll(&p, 1, QmxThreadNextTimeoutMs());
//     QmxThreadRunPending();
//   }
//   QmxFrameworkShutdown();   // while the queue still exists
//   QmxThreadDetach();
#ifndef QMX_RTHOST_H
#define QMX_RTHOST_H

#include "RtDefines.h"
#include "RtThreadManager.h"

extern "C" {

// Gives the calling thread its event queue (again: returns the same queue).
QMX_FRAMEWORK_API IRtEventQueue* QmxThreadAttach(void);
// Tears the calling thread's queue down: its timers are cancelled, events
// never run are destroyed (OnDestorySelf) unfired, later posts fail.
QMX_FRAMEWORK_API void QmxThreadDetach(void);

// Runs events and due timers on the calling thread until QmxQueueStop or
// until timeoutMs passes (-1: no limit). Returns the number of events and
// timer callbacks run, or -1 when the thread has no queue.
QMX_FRAMEWORK_API int QmxThreadRun(int timeoutMs);
// Makes a running QmxThreadRun of that queue return; safe from any thread.
QMX_FRAMEWORK_API void QmxQueueStop(IRtEventQueue* queue);

// For a host's own loop: a descriptor that is readable while events are
// waiting (timers are reported through QmxThreadNextTimeoutMs), the time until
// the next timer is due (-1 none, 0 due now or events waiting), and a call
// that runs what is due without blocking (returns the number run).
QMX_FRAMEWORK_API int QmxThreadPollFd(void);
QMX_FRAMEWORK_API int QmxThreadNextTimeoutMs(void);
QMX_FRAMEWORK_API int QmxThreadRunPending(void);

// Framework shutdown: calls CleanUp on every registered CRtCleanUpBase, the
// last registered first. Call it on the owner thread while its queue exists.
QMX_FRAMEWORK_API void QmxFrameworkShutdown(void);

}  // extern "C"

#endif
