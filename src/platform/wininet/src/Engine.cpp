// The transfer engine: one worker thread owns the curl multi handle and
// every easy handle; one dispatcher thread runs the status callbacks of
// asynchronous sessions in the order they were queued.
//
// A send becomes a Transfer on the worker. Its header callback keeps the
// header block of each reply hop and decides when the reply is final (after
// redirects and authentication rounds that libcurl runs itself); its write
// callback moves body bytes into the request (or straight into a waiting
// reader's buffer) and pauses the transfer when unread bytes pile up.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <errno.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "Internal.h"

namespace qmxinet {
namespace {

using Clock = std::chrono::steady_clock;

// Flow control: above this many unread bytes the transfer is paused; it
// resumes once the reader has brought it under half of it.
constexpr size_t kHighWater = 256 * 1024;
constexpr size_t kLowWater = kHighWater / 2;

// Easy handles kept for reuse: enough for the connections of a few servers.
constexpr size_t kSpareHandles = 16;

// ---------------------------------------------------------------------------
// Dispatcher

struct NoteItem {
  HandlePtr handle;
  INTERNET_STATUS_CALLBACK callback;
  DWORD_PTR context;
  DWORD status;
  // The information block: most are a DWORD, a handle value or an
  // INTERNET_ASYNC_RESULT and stay inline; longer texts (an address, a
  // redirect target) go to the heap.
  DWORD length = 0;
  unsigned char inline_[32];
  std::unique_ptr<unsigned char[]> heap;

  void SetInfo(const void* info, DWORD len) {
    length = info ? len : 0;
    if (!length) return;
    unsigned char* dst = inline_;
    if (length > sizeof inline_) {
      heap.reset(new unsigned char[length]);
      dst = heap.get();
    }
    std::memcpy(dst, info, length);
  }
  unsigned char* Info() { return length == 0 ? nullptr : heap ? heap.get() : inline_; }
};

void CallNote(NoteItem& n) {
  if (n.status != INTERNET_STATUS_HANDLE_CLOSING) {
    std::lock_guard<std::mutex> lock(n.handle->mu);
    if (n.handle->closed) return;  // nothing after the close but HANDLE_CLOSING
  }
  n.callback(n.handle->Value(), n.context, n.status, n.Info(), n.length);
}

// Runs the notes of asynchronous sessions in the order they were queued.
// It takes whatever has piled up in one go, and is woken only when it is
// actually asleep. The worker does not wake it for each note: it wakes it
// once per round of its loop (Flush), so the notes of one round cost one
// wake. Sleeping is on a semaphore rather than a condition variable, whose
// waiter always takes its mutex back as contended and pays a further
// system call on every wake.
class Dispatcher {
 public:
  void Start() {
    sem_init(&wake_, 0, 0);
    thread_ = std::thread([this] { Run(); });
  }
  // deferWake: the caller is the worker, which calls Flush before it waits.
  void Push(NoteItem&& n, bool deferWake) {
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      queue_.push_back(std::move(n));
      if (!deferWake) wake = TakeSleeperLocked();
    }
    if (wake) sem_post(&wake_);
  }
  void Flush() {
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mu_);
      wake = !queue_.empty() && TakeSleeperLocked();
    }
    if (wake) sem_post(&wake_);
  }
  void Stop() {
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
      stopping_.store(true, std::memory_order_relaxed);
      wake = TakeSleeperLocked();
    }
    if (wake) sem_post(&wake_);
    if (thread_.joinable()) {
      if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
      else
        thread_.join();
    }
  }

 private:
  // Each sleep is ended by exactly one post: whoever finds it asleep.
  bool TakeSleeperLocked() {
    bool was = sleeping_;
    sleeping_ = false;
    return was;
  }
  void Run() {
    std::deque<NoteItem> batch;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      while (!stop_ && queue_.empty()) {
        sleeping_ = true;
        lock.unlock();
        while (sem_wait(&wake_) != 0 && errno == EINTR) {
        }
        lock.lock();
      }
      if (stop_) return;  // at process exit, undelivered reports are dropped
      batch.swap(queue_);
      lock.unlock();
      while (!batch.empty()) {
        if (stopping_.load(std::memory_order_relaxed)) return;
        NoteItem& n = batch.front();
        CallNote(n);
        {
          std::lock_guard<std::mutex> handleLock(n.handle->mu);
          --n.handle->queued;
        }
        batch.pop_front();
      }
      lock.lock();
    }
  }
  std::mutex mu_;
  sem_t wake_;
  std::deque<NoteItem> queue_;
  bool sleeping_ = false;  // in (or about to enter) sem_wait
  bool stop_ = false;
  std::atomic<bool> stopping_{false};  // stop_, readable outside the lock
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// Transfers

struct Transfer {
  RequestPtr req;
  uint64_t gen = 0;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  std::string url, postData, routeKey, connectHost;
  DWORD routeCap = 6;
  bool admitted = false;
  bool https = false;
  bool follow = true;
  bool tunnelPending = false;  // https through an HTTP proxy: CONNECT reply first
  bool tunnelReply = false;    // the final reply is the proxy's refusal of CONNECT
  bool relaxed = false;        // https with some certificate errors forgiven
  // Ended well with no system error recorded, so its easy handle can serve
  // again: curl_easy_reset keeps the last system error, which the error
  // mapping of a later transfer would read.
  bool reusable = false;
  DWORD errorMask = 0;
  // Set by a callback that stops the transfer itself (it returns an error to
  // libcurl): the request fails with this rather than libcurl's code.
  DWORD abortError = 0;
  // INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP or its security flag: an https
  // reply may send the request on to a plain http URL.
  bool allowHttpsToHttp = false;

  // Authentication offered to libcurl.
  bool serverCreds = false, proxyCreds = false;
  Credentials serverUsed, proxyUsed;
  std::string serverKey, proxyKey, serverScheme, proxyScheme;

  // Header parsing of the current hop.
  bool sawStatus = false, inBlock = false, redirectPending = false;
  bool candidate = false, published = false;
  DWORD code = 0;
  std::string versionText, statusText;
  std::vector<std::string> raw;
  std::vector<ResponseHeader> hdrs;
  size_t headerBytes = 0;
  bool socketOpened = false;
  std::string peerIp;

