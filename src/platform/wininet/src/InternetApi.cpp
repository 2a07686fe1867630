// Entry points of the WinINet layer: handles, options, sending, header
// queries, reading, closing, and the logon prompt. Every FALSE or NULL
// result sets the thread's last error; successes set ERROR_SUCCESS.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>

#include "Internal.h"

static_assert(sizeof(INTERNET_BUFFERSA) == 56, "INTERNET_BUFFERSA layout");
static_assert(sizeof(URL_COMPONENTSA) == 104, "URL_COMPONENTSA layout");
static_assert(sizeof(INTERNET_ASYNC_RESULT) == 16, "INTERNET_ASYNC_RESULT layout");

namespace qmxinet {

GlobalSettings& Settings() {
  static GlobalSettings s;
  return s;
}

std::mutex& SettingsMutex() {
  static std::mutex m;
  return m;
}

namespace {

struct Table {
  std::mutex mu;
  std::map<uintptr_t, HandlePtr> handles;
  uintptr_t next = 1;
};

Table& TheTable() {
  static Table* t = new Table;  // handles may be closed during static destruction
  return *t;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HINTERNET FailNull(DWORD error) {
  SetLastError(error);
  return nullptr;
}

BOOL Ok() {
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

template <class T>
std::shared_ptr<T> As(const HandlePtr& h, Kind k) {
  if (!h || h->kind != k) return nullptr;
  return std::static_pointer_cast<T>(h);
}

// Looks a handle up, with the last error set when it is unusable.
HandlePtr Find(HINTERNET h) {
  HandlePtr p = LookupHandle(h);
  if (!p) SetLastError(ERROR_INVALID_HANDLE);
  return p;
}

RequestPtr FindRequest(HINTERNET h) {
  HandlePtr p = Find(h);
  if (!p) return nullptr;
  if (p->kind != Kind::kRequest) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return std::static_pointer_cast<RequestObj>(p);
}

void AddChild(const HandlePtr& parent, const HandlePtr& child) {
  std::lock_guard<std::mutex> lock(parent->mu);
  // Children closed meanwhile leave expired entries; a weak pointer keeps its
  // object's storage, so drop them before the list of a long-lived root or
  // connection grows with every request it ever had.
  auto& kids = parent->children;
  kids.erase(std::remove_if(kids.begin(), kids.end(), [](const std::weak_ptr<HandleObj>& w) { return w.expired(); }),
             kids.end());
  kids.push_back(child);
}

// Drains the notifications a synchronous request owes its caller; called
// with the lock held, runs them without it.
void RunSyncNotes(RequestObj& r, std::unique_lock<std::mutex>& lock) {
  while (!r.syncNotes.empty()) {
    auto fn = std::move(r.syncNotes.front());
    r.syncNotes.pop_front();
    lock.unlock();
    fn();
    lock.lock();
  }
}

void MaybeResume(const RequestPtr& r, std::unique_lock<std::mutex>& lock) {
  if (r->paused && !r->resumePosted && r->Buffered() < 128 * 1024) {
    r->resumePosted = true;
    lock.unlock();
    EngineResume(r);
    lock.lock();
  }
}

void Compact(RequestObj& r) {
  if (r.bodyOffset == r.body.size()) {
    r.body.clear();
    r.bodyOffset = 0;
  } else if (r.bodyOffset > 64 * 1024 && r.bodyOffset * 2 > r.body.size()) {
    r.body.erase(0, r.bodyOffset);
    r.bodyOffset = 0;
  }
}

DWORD TakeBytes(RequestObj& r, char* dst, DWORD want) {
  DWORD n = static_cast<DWORD>(std::min<size_t>(want, r.Buffered()));
  if (n) std::memcpy(dst, r.body.data() + r.bodyOffset, n);
  r.bodyOffset += n;
  Compact(r);
  return n;
}

enum class ReadMode { kFill, kNoWait };

// The common read: TRUE with *count bytes, FALSE with an error, or FALSE
// with ERROR_IO_PENDING after registering the operation (asynchronous), or
// blocks until it completes (synchronous).
BOOL Read(const RequestPtr& r, char* buf, DWORD want, ReadMode mode, LPDWORD countOut, LPINTERNET_BUFFERSA irb) {
  std::unique_lock<std::mutex> lock(r->mu);
  if (r->phase != RequestObj::Phase::kHeaders || r->op != OpKind::kNone)
    return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  auto finishNow = [&](DWORD n) {
    if (countOut) *countOut = n;
    if (irb) irb->dwBufferLength = n;
    MaybeResume(r, lock);
    return Ok();
  };
  if (want == 0) return finishNow(0);
  DWORD got = 0;
  if (r->Buffered() > 0) {
    got = TakeBytes(*r, buf, want);
    if (mode == ReadMode::kNoWait || got == want) return finishNow(got);
  }
  if (r->eof) return finishNow(got);
  if (r->bodyError) {
    if (got) return finishNow(got);  // the error comes with the next read
    return Fail(r->bodyError);
  }
  // Has to wait for the network.
  r->op = mode == ReadMode::kNoWait ? OpKind::kReadNoWait : OpKind::kReadFill;
  r->opBuffer = buf;
  r->opCapacity = want;
  r->opFilled = got;
  r->opCountOut = countOut;
  r->opBuffers = irb;
  r->opDone = false;
  r->opError = 0;
  MaybeResume(r, lock);
  if (r->async) {
    if (countOut) *countOut = 0;
    lock.unlock();
    Notify(r, INTERNET_STATUS_RECEIVING_RESPONSE, nullptr, 0, true);
    return Fail(ERROR_IO_PENDING);
  }
  for (;;) {
    RunSyncNotes(*r, lock);
    if (r->opDone || r->closed) break;
    r->cv.wait(lock);
  }
  if (r->closed) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
  if (mode == ReadMode::kNoWait) {
    // Synchronous no-wait: data has arrived; hand it over now.
    if (r->opError) return Fail(r->opError);
    DWORD n = TakeBytes(*r, buf, want);
    return finishNow(n);
  }
  if (r->opError) return Fail(r->opError);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// Names of the header levels answered from the reply's header list.
const char* LevelName(DWORD level) {
  switch (level) {
    case HTTP_QUERY_MIME_VERSION: return "MIME-Version";
    case HTTP_QUERY_CONTENT_TYPE: return "Content-Type";
    case HTTP_QUERY_CONTENT_TRANSFER_ENCODING: return "Content-Transfer-Encoding";
    case HTTP_QUERY_CONTENT_ID: return "Content-ID";
    case HTTP_QUERY_CONTENT_DESCRIPTION: return "Content-Description";
    case HTTP_QUERY_CONTENT_LENGTH: return "Content-Length";
    case HTTP_QUERY_CONTENT_LANGUAGE: return "Content-Language";
    case HTTP_QUERY_ALLOW: return "Allow";
    case HTTP_QUERY_PUBLIC: return "Public";
    case HTTP_QUERY_DATE: return "Date";
    case HTTP_QUERY_EXPIRES: return "Expires";
    case HTTP_QUERY_LAST_MODIFIED: return "Last-Modified";
    case HTTP_QUERY_MESSAGE_ID: return "Message-Id";
    case HTTP_QUERY_URI: return "URI";
    case HTTP_QUERY_DERIVED_FROM: return "Derived-From";
    case HTTP_QUERY_COST: return "Cost";
    case HTTP_QUERY_LINK: return "Link";
    case HTTP_QUERY_PRAGMA: return "Pragma";
    case HTTP_QUERY_CONNECTION: return "Connection";
    case HTTP_QUERY_ACCEPT: return "Accept";
    case HTTP_QUERY_ACCEPT_CHARSET: return "Accept-Charset";
    case HTTP_QUERY_ACCEPT_ENCODING: return "Accept-Encoding";
    case HTTP_QUERY_ACCEPT_LANGUAGE: return "Accept-Language";
    case HTTP_QUERY_AUTHORIZATION: return "Authorization";
    case HTTP_QUERY_CONTENT_ENCODING: return "Content-Encoding";
    case HTTP_QUERY_FORWARDED: return "Forwarded";
    case HTTP_QUERY_FROM: return "From";
    case HTTP_QUERY_IF_MODIFIED_SINCE: return "If-Modified-Since";
    case HTTP_QUERY_LOCATION: return "Location";
    case HTTP_QUERY_ORIG_URI: return "Orig-Uri";
    case HTTP_QUERY_REFERER: return "Referer";
    case HTTP_QUERY_RETRY_AFTER: return "Retry-After";
    case HTTP_QUERY_SERVER: return "Server";
    case HTTP_QUERY_TITLE: return "Title";
    case HTTP_QUERY_USER_AGENT: return "User-Agent";
    case HTTP_QUERY_WWW_AUTHENTICATE: return "WWW-Authenticate";
    case HTTP_QUERY_PROXY_AUTHENTICATE: return "Proxy-Authenticate";
    case HTTP_QUERY_ACCEPT_RANGES: return "Accept-Ranges";
    case HTTP_QUERY_SET_COOKIE: return "Set-Cookie";
    case HTTP_QUERY_COOKIE: return "Cookie";
    case HTTP_QUERY_REFRESH: return "Refresh";
    case HTTP_QUERY_CONTENT_DISPOSITION: return "Content-Disposition";
    case HTTP_QUERY_AGE: return "Age";
    case HTTP_QUERY_CACHE_CONTROL: return "Cache-Control";
    case HTTP_QUERY_CONTENT_BASE: return "Content-Base";
    case HTTP_QUERY_CONTENT_LOCATION: return "Content-Location";
    case HTTP_QUERY_CONTENT_MD5: return "Content-MD5";
    case HTTP_QUERY_CONTENT_RANGE: return "Content-Range";
    case HTTP_QUERY_ETAG: return "ETag";
    case HTTP_QUERY_HOST: return "Host";
    case HTTP_QUERY_IF_MATCH: return "If-Match";
    case HTTP_QUERY_IF_NONE_MATCH: return "If-None-Match";
    case HTTP_QUERY_IF_RANGE: return "If-Range";
    case HTTP_QUERY_IF_UNMODIFIED_SINCE: return "If-Unmodified-Since";
    case HTTP_QUERY_MAX_FORWARDS: return "Max-Forwards";
    case HTTP_QUERY_PROXY_AUTHORIZATION: return "Proxy-Authorization";
    case HTTP_QUERY_RANGE: return "Range";
    case HTTP_QUERY_TRANSFER_ENCODING: return "Transfer-Encoding";
    case HTTP_QUERY_UPGRADE: return "Upgrade";
    case HTTP_QUERY_VARY: return "Vary";
    case HTTP_QUERY_VIA: return "Via";
    case HTTP_QUERY_WARNING: return "Warning";
    case HTTP_QUERY_EXPECT: return "Expect";
    case HTTP_QUERY_PROXY_CONNECTION: return "Proxy-Connection";
    case HTTP_QUERY_UNLESS_MODIFIED_SINCE: return "Unless-Modified-Since";
    case HTTP_QUERY_PROXY_SUPPORT: return "Proxy-Support";
    case HTTP_QUERY_AUTHENTICATION_INFO: return "Authentication-Info";
    default: return nullptr;
  }
}

// Copies a text answer: length without the NUL on success; 122 with the
// size needed (NUL included) when it does not fit.
BOOL CopyText(const std::string& s, LPVOID buf, LPDWORD len) {
  if (!buf || *len < s.size() + 1) {
    *len = static_cast<DWORD>(s.size() + 1);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buf, s.c_str(), s.size() + 1);
  *len = static_cast<DWORD>(s.size());
  return Ok();
}

BOOL CopyDword(DWORD v, LPVOID buf, LPDWORD len) {
  if (!buf || *len < sizeof(DWORD)) {
    *len = sizeof(DWORD);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buf, &v, sizeof v);
  *len = sizeof(DWORD);
  return Ok();
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// The proxy a request would use, for the credential cache and the prompt.
ProxyChoice RouteProxy(const RequestPtr& r) {
  std::string host;
  {
    std::lock_guard<std::mutex> lock(r->conn->mu);
    host = r->conn->host;
  }
  return ChooseProxy(r->conn->root->proxy, r->flags & INTERNET_FLAG_SECURE, host);
}

bool SetTimeout(const HandlePtr& h, DWORD option, DWORD value) {
  std::lock_guard<std::mutex> lock(h->mu);
  if (option == INTERNET_OPTION_CONNECT_TIMEOUT)
    h->connectTimeout = value;
  else if (option == INTERNET_OPTION_SEND_TIMEOUT)
    h->sendTimeout = value;
  else
    h->receiveTimeout = value;
  return true;
}

std::string StringOption(LPVOID buf) { return std::string(static_cast<const char*>(buf)); }

}  // namespace

HINTERNET RegisterHandle(const HandlePtr& h) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mu);
  h->id = t.next++;
  t.handles[h->id] = h;
  return h->Value();
}

HandlePtr LookupHandle(HINTERNET h) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mu);
  auto it = t.handles.find(reinterpret_cast<uintptr_t>(h));
  return it == t.handles.end() ? nullptr : it->second;
}

std::vector<HandlePtr> UnregisterTree(HINTERNET h) {
  std::vector<HandlePtr> out;
  HandlePtr top = LookupHandle(h);
  if (!top) return out;
  // Depth first, children before their parent.
  std::function<void(const HandlePtr&)> visit = [&](const HandlePtr& x) {
    std::vector<std::weak_ptr<HandleObj>> kids;
    {
      std::lock_guard<std::mutex> lock(x->mu);
      kids = x->children;
    }
    for (auto& w : kids)
      if (auto k = w.lock()) visit(k);
    out.push_back(x);
  };
  visit(top);
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mu);
  std::vector<HandlePtr> removed;
  for (auto& x : out)
    if (t.handles.erase(x->id)) removed.push_back(x);
  return removed;
}

}  // namespace qmxinet

