// The functions the parts of the layer call on each other: the handle
// table, notifications and the engine's commands. Any thread unless noted.
#ifndef QMX_WININET_LAYERIF_H
#define QMX_WININET_LAYERIF_H

#include <string>
#include <vector>

#include "Handles.h"

namespace qmxinet {

// Handle table (Handles.cpp): values are never reused.
HINTERNET RegisterHandle(const HandlePtr& h);
HandlePtr LookupHandle(HINTERNET h);
// Removes h and its subtree from the table; returns them children first.
std::vector<HandlePtr> UnregisterTree(HINTERNET h);

// Notifications (Dispatcher.cpp). Delivers a status notification for h.
// Asynchronous sessions are queued for the worker thread; synchronous ones
// run on the caller's thread (direct) or are handed to the thread waiting on
// the request.
void Notify(const HandlePtr& h, DWORD status, const void* info, DWORD length, bool direct);
void NotifyComplete(const HandlePtr& h, DWORD_PTR result, DWORD error);

// Engine commands (MultiLoop.cpp).
// Starts the worker once; 0, or the error that kept it from starting (a
// later call tries again).
DWORD EngineEnsureStarted() noexcept;
// True on the worker thread, that is inside a status callback of an
// asynchronous session: nothing there may wait for the worker.
bool OnEngineThread();
// Hands a send to the worker; false when the engine does not run.
bool EngineStartSend(const RequestPtr& req, uint64_t generation, std::string headers, std::string body);
// Call with the request marked closed; waits only when the worker holds a
// transfer for it.
void EngineCancel(const RequestPtr& req);
void EngineResume(const RequestPtr& req);

}  // namespace qmxinet

#endif