  DWORD receiveTimeout = kInfinite;
  Clock::time_point lastActivity = Clock::now();
  // QMX_INTERNET_OPTION_TOTAL_TIMEOUT: the transfer ends here at the latest.
  Clock::time_point totalDeadline = Clock::time_point::max();

  // Progress of the final reply's body, for the progress observer.
  bool headRequest = false, decoding = false;
  uint64_t bodyReceived = 0;
  int64_t bodyExpected = -1;
  bool progressReported = false;
};

const ResponseHeader* FindHeader(const std::vector<ResponseHeader>& h, const char* name) {
  for (const auto& x : h)
    if (strcasecmp(x.name.c_str(), name) == 0) return &x;
  return nullptr;
}

std::string FirstToken(const std::string& s) {
  size_t end = s.find_first_of(" \t,");
  return s.substr(0, end);
}

class Engine {
 public:
  void Start() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    multi_ = curl_multi_init();
    share_ = curl_share_init();
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    dispatcher_.Start();
    worker_ = std::thread([this] { Run(); });
    workerId_ = worker_.get_id();
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(cmdMu_);
      if (stopped_) return;
      commands_.push_back([this] { stop_ = true; });
      stopped_ = true;
      curl_multi_wakeup(multi_);
    }
    if (worker_.joinable()) {
      if (worker_.get_id() == std::this_thread::get_id())
        worker_.detach();
      else
        worker_.join();
    }
    dispatcher_.Stop();
  }

  // Queues a command for the worker; false once the engine has stopped.
  // Only the command that finds the queue empty wakes the worker: until the
  // worker takes the queue, that wake is still owed and covers the rest.
  bool Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(cmdMu_);
    if (stopped_) return false;  // after process exit began, nothing new starts
    const bool wake = commands_.empty();
    commands_.push_back(std::move(fn));
    if (wake) curl_multi_wakeup(multi_);
    return true;
  }
  bool OnWorker() const { return std::this_thread::get_id() == workerId_; }

  Dispatcher& dispatcher() { return dispatcher_; }

  // Worker-side operations (run through Post).
  void DoStart(const RequestPtr& req, uint64_t gen, const std::string& headers, const std::string& body);
  void DoCancel(RequestObj* req);
  void DoResume(RequestObj* req);

 private:
  void Run();
  void Finish(Transfer* t, CURLcode rc, DWORD ownError);
  void Remove(Transfer* t);
  void Admit(Transfer* t);
  void CheckTimers();

  CURLM* multi_ = nullptr;
  CURLSH* share_ = nullptr;
  std::thread worker_;
  std::thread::id workerId_;
  Dispatcher dispatcher_;
  std::mutex cmdMu_;
  std::vector<std::function<void()>> commands_;
  bool stop_ = false;
  bool stopped_ = false;  // guarded by cmdMu_
  std::map<RequestObj*, std::unique_ptr<Transfer>> transfers_;
  std::map<std::string, DWORD> routeActive_;
  std::deque<Transfer*> waiting_;
  std::vector<CURL*> spare_;  // easy handles of finished transfers, reset
  // No receive time-out can fall due before this (see CheckTimers).
  Clock::time_point nextDeadline_ = Clock::time_point::max();
};

Engine* g_engine = nullptr;
std::once_flag g_engineOnce;

// Stops the threads at process exit. Registered after libcurl (and with it
// OpenSSL) registered its own clean-up, so it runs before that clean-up.
void StopAtExit() {
  if (g_engine) g_engine->Stop();
}

// ---------------------------------------------------------------------------
// Publication of the final reply and body delivery (worker thread).

void FinishOpLocked(RequestObj& r, DWORD error) {
  if (r.op == OpKind::kReadFill && error == 0) {
    if (r.opBuffers) r.opBuffers->dwBufferLength = r.opFilled;
    if (r.opCountOut) *r.opCountOut = r.opFilled;
  } else if (r.op == OpKind::kQueryAvailable && error == 0 && r.opAvailableOut) {
    *r.opAvailableOut = static_cast<DWORD>(r.Buffered());
  }
  r.op = OpKind::kNone;
  r.opBuffer = nullptr;
  r.opBuffers = nullptr;
  r.opCountOut = nullptr;
  r.opAvailableOut = nullptr;
  r.opDone = true;
  r.opError = error;
  r.cv.notify_all();
}

// The progress observer. Held while it runs, so that once it is replaced the
// old one is never called again.
std::mutex g_progressMu;
QMX_PROGRESS_OBSERVER g_progress = nullptr;
LPVOID g_progressData = nullptr;

void ReportProgress(Transfer* t) {
  std::lock_guard<std::mutex> lock(g_progressMu);
  if (!g_progress) return;
  t->progressReported = true;
  g_progress(t->req->Value(), t->bodyReceived, t->bodyExpected, g_progressData);
}

// The body length a final reply announces, as the observer reports it.
int64_t ExpectedBody(const Transfer* t) {
  if (t->headRequest || t->code == 204 || t->code == 304) return 0;
  if (t->decoding && FindHeader(t->hdrs, "Content-Encoding")) return -1;
  const ResponseHeader* h = FindHeader(t->hdrs, "Content-Length");
  if (!h || FindHeader(t->hdrs, "Transfer-Encoding")) return -1;
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(h->value.c_str(), &end, 10);
  if (errno || end == h->value.c_str() || n < 0) return -1;
  return n;
}

void Publish(Transfer* t) {
  if (t->published) return;
  t->bodyExpected = ExpectedBody(t);
  t->published = true;
  t->candidate = false;
  RequestObj& r = *t->req;
  // Credentials: remembered after a reply that accepted them, forgotten
  // after one that rejected them.
  if (t->serverCreds) {
    if (t->code == 401) {
      CacheRemove(false, t->serverKey, t->serverUsed);
    } else if (t->code != 407) {
      Credentials c = t->serverUsed;
      if (!t->serverScheme.empty()) c.scheme = t->serverScheme;
      CachePut(false, t->serverKey, c);
    }
  }
  if (t->proxyCreds) {
    if (t->code == 407) {
      CacheRemove(true, t->proxyKey, t->proxyUsed);
    } else {
      Credentials c = t->proxyUsed;
      if (!t->proxyScheme.empty()) c.scheme = t->proxyScheme;
      CachePut(true, t->proxyKey, c);
    }
  }
  char* eff = nullptr;
  curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &eff);
  // Raised before the reply is published, so that a synchronous caller runs
  // it inside its send and it precedes REQUEST_COMPLETE.
  DWORD bytes = static_cast<DWORD>(t->headerBytes);
  Notify(t->req, INTERNET_STATUS_RESPONSE_RECEIVED, &bytes, sizeof bytes, false);
  {
    std::lock_guard<std::mutex> lock(r.mu);
    if (r.generation != t->gen || r.closed) return;
    r.status = t->code;
    // The transfer is done with its header block once it is published (a
    // later block starts from empty), so the texts move.
    r.versionText = std::move(t->versionText);
    r.statusText = std::move(t->statusText);
    r.rawLines = std::move(t->raw);
    r.headers = std::move(t->hdrs);
    if (eff) r.url = eff;
    r.tlsDone = t->https && !t->tunnelReply;
    r.phase = RequestObj::Phase::kHeaders;
    if (r.op == OpKind::kSend) FinishOpLocked(r, 0);
  }
  NotifyComplete(t->req, 1, 0);
}

