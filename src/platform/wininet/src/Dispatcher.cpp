// Status notifications: the dispatcher thread of asynchronous sessions, and
// Notify/NotifyComplete, which route a report to the dispatcher, to the
// caller waiting on a synchronous request, or straight to the callback.
#include "Dispatcher.h"

#include <errno.h>

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

void Dispatcher::Start() {
  m_thread = std::thread([this] { Run(); });
}

void Dispatcher::Push(NoteItem&& n, bool deferWake) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_queue.push_back(std::move(n));
    if (!deferWake) wake = TakeSleeperLocked();
  }
  if (wake) sem_post(&m_wake);
}

void Dispatcher::Flush() {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    wake = !m_queue.empty() && TakeSleeperLocked();
  }
  if (wake) sem_post(&m_wake);
}

void Dispatcher::Stop() {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    m_stop = true;
    m_stopping.store(true, std::memory_order_relaxed);
    wake = TakeSleeperLocked();
  }
  if (wake) sem_post(&m_wake);
  if (m_thread.joinable()) {
    if (m_thread.get_id() == std::this_thread::get_id())
      m_thread.detach();
    else
      m_thread.join();
  }
}

void Dispatcher::Run() {
  std::deque<NoteItem> batch;
  std::unique_lock<std::mutex> lock(m_mu);
  for (;;) {
    while (!m_stop && m_queue.empty()) {
      m_sleeping = true;
      lock.unlock();
      while (sem_wait(&m_wake) != 0 && errno == EINTR) {
      }
      lock.lock();
    }
    if (m_stop) return;  // at process exit, undelivered reports are dropped
    batch.swap(m_queue);
    lock.unlock();
    while (!batch.empty()) {
      if (m_stopping.load(std::memory_order_relaxed)) return;
      NoteItem& n = batch.front();
      CallNote(n);
      {
        std::lock_guard<std::mutex> handleLock(n.m_handle->m_mu);
        --n.m_handle->m_queued;
      }
      batch.pop_front();
    }
    lock.lock();
  }
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
    try {
      engine->dispatcher().Push(std::move(n), engine->OnWorker());
    } catch (...) {
      std::lock_guard<std::mutex> lock(h->m_mu);
      --h->m_queued;  // never queued
      throw;
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
