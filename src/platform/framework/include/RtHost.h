// The host side of the framework: how a thread gets its event queue and how
// it is driven, either by a blocking run call or from a host's own main loop
// (GLib, Qt, poll) through a pollable descriptor.
//
// A plain poll() host:
//   QmxThreadAttach();
//   while (!quit) {
//     struct pollfd p = {QmxThreadPollFd(), POLLIN, 0};
//     poll(&p, 1, QmxThreadNextTimeoutMs());
//     QmxThreadRunPending();
//   }
//   QmxFrameworkShutdown();   // while the queue still exists
//   QmxThreadDetach();
//
// A queue object is never freed: other threads may keep its pointer, and a
// post after QmxThreadDetach fails instead of touching freed memory. A thread
// that re-attaches gets a new queue; holders of the old pointer keep failing.
#ifndef QMX_RTHOST_H
#define QMX_RTHOST_H

#include "RtDefines.h"
#include "RtThreadManager.h"

extern "C" {

// Gives the calling thread its event queue (again: returns the same queue);
// null when the system refuses the descriptors.
QMX_FRAMEWORK_API IRtEventQueue* QmxThreadAttach(void);
// Tears the calling thread's queue down: its timers are cancelled, events
// never run are destroyed (OnDestorySelf) unfired, later posts fail. A thread
// that ends attached is detached at its exit. Refused (with a warning trace)
// from inside the queue's own run: stop the run, then detach.
QMX_FRAMEWORK_API void QmxThreadDetach(void);

// Runs events and due timers on the calling thread until QmxQueueStop or
// until timeoutMs of real time pass (-1: no limit; 0: what is due now, once).
// Returns the number of events and timer callbacks run, or -1 when the thread
// has no queue or the call comes from inside that queue's own run.
QMX_FRAMEWORK_API int QmxThreadRun(int timeoutMs);
// Makes QmxThreadRun of that queue return after its current pass; safe from
// any thread. A stop requested while no run is going on ends the next run
// after its first pass. Null is ignored.
QMX_FRAMEWORK_API void QmxQueueStop(IRtEventQueue* queue);

// For a host's own loop: a descriptor that is readable while events are
// waiting or a timer is due on the real clock (and at times for nothing, when
// a run then simply finds nothing to do); the time until the next timer
// is due (-1 none, 0 due now or events waiting; on the manual clock -1 until a
// test's advance makes one due); and a call that runs the events waiting at
// its start and the timers due, without blocking (returns the number run,
// -1 without a queue or from inside the queue's own run). All three are for
// the owner thread; without a queue they return -1.
QMX_FRAMEWORK_API int QmxThreadPollFd(void);
QMX_FRAMEWORK_API int QmxThreadNextTimeoutMs(void);
QMX_FRAMEWORK_API int QmxThreadRunPending(void);

// Framework shutdown: calls CleanUp on every registered CRtCleanUpBase, the
// last registered first (objects registered meanwhile included). Call it on
// the owner thread while its queue exists; a call made while a shutdown is
// already running returns at once.
QMX_FRAMEWORK_API void QmxFrameworkShutdown(void);

}  // extern "C"

#endif