// The absolute URL a Location header leads to from the current URL.
std::string ResolveLocation(CURL* easy, const std::string& location) {
  char* eff = nullptr;
  curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &eff);
  std::string out = location;
  CURLU* u = curl_url();
  if (eff && curl_url_set(u, CURLUPART_URL, eff, 0) == CURLUE_OK &&
      curl_url_set(u, CURLUPART_URL, location.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char* full = nullptr;
    if (curl_url_get(u, CURLUPART_URL, &full, 0) == CURLUE_OK) {
      out = full;
      curl_free(full);
    }
  }
  curl_url_cleanup(u);
  return out;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* ud) {
  Transfer* t = static_cast<Transfer*>(ud);
  size_t len = size * count;
  t->lastActivity = Clock::now();
  t->headerBytes += len;
  if (t->headerBytes > kMaxReplyHeaderBytes) {
    t->abortError = ERROR_HTTP_INVALID_SERVER_RESPONSE;
    return 0;  // libcurl ends the transfer
  }
  size_t n = len;
  while (n > 0 && (data[n - 1] == '\n' || data[n - 1] == '\r')) --n;
  std::string line(data, n);

  if (line.compare(0, 5, "HTTP/") == 0) {
    if (!t->sawStatus || t->redirectPending) {
      // The first status line of each hop: the request went out.
      t->sawStatus = true;
      long sent = 0;
      curl_easy_getinfo(t->easy, CURLINFO_REQUEST_SIZE, &sent);
      DWORD d = static_cast<DWORD>(sent);
      Notify(t->req, INTERNET_STATUS_REQUEST_SENT, &d, sizeof d, false);
      Notify(t->req, INTERNET_STATUS_RECEIVING_RESPONSE, nullptr, 0, false);
    }
    t->redirectPending = false;
    t->candidate = false;
    t->raw.clear();
    t->hdrs.clear();
    // Room for a usual block at once rather than growing line by line.
    t->raw.reserve(16);
    t->hdrs.reserve(16);
    size_t sp1 = line.find(' ');
    t->versionText = line.substr(0, sp1);
    t->code = 0;
    t->statusText.clear();
    if (sp1 != std::string::npos) {
      // The status code is exactly three digits, as HTTP has it.
      const char* d = line.c_str() + sp1 + 1;
      auto digit = [](char c) { return c >= '0' && c <= '9'; };
      if (digit(d[0]) && digit(d[1]) && digit(d[2]))
        t->code = static_cast<DWORD>((d[0] - '0') * 100 + (d[1] - '0') * 10 + (d[2] - '0'));
      size_t sp2 = line.find(' ', sp1 + 1);
      if (sp2 != std::string::npos) t->statusText = line.substr(sp2 + 1);
    }
    t->raw.push_back(std::move(line));
    t->inBlock = true;
    return len;
  }
  if (!t->inBlock) return len;  // trailers
  if (!line.empty()) {
    if ((line[0] == ' ' || line[0] == '\t') && !t->hdrs.empty()) {
      // A folded line continues the previous header; one of blanks only
      // adds nothing.
      const size_t text = line.find_first_not_of(" \t");
      if (text != std::string::npos) t->hdrs.back().value += " " + line.substr(text);
      t->raw.push_back(std::move(line));
      return len;
    }
    size_t colon = line.find(':');
    ResponseHeader h;
    h.name = line.substr(0, colon);
    if (colon != std::string::npos) {
      size_t v = line.find_first_not_of(" \t", colon + 1);
      if (v != std::string::npos) h.value = line.substr(v);
    }
    t->hdrs.push_back(std::move(h));
    t->raw.push_back(std::move(line));
    return len;
  }
  // End of a header block: decide whether this reply is the final one.
  t->inBlock = false;
  DWORD code = t->code;
  if (code >= 100 && code < 200) return len;
  if (t->tunnelPending) {
    if (code >= 200 && code < 300) {
      t->tunnelPending = false;
      return len;
    }
    if (code == 407 && t->proxyCreds) {
      t->candidate = true;
      if (auto* h = FindHeader(t->hdrs, "Proxy-Authenticate")) t->proxyScheme = FirstToken(h->value);
      return len;
    }
    t->tunnelReply = true;
    Publish(t);
    return len;
  }
  if (code >= 300 && code < 400 && code != 304 && t->follow) {
    if (const ResponseHeader* loc = FindHeader(t->hdrs, "Location")) {
      std::string target = ResolveLocation(t->easy, loc->value);
      // Leaving https for plain http fails the request before anything is
      // sent to the http URL, unless the caller allowed it. The opposite way
      // is always allowed.
      if (!t->allowHttpsToHttp && strncasecmp(target.c_str(), "http://", 7) == 0) {
        char* eff = nullptr;
        curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &eff);
        if (eff && strncasecmp(eff, "https://", 8) == 0) {
          t->abortError = ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
          return 0;
        }
      }
      t->candidate = true;
      t->redirectPending = true;
      // The hop's reply is in; WinINet reports it and the new URL before
      // the next request goes out.
      DWORD bytes = static_cast<DWORD>(t->headerBytes);
      Notify(t->req, INTERNET_STATUS_RESPONSE_RECEIVED, &bytes, sizeof bytes, false);
      Notify(t->req, INTERNET_STATUS_REDIRECT, target.c_str(), static_cast<DWORD>(target.size() + 1), false);
      return len;
    }
  }
  if (code == 401 && t->serverCreds) {
    if (auto* h = FindHeader(t->hdrs, "WWW-Authenticate")) t->serverScheme = FirstToken(h->value);
    t->candidate = true;
    return len;
  }
  if (code == 407 && t->proxyCreds) {
    if (auto* h = FindHeader(t->hdrs, "Proxy-Authenticate")) t->proxyScheme = FirstToken(h->value);
    t->candidate = true;
    return len;
  }
  Publish(t);
  return len;
}

