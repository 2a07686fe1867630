// Internal object model of the WinINet layer: handle objects, the handle
// table, and the interfaces between the API entry points, the transfer
// engine (worker thread owning libcurl) and the notification dispatcher.
//
// Threads: API calls run on the caller's thread; every libcurl object lives
// on the engine's worker thread; status callbacks of asynchronous sessions
// run on the dispatcher thread, never with a layer lock held.
#ifndef QMX_WININET_INTERNAL_H
#define QMX_WININET_INTERNAL_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "qmxwininet_ext.h"
#include "wininet.h"

namespace qmxinet {

constexpr DWORD kErrorBadArguments = 160;  // ERROR_BAD_ARGUMENTS
constexpr DWORD kInfinite = 0xFFFFFFFF;
// All header-block bytes of one reply (status lines and headers of every
// redirect or authentication hop, 1xx blocks, trailers of a chunked body)
// together: beyond this the server is not answering HTTP any more and the
// request fails with ERROR_HTTP_INVALID_SERVER_RESPONSE, before the
// collected lines can grow without end.
constexpr size_t kMaxReplyHeaderBytes = 256 * 1024;
// Security-flag bits a caller may set: the certificate errors to forgive
// and the two scheme changes on redirect to allow.
constexpr DWORD kSettableSecurityFlags =
    SECURITY_SET_MASK | SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP | SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS;

// Defaults every new root starts from (changed with a null handle).
struct GlobalSettings {
  DWORD connectTimeout = 60000;
  DWORD sendTimeout = 30000;
  // An inactivity limit, not a total time: one hour, well above the
  // module's own 120-second sweep of asynchronous requests.
  DWORD receiveTimeout = 3600000;
  DWORD totalTimeout = 0;  // QMX_INTERNET_OPTION_TOTAL_TIMEOUT: none
  DWORD maxConnsPerServer = 6;
  DWORD maxConnsPerProxy = 4;
};
GlobalSettings& Settings();
std::mutex& SettingsMutex();

// ---------------------------------------------------------------------------
// Proxies

struct ProxyEntry {
  std::string key;  // "" for a bare entry, else lower-case scheme before '='
  std::string host;
  uint16_t port = 0;
};

struct ProxyConfig {
  enum Mode { kDirect, kList, kEnvironment } mode = kDirect;
  std::vector<ProxyEntry> entries;  // kList
  std::vector<std::string> bypass;  // kList: WinINet bypass entries
  // kEnvironment: proxy URLs as found, and the no_proxy list.
  std::string envHttp, envHttps, envAll, envNoProxy;
};

// Route chosen for one request.
struct ProxyChoice {
  bool none = true;
  bool socks = false;
  std::string host;
  uint16_t port = 0;
  std::string curlUrl;  // "" for direct
  std::string user, password;  // embedded in an environment proxy URL
  std::string Key() const { return none ? std::string() : host + ":" + std::to_string(port); }
};

bool ParseProxyList(const char* list, std::vector<ProxyEntry>& out);
void ParseBypassList(const char* list, std::vector<std::string>& out);
void ReadProxyEnvironment(ProxyConfig& cfg);
ProxyChoice ChooseProxy(const ProxyConfig& cfg, bool https, const std::string& host);
bool BypassMatches(const std::vector<std::string>& bypass, const std::string& host);
bool NoProxyMatches(const std::string& noProxy, const std::string& host);

// ---------------------------------------------------------------------------
// Credentials remembered for the process, per server or proxy (host:port).

struct Credentials {
  std::string user, password;
  std::string scheme;  // challenge scheme last seen ("Basic", ...), may be empty
  bool Empty() const { return user.empty(); }
};
void CachePut(bool proxy, const std::string& key, const Credentials& c);
bool CacheGet(bool proxy, const std::string& key, Credentials& c);
void CacheRemove(bool proxy, const std::string& key, const Credentials& c);
void CacheClear();
bool RunCredentialPrompt(const QMX_CREDENTIAL_REQUEST& req, std::string& user, std::string& password);
std::string TrustedCertificates();

// ---------------------------------------------------------------------------
// Handles

enum class Kind { kRoot = INTERNET_HANDLE_TYPE_INTERNET, kConnect = INTERNET_HANDLE_TYPE_CONNECT_HTTP,
                  kRequest = INTERNET_HANDLE_TYPE_HTTP_REQUEST };

struct HandleObj : std::enable_shared_from_this<HandleObj> {
  explicit HandleObj(Kind k) : kind(k) {}
  virtual ~HandleObj() = default;
  HINTERNET Value() const { return reinterpret_cast<HINTERNET>(id); }

  const Kind kind;
  uintptr_t id = 0;
  bool async = false;  // from the root; fixed at creation
  std::shared_ptr<HandleObj> parent;

