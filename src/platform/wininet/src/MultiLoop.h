// The engine: the worker thread that owns the curl multi handle, every easy
// handle and every Transfer, its queue of commands and status reports,
// admission under the connection caps, and the time limits.
#ifndef QMX_WININET_MULTILOOP_H
#define QMX_WININET_MULTILOOP_H

#include <curl/curl.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Dispatcher.h"
#include "Transfer.h"

namespace qmxinet {

// One per process, made on the first InternetOpenA and stopped at exit.
// Post(), PostNote() and OnWorker() are for any thread; everything else runs
// on the worker thread.
//
// The worker runs the status callbacks of asynchronous sessions itself, as
// WinINet runs them on its own threads: between rounds of libcurl, never
// inside it and never with a layer lock held. A callback may call any
// function of the layer; what needs libcurl (a send, a resume, a cancel) is
// a command, and the commands a callback posts run as soon as it returns,
// before the next report. A callback that blocks holds up every transfer.
class Engine {
 public:
  // Starts the worker; throws (and leaves no thread running) when it cannot
  // be had.
  void Start();
  void Stop();

  // Queues a command for the worker; false once the engine has stopped.
  // The worker is woken only when it sleeps (or is about to) in its poll:
  // one write of its eventfd per sleep, whoever posts first.
  bool Post(std::function<void()> fn);
  // Queues a status report behind those already queued; false (dropped)
  // once the engine has stopped.
  bool PostNote(NoteItem&& n);
  bool OnWorker() const { return std::this_thread::get_id() == m_workerId; }

  // Worker-side operations (run through Post).
  void DoStart(const RequestPtr& req, uint64_t gen, const std::string& headers, const std::string& body);
  void DoCancel(RequestObj* req);
  void DoResume(RequestObj* req);

 private:
  void Run();
  // Runs the queued commands and status reports until none is left; a
  // callback's commands run when it returns. False once a stop was run.
  bool RunQueued();
  // Ends a sleep that a poster found (m_sleeping), with m_cmdMu held; the
  // write itself happens after the lock is released.
  bool TakeSleeperLocked() {
    bool was = m_sleeping;
    m_sleeping = false;
    return was;
  }
  void Wake();
  // Option translation of a send into its transfer (TransferSetup.cpp).
  void Setup(Transfer* t, const std::string& extraHeaders);
  void Finish(Transfer* t, CURLcode rc, DWORD ownError);
  void Remove(Transfer* t);
  // Hands a transfer to libcurl; false when libcurl refused it.
  bool Admit(Transfer* t);
  void CheckTimers();
  void NoteDeadline(Millis at) {
    if (at < m_nextDeadline) m_nextDeadline = at;
  }

  CURLM* m_multi = nullptr;
  CURLSH* m_share = nullptr;
  std::thread m_worker;
  std::thread::id m_workerId;
  int m_wakeFd = -1;   // eventfd polled with libcurl's sockets
  std::mutex m_cmdMu;  // guards the two queues, m_sleeping and m_stopped
  std::vector<std::function<void()>> m_commands;
  std::deque<NoteItem> m_notes;
  bool m_sleeping = false;  // the worker is in (or about to enter) its poll
  bool m_stop = false;
  bool m_stopped = false;
  std::map<RequestObj*, std::unique_ptr<Transfer>> m_transfers;
  std::map<std::string, DWORD> m_routeActive;
  std::deque<Transfer*> m_waiting;
  std::vector<CURL*> m_spare;  // easy handles of finished transfers, reset
  // No receive time-out can fall due before this (see CheckTimers).
  Millis m_nextDeadline = kNever;
};

// The running engine, or null before the first start (or when it failed).
Engine* TheEngine();

}  // namespace qmxinet

#endif
