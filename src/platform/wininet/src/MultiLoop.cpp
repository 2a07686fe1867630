// The worker thread: its loop over the curl multi handle, the commands the
// entry points post to it, admission under the per-route connection caps,
// the end of transfers, and the receive and overall time limits.
#include "MultiLoop.h"

#include <openssl/crypto.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "Firewall.h"
#include "LayerIf.h"

namespace qmxinet {
namespace {

// Easy handles kept for reuse: enough for the connections of a few servers.
constexpr size_t kSpareHandles = 16;
// The worker looks at its timers at least this often (milliseconds).
constexpr long kMaxPollMs = 200;

Engine* g_engine = nullptr;
std::once_flag g_engineOnce;

// Stops the threads at process exit. Registered after libcurl (and with it
// OpenSSL) registered its own clean-up, so it runs before that clean-up.
void StopAtExit() {
  if (g_engine) g_engine->Stop();
}

// A send the worker could not take on fails at once.
void FailStart(const RequestPtr& req, uint64_t gen, DWORD err) {
  {
    std::lock_guard<std::mutex> lock(req->m_mu);
    req->m_transferLive = false;
    if (req->m_generation != gen || req->m_closed) return;
    req->m_phase = RequestObj::Phase::kFailed;
    req->m_sendError = err;
    if (req->m_op == OpKind::kSend) req->FinishOpLocked(err);
  }
  Contain([&] { NotifyComplete(req, 0, err); });
}

}  // namespace

Transfer::~Transfer() {
  if (m_easy) curl_easy_cleanup(m_easy);
  curl_slist_free_all(m_headerList);
}

Engine* TheEngine() { return g_engine; }

void Engine::Start() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  m_multi = curl_multi_init();
  m_share = curl_share_init();
  m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (!m_multi || !m_share || m_wakeFd < 0 ||
      curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE) != CURLSHE_OK ||
      curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK) {
    curl_multi_cleanup(m_multi);
    curl_share_cleanup(m_share);
    if (m_wakeFd >= 0) close(m_wakeFd);
    m_multi = nullptr;
    m_share = nullptr;
    m_wakeFd = -1;
    throw std::bad_alloc();
  }
  try {
    m_worker = std::thread([this] { Run(); });
  } catch (...) {
    curl_multi_cleanup(m_multi);
    curl_share_cleanup(m_share);
    close(m_wakeFd);
    m_wakeFd = -1;
    throw;
  }
  m_workerId = m_worker.get_id();
}

void Engine::Stop() {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(m_cmdMu);
    if (m_stopped) return;
    // Last in the queue: the commands posted before it still run.
    m_commands.push_back([this] { m_stop = true; });
    m_stopped = true;
    wake = TakeSleeperLocked();
  }
  if (wake) Wake();
  if (m_worker.joinable()) {
    if (m_worker.get_id() == std::this_thread::get_id())
      m_worker.detach();
    else
      m_worker.join();
  }
}

void Engine::Wake() {
  uint64_t one = 1;
  ssize_t n = write(m_wakeFd, &one, sizeof one);
  (void)n;  // only a counter at its maximum refuses, and that is readable
}

bool Engine::Post(std::function<void()> fn) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(m_cmdMu);
    if (m_stopped) return false;  // after process exit began, nothing new starts
    m_commands.push_back(std::move(fn));
    wake = TakeSleeperLocked();
  }
  if (wake) Wake();
  return true;
}

bool Engine::PostNote(NoteItem&& n) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(m_cmdMu);
    if (m_stopped) return false;  // at process exit, undelivered reports are dropped
    m_notes.push_back(std::move(n));
    wake = TakeSleeperLocked();
  }
  if (wake) Wake();
  return true;
}