size_t WriteCallback(char* data, size_t size, size_t count, void* ud) {
  Transfer* t = static_cast<Transfer*>(ud);
  size_t len = size * count;
  t->lastActivity = Clock::now();
  if (!t->published) Publish(t);  // a reply without headers, or the body of a candidate
  RequestObj& r = *t->req;
  bool completed = false;
  DWORD filled = 0;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    if (r.generation != t->gen || r.closed) return len;
    switch (r.op) {
      case OpKind::kReadFill: {
        size_t k = std::min<size_t>(len, r.opCapacity - r.opFilled);
        std::memcpy(r.opBuffer + r.opFilled, data, k);
        r.opFilled += static_cast<DWORD>(k);
        r.body.append(data + k, len - k);
        if (r.opFilled == r.opCapacity) {
          filled = r.opFilled;
          FinishOpLocked(r, 0);
          completed = true;
        }
        break;
      }
      case OpKind::kReadNoWait:
      case OpKind::kQueryAvailable:
        r.body.append(data, len);
        FinishOpLocked(r, 0);
        completed = true;
        break;
      default:
        if (r.Buffered() >= kHighWater) {
          r.paused = true;
          return CURL_WRITEFUNC_PAUSE;  // the same bytes come again on resume
        }
        r.body.append(data, len);
        break;
    }
  }
  t->bodyReceived += len;
  ReportProgress(t);
  if (completed) {
    // Reads report 41 only when they went pending in an asynchronous session.
    if (filled && t->req->async) Notify(t->req, INTERNET_STATUS_RESPONSE_RECEIVED, &filled, sizeof filled, false);
    NotifyComplete(t->req, 1, 0);
  }
  return len;
}

curl_socket_t OpenSocketCallback(void* ud, curlsocktype, struct curl_sockaddr* addr) {
  Transfer* t = static_cast<Transfer*>(ud);
  char ip[INET6_ADDRSTRLEN + 2] = {};
  if (addr->family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr->addr)->sin_addr, ip, sizeof ip);
  } else if (addr->family == AF_INET6) {
    char v6[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr->addr)->sin6_addr, v6, sizeof v6);
    std::snprintf(ip, sizeof ip, "[%s]", v6);
  }
  t->socketOpened = true;
  t->peerIp = ip;
  // Like WinINet, name resolution is reported the first time a host is
  // looked up in the process (worker thread only: no lock needed).
  static std::set<std::string> resolved;
  const std::string& host = t->connectHost;
  if (resolved.insert(host).second) {
    Notify(t->req, INTERNET_STATUS_RESOLVING_NAME, host.c_str(), static_cast<DWORD>(host.size() + 1), false);
    Notify(t->req, INTERNET_STATUS_NAME_RESOLVED, ip, static_cast<DWORD>(std::strlen(ip) + 1), false);
  }
  Notify(t->req, INTERNET_STATUS_CONNECTING_TO_SERVER, ip, static_cast<DWORD>(std::strlen(ip) + 1), false);
  return socket(addr->family, addr->socktype | SOCK_CLOEXEC, addr->protocol);
}

int PrereqCallback(void* ud, char*, char*, int, int) {
  Transfer* t = static_cast<Transfer*>(ud);
  if (t->socketOpened) {
    t->socketOpened = false;
    Notify(t->req, INTERNET_STATUS_CONNECTED_TO_SERVER, t->peerIp.c_str(), static_cast<DWORD>(t->peerIp.size() + 1),
           false);
  }
  Notify(t->req, INTERNET_STATUS_SENDING_REQUEST, nullptr, 0, false);
  return CURL_PREREQFUNC_OK;
}

// TLS: forgive exactly the certificate errors that the security flags name.
int SecurityIndex() {
  static int idx = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return idx;
}

int VerifyCallback(int ok, X509_STORE_CTX* store) {
  if (ok) return 1;
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (!ssl) return 0;
  uintptr_t flags = reinterpret_cast<uintptr_t>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), SecurityIndex()));
  bool forgive = false;
  switch (X509_STORE_CTX_get_error(store)) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      forgive = flags & SECURITY_FLAG_IGNORE_UNKNOWN_CA;
      break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
      forgive = flags & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
      break;
    case X509_V_ERR_INVALID_PURPOSE:
      forgive = flags & SECURITY_FLAG_IGNORE_WRONG_USAGE;
      break;
    default:
      break;
  }
  if (!forgive) return 0;
  X509_STORE_CTX_set_error(store, X509_V_OK);
  return 1;
}

CURLcode SslCtxCallback(CURL*, void* sslctx, void* ud) {
  SSL_CTX* ctx = static_cast<SSL_CTX*>(sslctx);
  SSL_CTX_set_ex_data(ctx, SecurityIndex(), ud);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyCallback);
  return CURLE_OK;
}

std::string BracketHost(const std::string& host) {
  return host.find(':') != std::string::npos && host[0] != '[' ? "[" + host + "]" : host;
}