using namespace qmxinet;

extern "C" {

HINTERNET WINAPI InternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy, LPCSTR lpszProxyBypass,
                               DWORD dwFlags) {
  auto root = std::make_shared<RootObj>();
  root->async = dwFlags & INTERNET_FLAG_ASYNC;
  root->hasAgent = lpszAgent != nullptr;
  if (lpszAgent) root->agent = lpszAgent;
  switch (dwAccessType) {
    case INTERNET_OPEN_TYPE_DIRECT:
      root->proxy.mode = ProxyConfig::kDirect;
      break;
    case INTERNET_OPEN_TYPE_PRECONFIG:
    case INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY:
      ReadProxyEnvironment(root->proxy);
      break;
    case INTERNET_OPEN_TYPE_PROXY:
      if (!lpszProxy) return FailNull(ERROR_INVALID_PARAMETER);
      if (!ParseProxyList(lpszProxy, root->proxy.entries)) return FailNull(ERROR_INVALID_PARAMETER);
      root->proxy.mode = ProxyConfig::kList;
      if (lpszProxyBypass) ParseBypassList(lpszProxyBypass, root->proxy.bypass);
      break;
    default:
      return FailNull(ERROR_INVALID_PARAMETER);
  }
  {
    std::lock_guard<std::mutex> lock(SettingsMutex());
    root->connectTimeout = Settings().connectTimeout;
    root->sendTimeout = Settings().sendTimeout;
    root->receiveTimeout = Settings().receiveTimeout;
    root->totalTimeout = Settings().totalTimeout;
  }
  EngineEnsureStarted();
  HINTERNET h = RegisterHandle(root);
  SetLastError(ERROR_SUCCESS);
  return h;
}

