// The engine: the worker thread that owns the curl multi handle, every easy
// handle and every Transfer, its command queue, admission under the
// connection caps, and the time limits.
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
// Post() and OnWorker() are for any thread; everything else runs on the
// worker thread.
class Engine {
 public:
  // Starts the dispatcher and the worker; throws (and leaves no thread
  // running) when either cannot be had.
  void Start();
  void Stop();

  // Queues a command for the worker; false once the engine has stopped.
  // Only the command that finds the queue empty wakes the worker: until the
  // worker takes the queue, that wake is still owed and covers the rest.
  bool Post(std::function<void()> fn);
  bool OnWorker() const { return std::this_thread::get_id() == m_workerId; }

  Dispatcher& dispatcher() { return m_dispatcher; }

  // Worker-side operations (run through Post).
  void DoStart(const RequestPtr& req, uint64_t gen, const std::string& headers, const std::string& body);
  void DoCancel(RequestObj* req);
  void DoResume(RequestObj* req);

 private:
  void Run();
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
  Dispatcher m_dispatcher;
  std::mutex m_cmdMu;
  std::vector<std::function<void()>> m_commands;
  bool m_stop = false;
  bool m_stopped = false;  // guarded by m_cmdMu
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