std::string NormalisePath(const std::string& in) {
  std::string p = in.empty() ? "/" : in;
  for (auto& c : p)
    if (c == '\\') c = '/';
  if (p[0] != '/') p.insert(p.begin(), '/');
  std::string out;
  for (char c : p) {
    if (c == ' ')
      out += "%20";
    else
      out += c;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Engine (worker thread)

void Engine::DoStart(const RequestPtr& req, uint64_t gen, const std::string& extraHeaders, const std::string& body) {
  auto old = transfers_.find(req.get());
  if (old != transfers_.end()) Remove(old->second.get());

  auto owned = std::make_unique<Transfer>();
  Transfer* t = owned.get();
  t->req = req;
  t->gen = gen;
  t->postData = body;

  std::shared_ptr<ConnectObj> conn = req->conn;
  std::shared_ptr<RootObj> root = conn->root;
  std::string verb, path, version, referrer, accept, reqUser, reqPass, reqProxyUser, reqProxyPass;
  std::vector<std::string> added;
  DWORD flags, secFlags, connectTimeout, totalTimeout;
  bool decoding;
  {
    std::lock_guard<std::mutex> lock(req->mu);
    if (req->generation != gen || req->closed) return;
    req->transferLive = true;  // a close from now on waits for the removal
    verb = req->verb;
    path = req->path;
    version = req->version;
    referrer = req->referrer;
    accept = req->accept;
    flags = req->flags;
    secFlags = req->securityFlags;
    t->errorMask = req->errorMask;
    reqUser = req->user;
    reqPass = req->password;
    reqProxyUser = req->proxyUser;
    reqProxyPass = req->proxyPassword;
    added = req->addedHeaders;
    connectTimeout = req->connectTimeout;
    t->receiveTimeout = req->receiveTimeout;
    totalTimeout = req->totalTimeout;
    decoding = req->decoding;
  }
  if (totalTimeout != 0 && totalTimeout != kInfinite) {
    t->totalDeadline = Clock::now() + std::chrono::milliseconds(totalTimeout);
    nextDeadline_ = std::min(nextDeadline_, t->totalDeadline);
  }
  t->decoding = decoding;
  t->headRequest = strcasecmp(verb.c_str(), "HEAD") == 0;
  std::string host, connUser, connPass, connProxyUser, connProxyPass;
  INTERNET_PORT port;
  DWORD connFlags;
  {
    std::lock_guard<std::mutex> lock(conn->mu);
    host = conn->host;
    port = conn->port;
    connFlags = conn->flags;
    connUser = conn->user;
    connPass = conn->password;
    connProxyUser = conn->proxyUser;
    connProxyPass = conn->proxyPassword;
  }
  t->https = flags & INTERNET_FLAG_SECURE;
  t->allowHttpsToHttp = ((flags & INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP) != 0) ||
                        ((secFlags & SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP) != 0);
  if (port == INTERNET_INVALID_PORT_NUMBER)
    port = (connFlags & INTERNET_FLAG_SECURE) ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  bool defaultPort = (t->https && port == 443) || (!t->https && port == 80);
  t->url = std::string(t->https ? "https://" : "http://") + BracketHost(host) +
           (defaultPort ? std::string() : ":" + std::to_string(port)) + NormalisePath(path);

  ProxyChoice proxy = ChooseProxy(root->proxy, t->https, host);
  t->connectHost = proxy.none ? host : proxy.host;
  std::string serverKey = host + ":" + std::to_string(port);

  CURL* e = spare_.empty() ? curl_easy_init() : spare_.back();
  if (!spare_.empty()) spare_.pop_back();
  t->easy = e;
  curl_easy_setopt(e, CURLOPT_PRIVATE, t);
  curl_easy_setopt(e, CURLOPT_URL, t->url.c_str());
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                   version == "HTTP/1.0" ? (long)CURL_HTTP_VERSION_1_0 : (long)CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(e, CURLOPT_HTTP09_ALLOWED, 1L);
  curl_easy_setopt(e, CURLOPT_SHARE, share_);
  curl_easy_setopt(e, CURLOPT_MAXAGE_CONN, 60L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, HeaderCallback);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, t);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, WriteCallback);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, t);
  curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, OpenSocketCallback);
  curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, t);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, PrereqCallback);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, t);
  long ct = connectTimeout == kInfinite ? 0x7FFFFFFFL : (long)connectTimeout;
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, ct ? ct : 1L);
  if (root->hasAgent) curl_easy_setopt(e, CURLOPT_USERAGENT, root->agent.c_str());
  if (!referrer.empty()) curl_easy_setopt(e, CURLOPT_REFERER, referrer.c_str());
  if (decoding) curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
  if (!(flags & INTERNET_FLAG_NO_COOKIES)) curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");

  // Redirects: GET after 301/302/303, the verb kept for 307/308.
  t->follow = !(flags & INTERNET_FLAG_NO_AUTO_REDIRECT);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, t->follow ? 1L : 0L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 30L);
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");

  // Verb and body.
  if (verb == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    if (!t->postData.empty()) {
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->postData.c_str());
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, (long)t->postData.size());
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "GET");
    }
  } else if (verb == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, (long)t->postData.size());
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->postData.c_str());
    if (verb != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, verb.c_str());
  }

  // Request headers.
  auto add = [t](const std::string& h) { t->headerList = curl_slist_append(t->headerList, h.c_str()); };
  add("Expect:");
  bool haveContentType = false;
  std::vector<std::string> lines = added;
  {
    size_t start = 0;
    while (start < extraHeaders.size()) {
      size_t end = extraHeaders.find('\n', start);
      if (end == std::string::npos) end = extraHeaders.size();
      std::string l = extraHeaders.substr(start, end - start);
      while (!l.empty() && (l.back() == '\r' || l.back() == ' ')) l.pop_back();
      if (!l.empty()) lines.push_back(l);
      start = end + 1;
    }
  }
  for (const auto& l : lines)
    if (strncasecmp(l.c_str(), "Content-Type:", 13) == 0) haveContentType = true;
  add(accept.empty() ? "Accept:" : "Accept: " + accept);
  if (!haveContentType && verb != "GET" && verb != "HEAD") add("Content-Type:");
  if (flags & INTERNET_FLAG_KEEP_CONNECTION) add("Connection: Keep-Alive");
  if ((flags & INTERNET_FLAG_NO_CACHE_WRITE) && verb != "GET") add("Cache-Control: no-cache");
  if (flags & INTERNET_FLAG_PRAGMA_NOCACHE) add("Pragma: no-cache");
  for (const auto& l : lines) add(l);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->headerList);

  // Proxy: always explicit, so that nothing comes from the environment by
  // accident.
  curl_easy_setopt(e, CURLOPT_PROXY, proxy.curlUrl.c_str());
  curl_easy_setopt(e, CURLOPT_NOPROXY, "");
  if (!proxy.none && !proxy.socks && t->https) t->tunnelPending = true;

  // Server credentials: the request's, the connection's, or the cache's.
  bool noAuth = flags & INTERNET_FLAG_NO_AUTH;
  Credentials server;
  if (!reqUser.empty())
    server = {reqUser, reqPass, ""};
  else if (!connUser.empty())
    server = {connUser, connPass, ""};
  else
    CacheGet(false, serverKey, server);
  if (!noAuth && !server.Empty()) {
    t->serverCreds = true;
    t->serverUsed = server;
    t->serverKey = serverKey;
    curl_easy_setopt(e, CURLOPT_USERNAME, server.user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, server.password.c_str());
    // A scheme learnt earlier as Basic is answered at once, as WinINet does;
    // otherwise libcurl waits for the challenge.
    curl_easy_setopt(e, CURLOPT_HTTPAUTH,
                     strcasecmp(server.scheme.c_str(), "Basic") == 0
                         ? (long)CURLAUTH_BASIC
                         : (long)(CURLAUTH_BASIC | CURLAUTH_DIGEST | CURLAUTH_NTLM));
  }
  if (!proxy.none) {
    Credentials pc;
    if (!reqProxyUser.empty())
      pc = {reqProxyUser, reqProxyPass, ""};
    else if (!connProxyUser.empty())
      pc = {connProxyUser, connProxyPass, ""};
    else if (!CacheGet(true, proxy.Key(), pc) && !proxy.user.empty())
      pc = {proxy.user, proxy.password, ""};
    if (!noAuth && !pc.Empty() && !proxy.socks) {
      t->proxyCreds = true;
      t->proxyUsed = pc;
      t->proxyKey = proxy.Key();
      curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, pc.user.c_str());
      curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, pc.password.c_str());
      curl_easy_setopt(e, CURLOPT_PROXYAUTH,
                       strcasecmp(pc.scheme.c_str(), "Basic") == 0
                           ? (long)CURLAUTH_BASIC
                           : (long)(CURLAUTH_BASIC | CURLAUTH_DIGEST | CURLAUTH_NTLM));
    }
  }

  // TLS.
  secFlags |= flags & (INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, (secFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L);
  std::string trusted = TrustedCertificates();
  if (!trusted.empty()) {
    curl_easy_setopt(e, CURLOPT_CAINFO, trusted.c_str());
    curl_easy_setopt(e, CURLOPT_CAPATH, "/etc/ssl/certs");
  }
  DWORD relaxed = secFlags & (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                              SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_CERT_CN_INVALID);
  if (t->https && relaxed) {
    t->relaxed = true;
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, SslCtxCallback);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, reinterpret_cast<void*>(static_cast<uintptr_t>(relaxed)));
    // A connection accepted under relaxed checks is never handed to a
    // strict request, and no TLS session of it is resumed.
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  }

  // Connection cap: per proxy when one is used, else per server.
  {
    std::lock_guard<std::mutex> lock(SettingsMutex());
    t->routeCap = proxy.none ? Settings().maxConnsPerServer : Settings().maxConnsPerProxy;
  }
  t->routeKey = proxy.none ? "S " + std::string(t->https ? "https " : "http ") + serverKey : "P " + proxy.Key();

  transfers_[req.get()] = std::move(owned);
  DWORD& active = routeActive_[t->routeKey];
  if (active < t->routeCap)
    Admit(t);
  else
    waiting_.push_back(t);
}