HINTERNET WINAPI InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort,
                                  LPCSTR lpszUserName, LPCSTR lpszPassword, DWORD dwService, DWORD dwFlags,
                                  DWORD_PTR dwContext) {
  HandlePtr p = Find(hInternet);
  if (!p) return nullptr;
  auto root = As<RootObj>(p, Kind::kRoot);
  if (!root) return FailNull(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  if (!lpszServerName || !*lpszServerName) return FailNull(ERROR_INVALID_PARAMETER);
  if (dwService != INTERNET_SERVICE_HTTP) return FailNull(ERROR_INVALID_PARAMETER);
  auto c = std::make_shared<ConnectObj>();
  c->root = root;
  c->parent = root;
  c->async = root->async;
  c->host = lpszServerName;
  c->port = nServerPort;
  c->flags = dwFlags;
  if (lpszUserName) c->user = lpszUserName;
  if (lpszPassword) c->password = lpszPassword;
  c->context = dwContext;
  {
    std::lock_guard<std::mutex> lock(root->mu);
    c->callback = root->callback;
    c->connectTimeout = root->connectTimeout;
    c->sendTimeout = root->sendTimeout;
    c->receiveTimeout = root->receiveTimeout;
    c->totalTimeout = root->totalTimeout;
    c->decoding = root->decoding;
  }
  HINTERNET h = RegisterHandle(c);
  AddChild(root, c);
  Notify(c, INTERNET_STATUS_HANDLE_CREATED, &h, sizeof h, true);
  SetLastError(ERROR_SUCCESS);
  return h;
}

HINTERNET WINAPI HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName, LPCSTR lpszVersion,
                                  LPCSTR lpszReferrer, LPCSTR* lplpszAcceptTypes, DWORD dwFlags,
                                  DWORD_PTR dwContext) {
  HandlePtr p = Find(hConnect);
  if (!p) return nullptr;
  auto conn = As<ConnectObj>(p, Kind::kConnect);
  if (!conn) return FailNull(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  auto r = std::make_shared<RequestObj>();
  r->conn = conn;
  r->parent = conn;
  r->async = conn->async;
  r->verb = lpszVerb && *lpszVerb ? lpszVerb : "GET";
  r->path = lpszObjectName ? lpszObjectName : "";
  r->version = lpszVersion && *lpszVersion ? lpszVersion : "HTTP/1.1";
  r->referrer = lpszReferrer ? lpszReferrer : "";
  if (lplpszAcceptTypes) {
    for (LPCSTR* a = lplpszAcceptTypes; *a; ++a) {
      if (!**a) continue;
      if (!r->accept.empty()) r->accept += ", ";
      r->accept += *a;
    }
  }
  r->flags = dwFlags;
  r->securityFlags = dwFlags & (INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID);
  r->context = dwContext;
  {
    std::lock_guard<std::mutex> lock(conn->mu);
    r->callback = conn->callback;
    r->connectTimeout = conn->connectTimeout;
    r->sendTimeout = conn->sendTimeout;
    r->receiveTimeout = conn->receiveTimeout;
    r->totalTimeout = conn->totalTimeout;
    r->decoding = conn->decoding;
  }
  HINTERNET h = RegisterHandle(r);
  AddChild(conn, r);
  Notify(r, INTERNET_STATUS_HANDLE_CREATED, &h, sizeof h, true);
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL WINAPI HttpAddRequestHeadersA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength,
                                   DWORD dwModifiers) {
  RequestPtr r = FindRequest(hRequest);
  if (!r) return FALSE;
  if (!lpszHeaders) return Fail(ERROR_INVALID_PARAMETER);
  std::string text = dwHeadersLength == 0xFFFFFFFF ? std::string(lpszHeaders)
                                                   : std::string(lpszHeaders, strnlen(lpszHeaders, dwHeadersLength));
  std::lock_guard<std::mutex> lock(r->mu);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty()) continue;
    std::string name = line.substr(0, line.find(':'));
    auto same = [&](const std::string& h) {
      return h.size() > name.size() && strncasecmp(h.c_str(), name.c_str(), name.size()) == 0 &&
             h[name.size()] == ':';
    };
    auto it = std::find_if(r->addedHeaders.begin(), r->addedHeaders.end(), same);
    if (it != r->addedHeaders.end()) {
      if (dwModifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) return Fail(ERROR_HTTP_HEADER_ALREADY_EXISTS);
      if (dwModifiers & HTTP_ADDREQ_FLAG_REPLACE) {
        *it = line;
        continue;
      }
    }
    r->addedHeaders.push_back(line);
  }
  return Ok();
}