  std::mutex mu;  // guards everything below, and the derived state
  INTERNET_STATUS_CALLBACK callback = nullptr;
  DWORD_PTR context = 0;
  bool closed = false;
  int queued = 0;  // notifications waiting in the dispatcher
  std::vector<std::weak_ptr<HandleObj>> children;
  DWORD connectTimeout = 0, sendTimeout = 0, receiveTimeout = 0;
  DWORD totalTimeout = 0;  // whole exchange, from the send to the body's end; 0 = none
  bool decoding = false;
};

struct RootObj : HandleObj {
  RootObj() : HandleObj(Kind::kRoot) {}
  std::string agent;
  bool hasAgent = false;
  ProxyConfig proxy;
};

struct ConnectObj : HandleObj {
  ConnectObj() : HandleObj(Kind::kConnect) {}
  std::shared_ptr<RootObj> root;
  std::string host;
  INTERNET_PORT port = 0;  // as given; 0 = scheme default
  DWORD flags = 0;
  std::string user, password, proxyUser, proxyPassword;
};

struct ResponseHeader {
  std::string name, value;
};

// What a pending operation on a request waits for.
enum class OpKind { kNone, kSend, kReadFill, kReadNoWait, kQueryAvailable };

struct RequestObj : HandleObj {
  RequestObj() : HandleObj(Kind::kRequest) {}
  std::shared_ptr<ConnectObj> conn;
  // Fixed at HttpOpenRequestA.
  std::string verb, path, version, referrer, accept;
  DWORD flags = 0;
  // Options.
  DWORD securityFlags = 0;
  DWORD errorMask = 0;
  std::string user, password, proxyUser, proxyPassword;
  std::vector<std::string> addedHeaders;  // HttpAddRequestHeadersA

  // State of the current send. `generation` names it; engine callbacks of
  // an older send find a different number and leave the state alone.
  uint64_t generation = 0;
  enum class Phase { kIdle, kSending, kHeaders, kFailed } phase = Phase::kIdle;
  DWORD sendError = 0;
  std::string url;  // the URL of the final reply
  bool tlsDone = false;

  // Final reply.
  DWORD status = 0;
  std::string versionText, statusText;
  std::vector<std::string> rawLines;  // status line first, without CRLF
  std::vector<ResponseHeader> headers;

  // Body bytes received and not yet read.
  std::string body;
  size_t bodyOffset = 0;
  bool eof = false;
  DWORD bodyError = 0;
  bool paused = false;  // worker returned CURL_WRITEFUNC_PAUSE
  bool resumePosted = false;
  // The worker holds a transfer for this request (set when it takes a send
  // on, cleared once the transfer is out of libcurl): a close without one
  // has nothing to cancel and need not wait for the worker.
  bool transferLive = false;

  // The pending operation (one at a time per request).
  OpKind op = OpKind::kNone;
  char* opBuffer = nullptr;
  DWORD opCapacity = 0;
  DWORD opFilled = 0;
  LPDWORD opCountOut = nullptr;
  LPINTERNET_BUFFERSA opBuffers = nullptr;
  LPDWORD opAvailableOut = nullptr;
  bool opDone = false;  // synchronous waiters: the operation finished
  DWORD opError = 0;

  // Notifications of a synchronous request, run by the waiting caller.
  std::deque<std::function<void()>> syncNotes;
  std::condition_variable cv;

  size_t Buffered() const { return body.size() - bodyOffset; }
};

using HandlePtr = std::shared_ptr<HandleObj>;
using RequestPtr = std::shared_ptr<RequestObj>;

// Handle table: values are never reused.
HINTERNET RegisterHandle(const HandlePtr& h);
HandlePtr LookupHandle(HINTERNET h);
// Removes h and its subtree from the table; returns them children first.
std::vector<HandlePtr> UnregisterTree(HINTERNET h);

// ---------------------------------------------------------------------------
// Notifications

// Delivers a status notification for h. Asynchronous sessions go through
// the dispatcher thread; synchronous ones run on the caller's thread
// (direct) or are handed to the thread waiting on the request.
void Notify(const HandlePtr& h, DWORD status, const void* info, DWORD length, bool direct);
void NotifyComplete(const HandlePtr& h, DWORD_PTR result, DWORD error);

// ---------------------------------------------------------------------------
// Engine

void EngineStartSend(const RequestPtr& req, uint64_t generation, std::string headers, std::string body);
// Call with the request marked closed; waits only when the worker holds a
// transfer for it.
void EngineCancel(const RequestPtr& req);
void EngineResume(const RequestPtr& req);
void EngineEnsureStarted();

// Worker-side helpers used by the engine.
DWORD MapCurlError(int code, void* easy, DWORD errorMask, bool aborted);
std::string FindChallengeParam(const std::vector<ResponseHeader>& headers, const char* name, std::string* scheme);

}  // namespace qmxinet

#endif