void Engine::DoStart(const RequestPtr& req, uint64_t gen, const std::string& headers, const std::string& body) {
  auto old = m_transfers.find(req.get());
  if (old != m_transfers.end()) Remove(old->second.get());
  bool taken = false;
  DWORD err = Contain([&] {
    auto owned = std::make_unique<Transfer>();
    Transfer* t = owned.get();
    t->m_req = req;
    t->m_gen = gen;
    t->m_postData = body;
    {
      std::lock_guard<std::mutex> lock(req->m_mu);
      if (req->m_generation != gen || req->m_closed) return;
      req->m_transferLive = true;  // a close from now on waits for the removal
    }
    taken = true;
    Setup(t, headers);
    if (t->m_totalDeadline != kNever) NoteDeadline(t->m_totalDeadline);
    DWORD& active = m_routeActive[t->m_routeKey];
    const bool admitNow = active < t->m_routeCap;
    if (!admitNow) m_waiting.push_back(t);
    try {
      m_transfers[req.get()] = std::move(owned);
    } catch (...) {
      if (!admitNow) m_waiting.pop_back();
      throw;
    }
    if (admitNow && !Admit(t)) Finish(t, CURLE_OK, ERROR_NOT_ENOUGH_MEMORY);
  });
  if (err && taken) FailStart(req, gen, err);
}

bool Engine::Admit(Transfer* t) {
  t->Touch(NowMs());
  if (curl_multi_add_handle(m_multi, t->m_easy) != CURLM_OK) return false;
  t->m_admitted = true;
  NoteDeadline(t->ReceiveDeadline());
  m_routeActive[t->m_routeKey]++;
  return true;
}

void Engine::Remove(Transfer* t) {
  if (!t->m_admitted) {  // only a transfer not yet admitted waits for a slot
    auto it = std::find(m_waiting.begin(), m_waiting.end(), t);
    if (it != m_waiting.end()) m_waiting.erase(it);
  }
  std::string key = t->m_routeKey;
  bool admitted = t->m_admitted;
  if (admitted) curl_multi_remove_handle(m_multi, t->m_easy);
  // The handle of a transfer that ended well is kept for the next one, its
  // options back at their defaults, unless it ran under relaxed certificate
  // checks or with cookies: libcurl's cookie engine, once on, stays on
  // through curl_easy_reset, and would send the shared cookies with a later
  // INTERNET_FLAG_NO_COOKIES request.
  if (t->m_reusable && !t->m_relaxed && !t->m_cookies && m_spare.size() < kSpareHandles) {
    curl_easy_reset(t->m_easy);
    if (Contain([&] { m_spare.push_back(t->m_easy); }) == 0) t->m_easy = nullptr;
  }
  {
    // Only now, with the easy handle gone, may a close skip waiting.
    std::lock_guard<std::mutex> lock(t->m_req->m_mu);
    t->m_req->m_transferLive = false;
  }
  m_transfers.erase(t->m_req.get());  // frees t (and an easy handle not kept)
  if (!admitted) return;
  DWORD& active = m_routeActive[key];
  if (active) active--;
  std::vector<Transfer*> refused;
  for (auto it = m_waiting.begin(); it != m_waiting.end() && active < (*it)->m_routeCap;) {
    if ((*it)->m_routeKey == key) {
      Transfer* next = *it;
      it = m_waiting.erase(it);
      if (!Admit(next)) refused.push_back(next);
    } else {
      ++it;
    }
  }
  for (Transfer* r : refused) Finish(r, CURLE_OK, ERROR_NOT_ENOUGH_MEMORY);
}

void Engine::DoCancel(RequestObj* req) {
  auto it = m_transfers.find(req);
  if (it != m_transfers.end()) Remove(it->second.get());
}

void Engine::DoResume(RequestObj* req) {
  auto it = m_transfers.find(req);
  {
    std::lock_guard<std::mutex> lock(req->m_mu);
    req->m_resumePosted = false;
    if (it == m_transfers.end() || !req->m_paused) return;
    req->m_paused = false;
  }
  Transfer* t = it->second.get();
  t->Touch(NowMs());
  curl_easy_pause(t->m_easy, CURLPAUSE_CONT);  // may run the write callback
}