BOOL WINAPI HttpSendRequestA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength, LPVOID lpOptional,
                             DWORD dwOptionalLength) {
  RequestPtr r = FindRequest(hRequest);
  if (!r) return FALSE;
  std::string headers;
  if (lpszHeaders)
    headers = (dwHeadersLength == 0xFFFFFFFF || dwHeadersLength == 0)
                  ? std::string(lpszHeaders)
                  : std::string(lpszHeaders, strnlen(lpszHeaders, dwHeadersLength));
  std::string body;
  if (lpOptional && dwOptionalLength) body.assign(static_cast<const char*>(lpOptional), dwOptionalLength);
  uint64_t gen;
  {
    std::lock_guard<std::mutex> lock(r->mu);
    if (r->op == OpKind::kSend) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    // A new send replaces whatever the previous one left behind.
    if (r->op != OpKind::kNone) {
      r->op = OpKind::kNone;
      r->opBuffer = nullptr;
      r->opBuffers = nullptr;
      r->opCountOut = nullptr;
      r->opAvailableOut = nullptr;
    }
    gen = ++r->generation;
    r->syncNotes.clear();  // reports of the previous exchange nobody ran
    r->phase = RequestObj::Phase::kSending;
    r->sendError = 0;
    r->status = 0;
    r->headers.clear();
    r->rawLines.clear();
    r->body.clear();
    r->bodyOffset = 0;
    r->eof = false;
    r->bodyError = 0;
    r->paused = false;
    r->tlsDone = false;
    r->op = OpKind::kSend;
    r->opDone = false;
    r->opError = 0;
  }
  EngineStartSend(r, gen, std::move(headers), std::move(body));
  if (r->async) return Fail(ERROR_IO_PENDING);
  std::unique_lock<std::mutex> lock(r->mu);
  for (;;) {
    RunSyncNotes(*r, lock);
    if (r->closed) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    if (r->generation != gen) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    if (r->phase != RequestObj::Phase::kSending) break;
    r->cv.wait(lock);
  }
  if (r->phase == RequestObj::Phase::kFailed) return Fail(r->sendError);
  return Ok();
}