void Engine::Admit(Transfer* t) {
  t->admitted = true;
  t->lastActivity = Clock::now();
  if (t->receiveTimeout != kInfinite && t->receiveTimeout != 0)
    nextDeadline_ = std::min(nextDeadline_, t->lastActivity + std::chrono::milliseconds(t->receiveTimeout));
  routeActive_[t->routeKey]++;
  curl_multi_add_handle(multi_, t->easy);
}

void Engine::Remove(Transfer* t) {
  if (!t->admitted) {  // only a transfer not yet admitted waits for a slot
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it)
      if (*it == t) {
        waiting_.erase(it);
        break;
      }
  }
  std::string key = t->routeKey;
  bool admitted = t->admitted;
  if (admitted) curl_multi_remove_handle(multi_, t->easy);
  // The handle of a transfer that ended well is kept for the next one, its
  // options back at their defaults, unless it ran under relaxed certificate
  // checks.
  if (t->reusable && !t->relaxed && spare_.size() < kSpareHandles) {
    // The list of cookie files survives curl_easy_reset and would be lost
    // with the next setting; clearing it leaves the shared cookies alone.
    curl_easy_setopt(t->easy, CURLOPT_COOKIEFILE, static_cast<char*>(nullptr));
    curl_easy_reset(t->easy);
    spare_.push_back(t->easy);
  } else {
    curl_easy_cleanup(t->easy);
  }
  curl_slist_free_all(t->headerList);
  {
    // Only now, with the easy handle gone, may a close skip waiting.
    std::lock_guard<std::mutex> lock(t->req->mu);
    t->req->transferLive = false;
  }
  transfers_.erase(t->req.get());  // frees t
  if (admitted) {
    DWORD& active = routeActive_[key];
    if (active) active--;
    for (auto it = waiting_.begin(); it != waiting_.end() && active < (*it)->routeCap; ) {
      if ((*it)->routeKey == key) {
        Transfer* next = *it;
        it = waiting_.erase(it);
        Admit(next);
      } else {
        ++it;
      }
    }
  }
}

void Engine::DoCancel(RequestObj* req) {
  auto it = transfers_.find(req);
  if (it != transfers_.end()) Remove(it->second.get());
}

void Engine::DoResume(RequestObj* req) {
  auto it = transfers_.find(req);
  {
    std::lock_guard<std::mutex> lock(req->mu);
    req->resumePosted = false;
    if (it == transfers_.end() || !req->paused) return;
    req->paused = false;
  }
  Transfer* t = it->second.get();
  t->lastActivity = Clock::now();
  curl_easy_pause(t->easy, CURLPAUSE_CONT);  // may run the write callback
}

