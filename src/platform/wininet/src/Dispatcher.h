// The dispatcher thread: runs the status callbacks of asynchronous sessions
// in the order they were raised, never with a layer lock held.
#ifndef QMX_WININET_DISPATCHER_H
#define QMX_WININET_DISPATCHER_H

#include <semaphore.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "Handles.h"

namespace qmxinet {

// One status report on its way to the host's callback. Made by the thread
// that raises it; then owned by the dispatcher queue (asynchronous), the
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

// Runs the notes of asynchronous sessions in the order they were queued.
// It takes whatever has piled up in one go, and is woken only when it is
// actually asleep. The worker does not wake it for each note: it wakes it
// once per round of its loop (Flush), so the notes of one round cost one
// wake. Sleeping is on a semaphore rather than a condition variable, whose
// waiter always takes its mutex back as contended and pays a further
// system call on every wake. Owned by the Engine; its queue is shared by
// every thread under m_mu.
class Dispatcher {
 public:
  Dispatcher() { sem_init(&m_wake, 0, 0); }
  ~Dispatcher() { sem_destroy(&m_wake); }
  void Start();
  // deferWake: the caller is the worker, which calls Flush before it waits.
  void Push(NoteItem&& n, bool deferWake);
  void Flush();
  void Stop();

 private:
  // Each sleep is ended by exactly one post: whoever finds it asleep.
  bool TakeSleeperLocked() {
    bool was = m_sleeping;
    m_sleeping = false;
    return was;
  }
  void Run();
  std::mutex m_mu;
  sem_t m_wake;
  std::deque<NoteItem> m_queue;
  bool m_sleeping = false;  // in (or about to enter) sem_wait
  bool m_stop = false;
  std::atomic<bool> m_stopping{false};  // m_stop, readable outside the lock
  std::thread m_thread;
};

}  // namespace qmxinet

#endif