BOOL WINAPI HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer, LPDWORD lpdwBufferLength,
                           LPDWORD lpdwIndex) {
  RequestPtr r = FindRequest(hRequest);
  if (!r) return FALSE;
  if (!lpdwBufferLength) return Fail(ERROR_INVALID_PARAMETER);
  DWORD level = dwInfoLevel & HTTP_QUERY_HEADER_MASK;
  DWORD mods = dwInfoLevel & HTTP_QUERY_MODIFIER_FLAGS_MASK;
  bool number = mods & HTTP_QUERY_FLAG_NUMBER;
  DWORD index = lpdwIndex ? *lpdwIndex : 0;
  if (mods & HTTP_QUERY_FLAG_REQUEST_HEADERS) {
    if (level == HTTP_QUERY_STATUS_CODE || level == HTTP_QUERY_STATUS_TEXT || level == HTTP_QUERY_VERSION)
      return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
    return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
  }
  std::unique_lock<std::mutex> lock(r->mu);
  if (r->phase == RequestObj::Phase::kSending && level != HTTP_QUERY_STATUS_CODE)
    return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  bool haveReply = r->phase == RequestObj::Phase::kHeaders;
  std::string text;
  switch (level) {
    case HTTP_QUERY_STATUS_CODE: {
      if (index > 0) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      DWORD status = haveReply ? r->status : 0;
      lock.unlock();
      if (number) return CopyDword(status, lpBuffer, lpdwBufferLength);
      return CopyText(std::to_string(status), lpBuffer, lpdwBufferLength);
    }
    case HTTP_QUERY_STATUS_TEXT:
    case HTTP_QUERY_VERSION:
      if (!haveReply || index > 0) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      text = level == HTTP_QUERY_STATUS_TEXT ? r->statusText : r->versionText;
      break;
    case HTTP_QUERY_RAW_HEADERS:
    case HTTP_QUERY_RAW_HEADERS_CRLF: {
      if (!haveReply) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      bool crlf = level == HTTP_QUERY_RAW_HEADERS_CRLF;
      for (const auto& l : r->rawLines) text += l + (crlf ? std::string("\r\n") : std::string(1, '\0'));
      text += crlf ? std::string("\r\n") : std::string(1, '\0');
      lock.unlock();
      if (number) return Fail(ERROR_HTTP_INVALID_HEADER);
      if (!lpBuffer || *lpdwBufferLength < text.size() + 1) {
        *lpdwBufferLength = static_cast<DWORD>(text.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
      }
      std::memcpy(lpBuffer, text.data(), text.size());
      static_cast<char*>(lpBuffer)[text.size()] = '\0';
      *lpdwBufferLength = static_cast<DWORD>(text.size());
      return Ok();
    }
    default: {
      std::string name;
      if (level == HTTP_QUERY_CUSTOM) {
        if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER);
        name = std::string(static_cast<const char*>(lpBuffer), strnlen(static_cast<const char*>(lpBuffer),
                                                                         *lpdwBufferLength));
      } else if (const char* n = LevelName(level)) {
        name = n;
      } else {
        return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
      }
      if (!haveReply) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      DWORD seen = 0;
      bool found = false;
      for (const auto& h : r->headers) {
        if (strcasecmp(h.name.c_str(), name.c_str()) != 0) continue;
        if (seen++ == index) {
          text = h.value;
          found = true;
          break;
        }
      }
      if (!found) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      break;
    }
  }
  lock.unlock();
  BOOL ok;
  if (number) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (v > 0xFFFFFFFFull) return Fail(ERROR_HTTP_INVALID_HEADER);
    ok = CopyDword(static_cast<DWORD>(v), lpBuffer, lpdwBufferLength);
  } else {
    ok = CopyText(text, lpBuffer, lpdwBufferLength);
  }
  if (ok && lpdwIndex) ++*lpdwIndex;
  return ok;
}

BOOL WINAPI InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                             LPDWORD lpdwNumberOfBytesRead) {
  RequestPtr r = FindRequest(hFile);
  if (!r) return FALSE;
  if (!lpdwNumberOfBytesRead || (!lpBuffer && dwNumberOfBytesToRead)) return Fail(ERROR_INVALID_PARAMETER);
  return Read(r, static_cast<char*>(lpBuffer), dwNumberOfBytesToRead, ReadMode::kFill, lpdwNumberOfBytesRead,
              nullptr);
}

BOOL WINAPI InternetReadFileExA(HINTERNET hFile, LPINTERNET_BUFFERSA lpBuffersOut, DWORD dwFlags, DWORD_PTR) {
  RequestPtr r = FindRequest(hFile);
  if (!r) return FALSE;
  if (!lpBuffersOut || lpBuffersOut->dwStructSize != sizeof(INTERNET_BUFFERSA)) return Fail(ERROR_INVALID_PARAMETER);
  if (!lpBuffersOut->lpvBuffer && lpBuffersOut->dwBufferLength) return Fail(ERROR_INVALID_PARAMETER);
  ReadMode mode = (dwFlags & IRF_NO_WAIT) ? ReadMode::kNoWait : ReadMode::kFill;
  return Read(r, static_cast<char*>(lpBuffersOut->lpvBuffer), lpBuffersOut->dwBufferLength, mode, nullptr,
              lpBuffersOut);
}

BOOL WINAPI InternetQueryDataAvailable(HINTERNET hFile, LPDWORD lpdwNumberOfBytesAvailable, DWORD, DWORD_PTR) {
  RequestPtr r = FindRequest(hFile);
  if (!r) return FALSE;
  if (!lpdwNumberOfBytesAvailable) return Fail(ERROR_INVALID_PARAMETER);
  std::unique_lock<std::mutex> lock(r->mu);
  if (r->phase != RequestObj::Phase::kHeaders || r->op != OpKind::kNone)
    return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  if (r->Buffered() || r->eof) {
    *lpdwNumberOfBytesAvailable = static_cast<DWORD>(r->Buffered());
    return Ok();
  }
  if (r->bodyError) return Fail(r->bodyError);
  r->op = OpKind::kQueryAvailable;
  r->opAvailableOut = lpdwNumberOfBytesAvailable;
  r->opDone = false;
  r->opError = 0;
  *lpdwNumberOfBytesAvailable = 0;
  MaybeResume(r, lock);
  if (r->async) return Fail(ERROR_IO_PENDING);
  for (;;) {
    RunSyncNotes(*r, lock);
    if (r->opDone || r->closed) break;
    r->cv.wait(lock);
  }
  if (r->closed) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
  if (r->opError) return Fail(r->opError);
  return Ok();
}