// Ends a transfer: libcurl's result, or the layer's own time-out.
void Engine::Finish(Transfer* t, CURLcode rc, DWORD ownError) {
  RequestObj& r = *t->req;
  DWORD err = ownError;
  if (!err && rc != CURLE_OK) err = MapCurlError(rc, t->easy, t->errorMask, false);
  // libcurl refuses a single header line beyond its own line limit with
  // CURLE_OUT_OF_MEMORY: while the reply's headers are being read that is a
  // server sending a header without end, not a lack of memory.
  if (!ownError && rc == CURLE_OUT_OF_MEMORY && !t->published) err = ERROR_HTTP_INVALID_SERVER_RESPONSE;
  if (rc == CURLE_OK && !ownError) {
    long os = 0;
    curl_easy_getinfo(t->easy, CURLINFO_OS_ERRNO, &os);
    t->reusable = os == 0;
  }
  // A candidate reply that libcurl did not follow up (a redirect it would not
  // take, an authentication it gave up, a refused tunnel) is the final reply;
  // not when the layer itself ended the transfer (a time-out while the next
  // hop was awaited is a failure).
  if (!t->published && !ownError && (t->candidate || (rc != CURLE_OK && t->tunnelReply))) {
    Publish(t);
    err = 0;
  } else if (!t->published && rc == CURLE_OK && !ownError) {
    Publish(t);
  }
  if (t->tunnelReply && !ownError) err = 0;
  // An empty body is reported once, before the reader can see its end.
  if (t->published && !err && !t->progressReported) ReportProgress(t);
  bool sendFailed = false, readCompleted = false;
  DWORD filled = 0;
  DWORD readError = 0;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    if (r.generation == t->gen && !r.closed) {
      if (!t->published) {
        r.phase = RequestObj::Phase::kFailed;
        r.sendError = err;
        if (r.op == OpKind::kSend) FinishOpLocked(r, err);
        sendFailed = true;
      } else {
        if (err)
          r.bodyError = err;
        else
          r.eof = true;
        if (r.op == OpKind::kReadFill || r.op == OpKind::kReadNoWait || r.op == OpKind::kQueryAvailable) {
          filled = r.opFilled;
          // Bytes already placed are delivered; the error waits for the next read.
          readError = (r.op == OpKind::kReadFill && filled) ? 0 : err;
          FinishOpLocked(r, readError);
          readCompleted = true;
        }
      }
    }
  }
  if (sendFailed) NotifyComplete(t->req, 0, err);
  if (readCompleted) {
    if (readError) {
      NotifyComplete(t->req, 0, readError);
    } else {
      // Reads report 41 only when they went pending in an asynchronous session.
    if (filled && t->req->async) Notify(t->req, INTERNET_STATUS_RESPONSE_RECEIVED, &filled, sizeof filled, false);
      NotifyComplete(t->req, 1, 0);
    }
  }
  Remove(t);
}

// Activity only ever moves a transfer's deadline later, so no receive
// time-out can fall due before the earliest deadline seen in the last walk
// (or that of a transfer admitted since): until then there is nothing to
// look at, however many transfers there are.
void Engine::CheckTimers() {
  auto now = Clock::now();
  if (now < nextDeadline_) return;
  nextDeadline_ = Clock::time_point::max();
  std::vector<Transfer*> expired;
  for (auto& kv : transfers_) {
    Transfer* t = kv.second.get();
    // The overall limit counts from the send, admitted or still waiting.
    if (t->totalDeadline != Clock::time_point::max()) {
      if (now >= t->totalDeadline) {
        expired.push_back(t);
        continue;
      }
      nextDeadline_ = std::min(nextDeadline_, t->totalDeadline);
    }
    if (!t->admitted || t->receiveTimeout == kInfinite || t->receiveTimeout == 0) continue;
    bool paused;
    {
      std::lock_guard<std::mutex> lock(t->req->mu);
      paused = t->req->paused;
    }
    if (paused) t->lastActivity = now;  // nobody reads: not the server's fault
    auto deadline = t->lastActivity + std::chrono::milliseconds(t->receiveTimeout);
    if (now >= deadline)
      expired.push_back(t);
    else if (deadline < nextDeadline_)
      nextDeadline_ = deadline;
  }
  for (Transfer* t : expired) Finish(t, CURLE_OK, ERROR_INTERNET_TIMEOUT);
}

void Engine::Run() {
  // OpenSSL writes with write(2): a peer that went away must give EPIPE on
  // this thread, not a process-killing SIGPIPE.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  while (!stop_) {
    std::vector<std::function<void()>> cmds;
    {
      std::lock_guard<std::mutex> lock(cmdMu_);
      cmds.swap(commands_);
    }
    for (auto& c : cmds) c();
    if (stop_) break;
    int running = 0;
    curl_multi_perform(multi_, &running);
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi_, &left)) {
      if (m->msg != CURLMSG_DONE) continue;
      Transfer* t = nullptr;
      curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &t);
      CURLcode rc = m->data.result;
      if (t) Finish(t, rc, t->abortError);
    }
    CheckTimers();
    long timeout = 200;
    curl_multi_timeout(multi_, &timeout);
    if (timeout < 0 || timeout > 200) timeout = 200;
    dispatcher_.Flush();  // the notes of this round, in one wake
    curl_multi_poll(multi_, nullptr, 0, static_cast<int>(timeout), nullptr);
  }
  while (!transfers_.empty()) Remove(transfers_.begin()->second.get());
  for (CURL* e : spare_) curl_easy_cleanup(e);
  spare_.clear();
  curl_multi_cleanup(multi_);  // Post() no longer touches it: stopped_ is set
  curl_share_cleanup(share_);
  OPENSSL_thread_stop();  // this thread's OpenSSL state
}

Engine& TheEngine() {
  EngineEnsureStarted();
  return *g_engine;
}

}  // namespace

// ---------------------------------------------------------------------------

void EngineEnsureStarted() {
  std::call_once(g_engineOnce, [] {
    g_engine = new Engine;
    g_engine->Start();
    std::atexit(StopAtExit);
  });
}

void EngineStartSend(const RequestPtr& req, uint64_t generation, std::string headers, std::string body) {
  TheEngine().Post([req, generation, headers = std::move(headers), body = std::move(body)] {
    g_engine->DoStart(req, generation, headers, body);
  });
}

void EngineCancel(const RequestPtr& req) {
  // Waits until the worker has removed the transfer, so that its socket is
  // closed (or back in the connection cache) when InternetCloseHandle returns.
  struct Done {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
  };
  {
    // The request is already marked closed, so no send can start a transfer
    // for it any more; without a live one there is nothing to wait for.
    std::lock_guard<std::mutex> lock(req->mu);
    if (!req->transferLive) return;
  }
  auto done = std::make_shared<Done>();
  Engine& engine = TheEngine();
  bool posted = engine.Post([req, done] {
    g_engine->DoCancel(req.get());
    std::lock_guard<std::mutex> lock(done->mu);
    done->done = true;
    done->cv.notify_all();
  });
  if (!posted || engine.OnWorker()) return;
  std::unique_lock<std::mutex> lock(done->mu);
  done->cv.wait(lock, [&] { return done->done; });
}

