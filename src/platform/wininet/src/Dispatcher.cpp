// Status notifications: Notify/NotifyComplete, which route a report to the
// worker's queue (asynchronous sessions), to the caller waiting on a
// synchronous request, or straight to the callback.
#include "Dispatcher.h"

#include <cstring>

#include "Firewall.h"
#include "LayerIf.h"
#include "MultiLoop.h"

namespace qmxinet {

void NoteItem::SetInfo(const void* info, DWORD len) {
  m_length = info ? len : 0;
  if (!m_length) return;
  unsigned char* dst = m_inline;
  if (m_length > sizeof m_inline) {
    m_heap.reset(new unsigned char[m_length]);
    dst = m_heap.get();
  }
  std::memcpy(dst, info, m_length);
}

void CallNote(NoteItem& n) {
  if (n.m_status != INTERNET_STATUS_HANDLE_CLOSING) {
    std::lock_guard<std::mutex> lock(n.m_handle->m_mu);
    if (n.m_handle->m_closed) return;  // nothing after the close but HANDLE_CLOSING
  }
  Contain([&] { n.m_callback(n.m_handle->Value(), n.m_context, n.m_status, n.Info(), n.m_length); });
}

void Notify(const HandlePtr& h, DWORD status, const void* info, DWORD length, bool direct) {
  NoteItem n;
  {
    std::lock_guard<std::mutex> lock(h->m_mu);
    if (!h->m_callback || h->m_context == 0) return;
    if (h->m_closed && status != INTERNET_STATUS_HANDLE_CLOSING) return;
    n.m_callback = h->m_callback;
    n.m_context = h->m_context;
  }
  n.m_handle = h;
  n.m_status = status;
  n.SetInfo(info, length);
  if (direct) {
    CallNote(n);
    return;
  }
  if (h->m_async) {
    Engine* engine = TheEngine();
    if (!engine) return;
    {
      std::lock_guard<std::mutex> lock(h->m_mu);
      ++h->m_queued;
    }
    bool queued = false;
    try {
      queued = engine->PostNote(std::move(n));
    } catch (...) {
      std::lock_guard<std::mutex> lock(h->m_mu);
      --h->m_queued;  // never queued
      throw;
    }
    if (!queued) {
      std::lock_guard<std::mutex> lock(h->m_mu);
      --h->m_queued;  // the engine has stopped: process exit drops it
    }
    return;
  }
  // Synchronous session: the caller blocked on this request runs it.
  if (h->m_kind == Kind::kRequest) {
    auto* r = static_cast<RequestObj*>(h.get());
    auto shared = std::make_shared<NoteItem>(std::move(n));
    std::lock_guard<std::mutex> lock(r->m_mu);
    r->m_syncNotes.push_back([shared] { CallNote(*shared); });
    r->m_cv.notify_all();
  }
}

void NotifyComplete(const HandlePtr& h, DWORD_PTR result, DWORD error) {
  if (!h->m_async) return;  // synchronous sessions never see REQUEST_COMPLETE
  INTERNET_ASYNC_RESULT r{result, error};
  Notify(h, INTERNET_STATUS_REQUEST_COMPLETE, &r, sizeof r, false);
}

}  // namespace qmxinet