BOOL WINAPI InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength) {
  auto dwordArg = [&](DWORD& out) -> bool {
    if (!lpBuffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    if (dwBufferLength != sizeof(DWORD)) {
      SetLastError(ERROR_INTERNET_BAD_OPTION_LENGTH);
      return false;
    }
    std::memcpy(&out, lpBuffer, sizeof out);
    return true;
  };
  if (!hInternet) {
    DWORD v = 0;
    switch (dwOption) {
      case INTERNET_OPTION_CONNECT_TIMEOUT:
      case INTERNET_OPTION_SEND_TIMEOUT:
      case INTERNET_OPTION_RECEIVE_TIMEOUT: {
        if (!dwordArg(v)) return FALSE;
        if (v == 0) return Fail(kErrorBadArguments);
        std::lock_guard<std::mutex> lock(SettingsMutex());
        (dwOption == INTERNET_OPTION_CONNECT_TIMEOUT ? Settings().connectTimeout
         : dwOption == INTERNET_OPTION_SEND_TIMEOUT  ? Settings().sendTimeout
                                                     : Settings().receiveTimeout) = v;
        return Ok();
      }
      case QMX_INTERNET_OPTION_TOTAL_TIMEOUT: {
        if (!dwordArg(v)) return FALSE;
        std::lock_guard<std::mutex> lock(SettingsMutex());
        Settings().totalTimeout = v;
        return Ok();
      }
      case INTERNET_OPTION_MAX_CONNS_PER_SERVER:
      case INTERNET_OPTION_MAX_CONNS_PER_PROXY: {
        if (!dwordArg(v)) return FALSE;
        if (v == 0) return Fail(ERROR_INVALID_PARAMETER);
        std::lock_guard<std::mutex> lock(SettingsMutex());
        (dwOption == INTERNET_OPTION_MAX_CONNS_PER_SERVER ? Settings().maxConnsPerServer
                                                           : Settings().maxConnsPerProxy) = v;
        return Ok();
      }
      case INTERNET_OPTION_END_BROWSER_SESSION:
        CacheClear();
        return Ok();
      case INTERNET_OPTION_SETTINGS_CHANGED:
      case INTERNET_OPTION_REFRESH:
        return Ok();
      case INTERNET_OPTION_CALLBACK:
      case INTERNET_OPTION_SECURITY_FLAGS:
      case INTERNET_OPTION_USERNAME:
      case INTERNET_OPTION_PASSWORD:
      case INTERNET_OPTION_PROXY_USERNAME:
      case INTERNET_OPTION_PROXY_PASSWORD:
      case INTERNET_OPTION_CONTEXT_VALUE:
      case INTERNET_OPTION_ERROR_MASK:
      case INTERNET_OPTION_HTTP_DECODING:
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      default:
        return Fail(ERROR_INTERNET_INVALID_OPTION);
    }
  }
  HandlePtr h = Find(hInternet);
  if (!h) return FALSE;
  DWORD v = 0;
  switch (dwOption) {
    case INTERNET_OPTION_CALLBACK:
      return Fail(ERROR_INTERNET_OPTION_NOT_SETTABLE);
    case INTERNET_OPTION_MAX_CONNS_PER_SERVER:
    case INTERNET_OPTION_MAX_CONNS_PER_PROXY:
      return Fail(ERROR_INTERNET_INVALID_OPERATION);  // process-wide only
    case INTERNET_OPTION_CONNECT_TIMEOUT:
    case INTERNET_OPTION_SEND_TIMEOUT:
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
      if (!dwordArg(v)) return FALSE;
      if (v == 0 && h->kind == Kind::kRoot) return Fail(kErrorBadArguments);
      SetTimeout(h, dwOption, v);
      return Ok();
    case QMX_INTERNET_OPTION_TOTAL_TIMEOUT: {
      if (!dwordArg(v)) return FALSE;
      std::lock_guard<std::mutex> lock(h->mu);
      h->totalTimeout = v;  // 0 removes the limit
      return Ok();
    }
    case INTERNET_OPTION_CONTEXT_VALUE: {
      if (!lpBuffer || dwBufferLength != sizeof(DWORD_PTR)) return Fail(ERROR_INVALID_PARAMETER);
      std::lock_guard<std::mutex> lock(h->mu);
      std::memcpy(&h->context, lpBuffer, sizeof(DWORD_PTR));
      return Ok();
    }
    case INTERNET_OPTION_HTTP_DECODING: {
      if (!dwordArg(v)) return FALSE;
      std::lock_guard<std::mutex> lock(h->mu);
      h->decoding = v != 0;
      return Ok();
    }
    case INTERNET_OPTION_SECURITY_FLAGS:
    case INTERNET_OPTION_ERROR_MASK: {
      auto r = As<RequestObj>(h, Kind::kRequest);
      if (!r) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      if (!dwordArg(v)) return FALSE;
      std::lock_guard<std::mutex> lock(r->mu);
      if (dwOption == INTERNET_OPTION_ERROR_MASK)
        r->errorMask = v;
      else
        r->securityFlags |= v & kSettableSecurityFlags;  // bits are only ever added
      return Ok();
    }
    case INTERNET_OPTION_USERNAME:
    case INTERNET_OPTION_PASSWORD:
    case INTERNET_OPTION_PROXY_USERNAME:
    case INTERNET_OPTION_PROXY_PASSWORD: {
      if (h->kind == Kind::kRoot) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER);
      std::string s = StringOption(lpBuffer);  // the length is not looked at
      bool proxy = dwOption == INTERNET_OPTION_PROXY_USERNAME || dwOption == INTERNET_OPTION_PROXY_PASSWORD;
      bool name = dwOption == INTERNET_OPTION_USERNAME || dwOption == INTERNET_OPTION_PROXY_USERNAME;
      if (h->kind == Kind::kConnect) {
        auto c = std::static_pointer_cast<ConnectObj>(h);
        std::lock_guard<std::mutex> lock(c->mu);
        (proxy ? (name ? c->proxyUser : c->proxyPassword) : (name ? c->user : c->password)) = s;
        return Ok();
      }
      auto r = std::static_pointer_cast<RequestObj>(h);
      Credentials pc;
      {
        std::lock_guard<std::mutex> lock(r->mu);
        (proxy ? (name ? r->proxyUser : r->proxyPassword) : (name ? r->user : r->password)) = s;
        pc = {r->proxyUser, r->proxyPassword, ""};
      }
      // Proxy credentials given to a request are remembered for its proxy at
      // once: a caller that answers a 407 by opening new handles finds them.
      if (proxy && !pc.user.empty() && !pc.password.empty()) {
        ProxyChoice route = RouteProxy(r);
        if (!route.none) CachePut(true, route.Key(), pc);
      }
      return Ok();
    }
    default:
      return Fail(ERROR_INTERNET_INVALID_OPTION);
  }
}