void EngineResume(const RequestPtr& req) {
  TheEngine().Post([req] { g_engine->DoResume(req.get()); });
}

void Notify(const HandlePtr& h, DWORD status, const void* info, DWORD length, bool direct) {
  NoteItem n;
  {
    std::lock_guard<std::mutex> lock(h->mu);
    if (!h->callback || h->context == 0) return;
    if (h->closed && status != INTERNET_STATUS_HANDLE_CLOSING) return;
    n.callback = h->callback;
    n.context = h->context;
  }
  n.handle = h;
  n.status = status;
  n.SetInfo(info, length);
  if (direct) {
    CallNote(n);
    return;
  }
  if (h->async) {
    {
      std::lock_guard<std::mutex> lock(h->mu);
      ++h->queued;
    }
    Engine& engine = TheEngine();
    engine.dispatcher().Push(std::move(n), engine.OnWorker());
    return;
  }
  // Synchronous session: the caller blocked on this request runs it.
  if (h->kind == Kind::kRequest) {
    auto* r = static_cast<RequestObj*>(h.get());
    auto shared = std::make_shared<NoteItem>(std::move(n));
    std::lock_guard<std::mutex> lock(r->mu);
    r->syncNotes.push_back([shared] { CallNote(*shared); });
    r->cv.notify_all();
  }
}

void NotifyComplete(const HandlePtr& h, DWORD_PTR result, DWORD error) {
  if (!h->async) return;  // synchronous sessions never see REQUEST_COMPLETE
  INTERNET_ASYNC_RESULT r{result, error};
  Notify(h, INTERNET_STATUS_REQUEST_COMPLETE, &r, sizeof r, false);
}

std::string FindChallengeParam(const std::vector<ResponseHeader>& headers, const char* name, std::string* scheme) {
  const ResponseHeader* h = FindHeader(headers, name);
  if (!h) return std::string();
  if (scheme) *scheme = FirstToken(h->value);
  const std::string& v = h->value;
  size_t p = 0;
  while ((p = v.find("realm", p)) != std::string::npos) {
    size_t eq = v.find_first_not_of(" \t", p + 5);
    if (eq == std::string::npos || v[eq] != '=') {
      p += 5;
      continue;
    }
    size_t s = v.find_first_not_of(" \t", eq + 1);
    if (s == std::string::npos) return std::string();
    if (v[s] == '"') {
      size_t e = v.find('"', s + 1);
      return v.substr(s + 1, e == std::string::npos ? std::string::npos : e - s - 1);
    }
    size_t e = v.find_first_of(", \t", s);
    return v.substr(s, e == std::string::npos ? std::string::npos : e - s);
  }
  return std::string();
}

DWORD MapCurlError(int code, void* easy, DWORD errorMask, bool aborted) {
  CURL* e = static_cast<CURL*>(easy);
  switch (static_cast<CURLcode>(code)) {
    case CURLE_OK:
      return 0;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_PARTIAL_FILE:
    case CURLE_UPLOAD_FAILED:
    case CURLE_READ_ERROR:
    case CURLE_SEND_FAIL_REWIND:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: {
      long os = 0;
      if (e) curl_easy_getinfo(e, CURLINFO_OS_ERRNO, &os);
      return (os == ECONNRESET || os == EPIPE) ? ERROR_INTERNET_CONNECTION_RESET : ERROR_INTERNET_CONNECTION_ABORTED;
    }
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_PEER_FAILED_VERIFICATION: {
      if (errorMask & INTERNET_ERROR_MASK_COMBINED_SEC_CERT) return ERROR_INTERNET_SEC_CERT_ERRORS;
      long vr = 0;
      if (e) curl_easy_getinfo(e, CURLINFO_SSL_VERIFYRESULT, &vr);
      switch (vr) {
        case 0:   // libcurl's own host name check ...
        case 1:   // ... as it reports it with OpenSSL 3
        case 62:  // X509_V_ERR_HOSTNAME_MISMATCH
          return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        case 9:
        case 10:
          return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        case 2:
        case 18:
        case 19:
        case 20:
        case 21:
        case 27:
          return ERROR_INTERNET_INVALID_CA;
        case 23:
          return ERROR_INTERNET_SEC_CERT_REVOKED;
        default:
          return ERROR_INTERNET_SEC_INVALID_CERT;
      }
    }
    case CURLE_SSL_ISSUER_ERROR:
      return ERROR_INTERNET_INVALID_CA;
    case CURLE_SSL_INVALIDCERTSTATUS:
      return ERROR_INTERNET_SEC_CERT_REV_FAILED;
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return ERROR_INTERNET_SEC_INVALID_CERT;
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CLIENTCERT:
      return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
    case CURLE_BAD_CONTENT_ENCODING:
      return ERROR_INTERNET_DECODING_FAILED;
    case CURLE_TOO_MANY_REDIRECTS:
      return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_AUTH_ERROR:
      return ERROR_INTERNET_LOGIN_FAILURE;
    case CURLE_PROXY: {
      long pe = 0;
      if (e) curl_easy_getinfo(e, CURLINFO_PROXY_ERROR, &pe);
      switch (pe) {
        case CURLPX_RESOLVE_HOST:
          return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLPX_REQUEST_FAILED:
          return ERROR_INTERNET_CANNOT_CONNECT;
        default:
          return ERROR_INTERNET_CONNECTION_ABORTED;
      }
    }
    case CURLE_ABORTED_BY_CALLBACK:
      return aborted ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_INTERNET_INTERNAL_ERROR;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

}  // namespace qmxinet

extern "C" QMX_PROGRESS_OBSERVER WINAPI QmxInternetSetProgressObserver(QMX_PROGRESS_OBSERVER lpfnObserver,
                                                                      LPVOID lpUserData) {
  std::lock_guard<std::mutex> lock(qmxinet::g_progressMu);
  QMX_PROGRESS_OBSERVER old = qmxinet::g_progress;
  qmxinet::g_progress = lpfnObserver;
  qmxinet::g_progressData = lpUserData;
  return old;
}
