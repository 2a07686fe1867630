// Status reports on their way to the host's callback. Those of asynchronous
// sessions run on the worker thread (Engine::RunQueued), in the order they
// were raised, never with a layer lock held and never inside libcurl.
#ifndef QMX_WININET_DISPATCHER_H
#define QMX_WININET_DISPATCHER_H

#include <memory>

#include "Handles.h"

namespace qmxinet {

// One status report on its way to the host's callback. Made by the thread
// that raises it; then owned by the engine's queue (asynchronous), the
// request's m_syncNotes (synchronous), or the raising thread (direct).
struct NoteItem {
  HandlePtr m_handle;
  INTERNET_STATUS_CALLBACK m_callback;
  DWORD_PTR m_context;
  DWORD m_status;
  // The information block: most are a DWORD, a handle value or an
  // INTERNET_ASYNC_RESULT and stay inline; longer texts (an address, a
  // redirect target) go to the heap.
  DWORD m_length = 0;
  unsigned char m_inline[32];
  std::unique_ptr<unsigned char[]> m_heap;

  void SetInfo(const void* info, DWORD len);
  unsigned char* Info() { return m_length == 0 ? nullptr : m_heap ? m_heap.get() : m_inline; }
};

// Runs one note: the host's callback, unless the handle closed meanwhile
// (nothing after the close but HANDLE_CLOSING). The callback may not throw
// into the layer; if it does, that is dropped here.
void CallNote(NoteItem& n);

}  // namespace qmxinet

#endif