BOOL WINAPI InternetQueryOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, LPDWORD lpdwBufferLength) {
  if (!lpdwBufferLength) return Fail(ERROR_INVALID_PARAMETER);
  if (!hInternet) {
    std::unique_lock<std::mutex> lock(SettingsMutex());
    GlobalSettings s = Settings();
    lock.unlock();
    switch (dwOption) {
      case INTERNET_OPTION_CONNECT_TIMEOUT: return CopyDword(s.connectTimeout, lpBuffer, lpdwBufferLength);
      case INTERNET_OPTION_SEND_TIMEOUT: return CopyDword(s.sendTimeout, lpBuffer, lpdwBufferLength);
      case INTERNET_OPTION_RECEIVE_TIMEOUT: return CopyDword(s.receiveTimeout, lpBuffer, lpdwBufferLength);
      case QMX_INTERNET_OPTION_TOTAL_TIMEOUT: return CopyDword(s.totalTimeout, lpBuffer, lpdwBufferLength);
      case INTERNET_OPTION_MAX_CONNS_PER_SERVER: return CopyDword(s.maxConnsPerServer, lpBuffer, lpdwBufferLength);
      case INTERNET_OPTION_MAX_CONNS_PER_PROXY: return CopyDword(s.maxConnsPerProxy, lpBuffer, lpdwBufferLength);
      default: return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    }
  }
  HandlePtr h = Find(hInternet);
  if (!h) return FALSE;
  std::unique_lock<std::mutex> lock(h->mu);
  switch (dwOption) {
    case INTERNET_OPTION_HANDLE_TYPE: return CopyDword(static_cast<DWORD>(h->kind), lpBuffer, lpdwBufferLength);
    case INTERNET_OPTION_CONNECT_TIMEOUT: return CopyDword(h->connectTimeout, lpBuffer, lpdwBufferLength);
    case INTERNET_OPTION_SEND_TIMEOUT: return CopyDword(h->sendTimeout, lpBuffer, lpdwBufferLength);
    case INTERNET_OPTION_RECEIVE_TIMEOUT: return CopyDword(h->receiveTimeout, lpBuffer, lpdwBufferLength);
    case QMX_INTERNET_OPTION_TOTAL_TIMEOUT: return CopyDword(h->totalTimeout, lpBuffer, lpdwBufferLength);
    case INTERNET_OPTION_CONTEXT_VALUE:
      if (!lpBuffer || *lpdwBufferLength < sizeof(DWORD_PTR)) {
        *lpdwBufferLength = sizeof(DWORD_PTR);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
      }
      std::memcpy(lpBuffer, &h->context, sizeof(DWORD_PTR));
      *lpdwBufferLength = sizeof(DWORD_PTR);
      return Ok();
    case INTERNET_OPTION_SECURITY_FLAGS: {
      if (h->kind != Kind::kRequest) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      auto* r = static_cast<RequestObj*>(h.get());
      DWORD v = r->securityFlags;
      if (r->tlsDone) v |= SECURITY_FLAG_SECURE | SECURITY_FLAG_STRENGTH_STRONG;
      return CopyDword(v, lpBuffer, lpdwBufferLength);
    }
    case INTERNET_OPTION_URL: {
      if (h->kind != Kind::kRequest) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      std::string url = static_cast<RequestObj*>(h.get())->url;
      lock.unlock();
      return CopyText(url, lpBuffer, lpdwBufferLength);
    }
    case INTERNET_OPTION_USERNAME:
    case INTERNET_OPTION_PASSWORD:
    case INTERNET_OPTION_PROXY_USERNAME:
    case INTERNET_OPTION_PROXY_PASSWORD: {
      std::string s;
      bool name = dwOption == INTERNET_OPTION_USERNAME || dwOption == INTERNET_OPTION_PROXY_USERNAME;
      bool proxy = dwOption == INTERNET_OPTION_PROXY_USERNAME || dwOption == INTERNET_OPTION_PROXY_PASSWORD;
      if (h->kind == Kind::kConnect) {
        auto* c = static_cast<ConnectObj*>(h.get());
        s = proxy ? (name ? c->proxyUser : c->proxyPassword) : (name ? c->user : c->password);
      } else if (h->kind == Kind::kRequest) {
        auto* r = static_cast<RequestObj*>(h.get());
        s = proxy ? (name ? r->proxyUser : r->proxyPassword) : (name ? r->user : r->password);
      } else {
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      }
      lock.unlock();
      return CopyText(s, lpBuffer, lpdwBufferLength);
    }
    default:
      return Fail(ERROR_INTERNET_INVALID_OPTION);
  }
}