// Ends a transfer: libcurl's result, or the layer's own error (a time-out, a
// callback that stopped it, a failure of the layer).
void Engine::Finish(Transfer* t, CURLcode rc, DWORD ownError) {
  DWORD err = ownError;
  if (!err && rc != CURLE_OK) err = MapCurlError(rc, t->m_easy, t->m_errorMask, false);
  // libcurl refuses a single header line beyond its own line limit with
  // CURLE_OUT_OF_MEMORY: while the reply's headers are being read that is a
  // server sending a header without end, not a lack of memory.
  if (!ownError && rc == CURLE_OUT_OF_MEMORY && !t->Published()) err = ERROR_HTTP_INVALID_SERVER_RESPONSE;
  if (rc == CURLE_OK && !ownError) {
    long os = 0;
    curl_easy_getinfo(t->m_easy, CURLINFO_OS_ERRNO, &os);
    t->m_reusable = os == 0;
  }
  DWORD failed = Contain([&] {
    // A candidate reply that libcurl did not follow up (a redirect it would
    // not take, an authentication it gave up) is the final reply; not when
    // the layer itself ended the transfer (a time-out while the next hop was
    // awaited is a failure), nor when the redirect limit was passed.
    if (!t->Published() && !ownError && t->Candidate() && rc != CURLE_TOO_MANY_REDIRECTS) {
      PublishReply(t);
      err = 0;
    } else if (!t->Published() && rc == CURLE_OK && !ownError) {
      PublishReply(t);
    }
    if (t->m_hop == Hop::kFinalFromProxy && !ownError) err = 0;
    // An empty body is reported once, before the reader can see its end.
    if (t->Published() && !err && !t->m_progressReported) ReportProgress(t);
  });
  if (failed) err = failed;
  Contain([&] { DeliverEnd(t, err); });
  Remove(t);
}

// Activity only ever moves a transfer's deadline later, so no receive
// time-out can fall due before the earliest deadline seen in the last walk
// (or that of a transfer admitted since): until then there is nothing to
// look at, however many transfers there are.
void Engine::CheckTimers() {
  const Millis now = NowMs();
  if (now < m_nextDeadline) return;
  m_nextDeadline = kNever;
  std::vector<Transfer*> expired;
  for (auto& kv : m_transfers) {
    Transfer* t = kv.second.get();
    // The overall limit counts from the send, admitted or still waiting.
    if (t->m_totalDeadline != kNever) {
      if (now >= t->m_totalDeadline) {
        expired.push_back(t);
        continue;
      }
      NoteDeadline(t->m_totalDeadline);
    }
    if (!t->m_admitted || t->ReceiveDeadline() == kNever) continue;
    bool paused;
    {
      std::lock_guard<std::mutex> lock(t->m_req->m_mu);
      paused = t->m_req->m_paused;
    }
    if (paused) t->Touch(now);  // nobody reads: not the server's fault
    const Millis deadline = t->ReceiveDeadline();
    if (now >= deadline)
      expired.push_back(t);
    else
      NoteDeadline(deadline);
  }
  for (Transfer* t : expired) Finish(t, CURLE_OK, ERROR_INTERNET_TIMEOUT);
}

bool Engine::RunQueued() {
  std::vector<std::function<void()>> cmds;
  std::deque<NoteItem> notes;
  // A command that throws has already answered its request (DoStart) or
  // has nobody to tell; the loop goes on.
  auto runCommands = [&] {
    {
      std::lock_guard<std::mutex> lock(m_cmdMu);
      cmds.swap(m_commands);
    }
    for (auto& c : cmds) Contain(c);
    cmds.clear();
    return !m_stop;
  };
  for (;;) {
    if (!runCommands()) return false;
    {
      std::lock_guard<std::mutex> lock(m_cmdMu);
      notes.swap(m_notes);
    }
    if (notes.empty()) return true;
    while (!notes.empty()) {
      NoteItem& n = notes.front();
      CallNote(n);
      {
        std::lock_guard<std::mutex> handleLock(n.m_handle->m_mu);
        --n.m_handle->m_queued;
      }
      notes.pop_front();
      // What the callback asked for (a cancel, a resume, a send) happens
      // now, before the next report; reports it raised queue behind those
      // taken here. A stop drops what is left.
      if (!runCommands()) return false;
    }
  }
}

void Engine::Run() {
  // OpenSSL writes with write(2): a peer that went away must give EPIPE on
  // this thread, not a process-killing SIGPIPE.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  struct curl_waitfd wake = {m_wakeFd, CURL_WAIT_POLLIN, 0};
  while (RunQueued()) {
    Contain([&] {
      int running = 0;
      curl_multi_perform(m_multi, &running);
      int left = 0;
      while (CURLMsg* m = curl_multi_info_read(m_multi, &left)) {
        if (m->msg != CURLMSG_DONE) continue;
        Transfer* t = nullptr;
        curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &t);
        CURLcode rc = m->data.result;
        if (t) Finish(t, rc, t->m_abortError);
      }
      CheckTimers();
    });
    // The reports of this round, and what their callbacks ask for.
    if (!RunQueued()) break;
    long timeout = kMaxPollMs;
    curl_multi_timeout(m_multi, &timeout);
    if (timeout < 0 || timeout > kMaxPollMs) timeout = kMaxPollMs;
    {
      // Whatever was posted after the queues were last looked at is run
      // without sleeping; from here on a poster writes the eventfd.
      std::lock_guard<std::mutex> lock(m_cmdMu);
      if (!m_commands.empty() || !m_notes.empty())
        timeout = 0;
      else
        m_sleeping = true;
    }
    if (timeout == 0) continue;
    wake.revents = 0;
    curl_multi_poll(m_multi, &wake, 1, static_cast<int>(timeout), nullptr);
    {
      std::lock_guard<std::mutex> lock(m_cmdMu);
      m_sleeping = false;  // a poster that did not find it asleep owes no write
    }
    if (wake.revents & CURL_WAIT_POLLIN) {
      uint64_t v;
      ssize_t n = read(m_wakeFd, &v, sizeof v);
      (void)n;
    }
  }
  while (!m_transfers.empty()) Remove(m_transfers.begin()->second.get());
  for (CURL* e : m_spare) curl_easy_cleanup(e);
  m_spare.clear();
  curl_multi_cleanup(m_multi);  // nothing touches it any more: m_stopped is set
  curl_share_cleanup(m_share);
  OPENSSL_thread_stop();  // this thread's OpenSSL state
}

// ---------------------------------------------------------------------------
// Commands from the entry points

DWORD EngineEnsureStarted() noexcept {
  return Contain([] {
    std::call_once(g_engineOnce, [] {
      auto engine = std::make_unique<Engine>();
      engine->Start();  // throws with nothing left running
      g_engine = engine.release();
      std::atexit(StopAtExit);
    });
  });
}

bool OnEngineThread() {
  Engine* engine = TheEngine();
  return engine && engine->OnWorker();
}

bool EngineStartSend(const RequestPtr& req, uint64_t generation, std::string headers, std::string body) {
  Engine* engine = TheEngine();
  if (!engine) return false;
  auto start = [req, generation, headers = std::move(headers), body = std::move(body)] {
    g_engine->DoStart(req, generation, headers, body);
  };
  // The desktop's proxy settings may take long to look up (a PAC file,
  // WPAD): the send goes to the worker only once the answer is at hand, so
  // the worker never waits for it. Host and flags are fixed at creation.
  const ConnectObj& conn = *req->m_conn;
  if (PendingSystemProxy(conn.m_root->m_proxy, req->m_flags & INTERNET_FLAG_SECURE, conn.m_host,
                         [req, generation, start] {
                           if (!g_engine->Post(start)) FailStart(req, generation, ERROR_INTERNET_OPERATION_CANCELLED);
                         }))
    return true;
  return engine->Post(std::move(start));
}

void EngineCancel(const RequestPtr& req) {
  // Waits until the worker has removed the transfer, so that its socket is
  // closed (or back in the connection cache) when InternetCloseHandle returns.
  struct Done {
    std::mutex m_mu;
    std::condition_variable m_cv;
    bool m_done = false;
  };
  {
    // The request is already marked closed, so no send can start a transfer
    // for it any more; without a live one there is nothing to wait for.
    std::lock_guard<std::mutex> lock(req->m_mu);
    if (!req->m_transferLive) return;
  }
  Engine* engine = TheEngine();
  if (!engine) return;
  auto done = std::make_shared<Done>();
  bool posted = engine->Post([req, done] {
    g_engine->DoCancel(req.get());
    std::lock_guard<std::mutex> lock(done->m_mu);
    done->m_done = true;
    done->m_cv.notify_all();
  });
  // Inside a status callback on the worker the cancel runs as soon as the
  // callback returns.
  if (!posted || engine->OnWorker()) return;
  std::unique_lock<std::mutex> lock(done->m_mu);
  done->m_cv.wait(lock, [&] { return done->m_done; });
}

void EngineResume(const RequestPtr& req) {
  if (Engine* engine = TheEngine()) engine->Post([req] { g_engine->DoResume(req.get()); });
}

}  // namespace qmxinet