INTERNET_STATUS_CALLBACK WINAPI InternetSetStatusCallbackA(HINTERNET hInternet,
                                                           INTERNET_STATUS_CALLBACK lpfnCallback) {
  HandlePtr h = Find(hInternet);
  if (!h) return INTERNET_INVALID_STATUS_CALLBACK;
  std::lock_guard<std::mutex> lock(h->mu);
  INTERNET_STATUS_CALLBACK old = h->callback;
  h->callback = lpfnCallback;
  SetLastError(ERROR_SUCCESS);
  return old;
}

BOOL WINAPI InternetCloseHandle(HINTERNET hInternet) {
  std::vector<HandlePtr> gone = UnregisterTree(hInternet);
  if (gone.empty()) return Fail(ERROR_INVALID_HANDLE);
  bool pending = false;
  for (const HandlePtr& h : gone) {
    bool direct = !h->async;
    {
      std::lock_guard<std::mutex> lock(h->mu);
      h->closed = true;
      bool busy = false;
      if (h->kind == Kind::kRequest) {
        auto* r = static_cast<RequestObj*>(h.get());
        busy = r->op != OpKind::kNone;
        if (busy) pending = true;
        // A pending read's buffer is the caller's again from now on.
        r->op = OpKind::kNone;
        r->opBuffer = nullptr;
        r->opBuffers = nullptr;
        r->opCountOut = nullptr;
        r->opAvailableOut = nullptr;
        r->syncNotes.clear();
        r->cv.notify_all();
      }
      // Nothing outstanding and nothing queued: reported inside the close.
      if (!busy && h->queued == 0) direct = true;
    }
    if (h->kind == Kind::kRequest) EngineCancel(std::static_pointer_cast<RequestObj>(h));
    HINTERNET value = h->Value();
    // Otherwise HANDLE_CLOSING is queued behind the notifications already
    // raised for the handle, and is its last one.
    Notify(h, INTERNET_STATUS_HANDLE_CLOSING, &value, sizeof value, direct);
  }
  SetLastError(pending ? ERROR_IO_PENDING : ERROR_SUCCESS);
  return TRUE;
}

DWORD WINAPI InternetErrorDlg(HWND, HINTERNET hRequest, DWORD dwError, DWORD dwFlags, LPVOID*) {
  // There is no window: the owner is ignored rather than required.
  RequestPtr r = FindRequest(hRequest);
  if (!r) return ERROR_INVALID_HANDLE;
  switch (dwError) {
    case ERROR_SUCCESS:
    case ERROR_INTERNET_INCORRECT_PASSWORD:
    case ERROR_INTERNET_LOGIN_FAILURE:
      break;
    default:
      // Certificate and other questions need a dialog that does not exist.
      return ERROR_CANCELLED;
  }
  DWORD status;
  std::vector<ResponseHeader> headers;
  {
    std::lock_guard<std::mutex> lock(r->mu);
    status = r->phase == RequestObj::Phase::kHeaders ? r->status : 0;
    headers = r->headers;
  }
  if (status != HTTP_STATUS_DENIED && status != HTTP_STATUS_PROXY_AUTH_REQ) return ERROR_SUCCESS;
  if (dwFlags & FLAGS_ERROR_UI_FLAGS_NO_UI) return ERROR_CANCELLED;
  bool proxy = status == HTTP_STATUS_PROXY_AUTH_REQ;
  std::string scheme;
  std::string realm = FindChallengeParam(headers, proxy ? "Proxy-Authenticate" : "WWW-Authenticate", &scheme);
  std::string host, lastUser;
  INTERNET_PORT port;
  ProxyChoice route = RouteProxy(r);
  {
    std::lock_guard<std::mutex> lock(r->conn->mu);
    host = r->conn->host;
    port = r->conn->port;
    if (port == 0) port = (r->conn->flags & INTERNET_FLAG_SECURE) ? 443 : 80;
    lastUser = proxy ? r->conn->proxyUser : r->conn->user;
  }
  {
    std::lock_guard<std::mutex> lock(r->mu);
    if (!(proxy ? r->proxyUser : r->user).empty()) lastUser = proxy ? r->proxyUser : r->user;
  }
  if (proxy) {
    if (route.none) return ERROR_CANCELLED;
    host = route.host;
    port = route.port;
  }
  QMX_CREDENTIAL_REQUEST q{};
  q.dwStructSize = sizeof q;
  q.fProxy = proxy;
  q.lpszHost = host.c_str();
  q.nPort = port;
  q.lpszRealm = realm.c_str();
  q.lpszScheme = scheme.c_str();
  q.lpszUserName = lastUser.c_str();
  std::string user, password;
  if (!RunCredentialPrompt(q, user, password)) return ERROR_CANCELLED;
  {
    std::lock_guard<std::mutex> lock(r->mu);
    (proxy ? r->proxyUser : r->user) = user;
    (proxy ? r->proxyPassword : r->password) = password;
  }
  // Into the cache at once: callers often answer with brand-new handles.
  CachePut(proxy, host + ":" + std::to_string(port), Credentials{user, password, scheme});
  return ERROR_INTERNET_FORCE_RETRY;
}

}  // extern "C"
