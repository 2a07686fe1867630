#include "FakeWininet.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include <map>
#include <mutex>

namespace fakeinet {
namespace {

enum Kind { kRoot, kConnect, kRequest };

struct Handle {
  Kind kind;
  uintptr_t parent = 0;
  INTERNET_STATUS_CALLBACK callback = nullptr;
  DWORD_PTR context = 0;
  bool async = false;
  // root
  DWORD access = 0;
  std::string proxy;
  // connect
  std::string host;
  INTERNET_PORT port = 0;
  // request
  std::string verb, object;
  DWORD flags = 0, security = 0;
  std::string proxyUser;
  bool sent = false;
  Reply reply;
  size_t offset = 0;
  bool pendingServed = false;
};

struct State {
  std::mutex lock;
  std::map<uintptr_t, Handle> handles;
  uintptr_t next = 1;
  uintptr_t lastRequest = 0;
  std::deque<Reply> replies;
  std::deque<DWORD> dialog;
  size_t dialogCount = 0;
  bool asyncPending = false;
  std::map<std::string, DWORD> failures;
  std::vector<Send> sends;
  std::vector<std::string> closed;
  DWORD defaultConnectTimeout = 0;
};

State& S() {
  static State* s = new State();
  return *s;
}

Handle* Find(HINTERNET h, Kind kind) {
  auto it = S().handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == S().handles.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

bool Failing(const char* name) {
  auto it = S().failures.find(name);
  if (it == S().failures.end()) return false;
  SetLastError(it->second);
  return true;
}

HINTERNET Add(Handle h) {
  uintptr_t id = S().next++;
  S().handles[id] = h;
  return reinterpret_cast<HINTERNET>(id);
}

void CopyPart(const std::string& part, LPSTR buffer, DWORD* length) {
  if (*length == 0 || !buffer) return;
  size_t n = std::min<size_t>(part.size(), *length - 1);
  memcpy(buffer, part.data(), n);
  buffer[n] = '\0';
  *length = (DWORD)n;
}

}  // namespace

void Reset() {
  std::lock_guard<std::mutex> g(S().lock);
  State& s = S();
  s.handles.clear();
  s.lastRequest = 0;
  s.replies.clear();
  s.dialog.clear();
  s.dialogCount = 0;
  s.asyncPending = false;
  s.failures.clear();
  s.sends.clear();
  s.closed.clear();
  s.defaultConnectTimeout = 0;
}
void PushReply(const Reply& reply) {
  std::lock_guard<std::mutex> g(S().lock);
  S().replies.push_back(reply);
}
void PushDialogAnswer(DWORD answer) {
  std::lock_guard<std::mutex> g(S().lock);
  S().dialog.push_back(answer);
}
void SetAsyncReadPending(bool pending) {
  std::lock_guard<std::mutex> g(S().lock);
  S().asyncPending = pending;
}
void FailCall(const std::string& name, DWORD error) {
  std::lock_guard<std::mutex> g(S().lock);
  S().failures[name] = error;
}
std::vector<Send> Sends() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().sends;
}
size_t DialogCount() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().dialogCount;
}
std::vector<std::string> Closed() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().closed;
}
DWORD DefaultConnectTimeout() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().defaultConnectTimeout;
}
DWORD_PTR LastContext() {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* h = Find(reinterpret_cast<HINTERNET>(S().lastRequest), kRequest);
  return h ? h->context : 0;
}
size_t OpenHandles() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().handles.size();
}

bool CompleteAsync(DWORD dwError) {
  INTERNET_STATUS_CALLBACK callback = nullptr;
  DWORD_PTR context = 0;
  HINTERNET handle = nullptr;
  {
    std::lock_guard<std::mutex> g(S().lock);
    Handle* h = Find(reinterpret_cast<HINTERNET>(S().lastRequest), kRequest);
    if (!h || !h->async || !h->callback) return false;
    callback = h->callback;
    context = h->context;
    handle = reinterpret_cast<HINTERNET>(S().lastRequest);
  }
  INTERNET_ASYNC_RESULT result = {dwError ? 0u : 1u, dwError};
  callback(handle, context, INTERNET_STATUS_REQUEST_COMPLETE, &result, sizeof(result));
  return true;
}

}  // namespace fakeinet

using namespace fakeinet;

extern "C" {

HINTERNET WINAPI InternetOpenA(LPCSTR, DWORD dwAccessType, LPCSTR lpszProxy, LPCSTR, DWORD dwFlags) {
  std::lock_guard<std::mutex> g(S().lock);
  if (Failing("InternetOpenA")) return nullptr;
  Handle h;
  h.kind = kRoot;
  h.access = dwAccessType;
  h.proxy = lpszProxy ? lpszProxy : "";
  h.async = (dwFlags & INTERNET_FLAG_ASYNC) != 0;
  return Add(h);
}

HINTERNET WINAPI InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort, LPCSTR, LPCSTR,
                                  DWORD, DWORD, DWORD_PTR dwContext) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* root = Find(hInternet, kRoot);
  if (!root) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (Failing("InternetConnectA")) return nullptr;
  if (!lpszServerName || !*lpszServerName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Handle h;
  h.kind = kConnect;
  h.parent = reinterpret_cast<uintptr_t>(hInternet);
  h.callback = root->callback;
  h.context = dwContext;
  h.async = root->async;
  h.host = lpszServerName;
  h.port = nServerPort;
  return Add(h);
}

HINTERNET WINAPI HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName, LPCSTR, LPCSTR, LPCSTR*,
                                  DWORD dwFlags, DWORD_PTR dwContext) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* connect = Find(hConnect, kConnect);
  if (!connect) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (Failing("HttpOpenRequestA")) return nullptr;
  Handle h;
  h.kind = kRequest;
  h.parent = reinterpret_cast<uintptr_t>(hConnect);
  h.callback = connect->callback;
  h.context = dwContext;
  h.async = connect->async;
  h.verb = lpszVerb ? lpszVerb : "";
  h.object = lpszObjectName ? lpszObjectName : "";
  h.flags = dwFlags;
  HINTERNET id = Add(h);
  S().lastRequest = reinterpret_cast<uintptr_t>(id);
  return id;
}

BOOL WINAPI HttpAddRequestHeadersA(HINTERNET, LPCSTR, DWORD, DWORD) { return TRUE; }

BOOL WINAPI HttpSendRequestA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength, LPVOID lpOptional,
                             DWORD dwOptionalLength) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* r = Find(hRequest, kRequest);
  if (!r) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (Failing("HttpSendRequestA")) return FALSE;
  Handle& connect = S().handles[r->parent];
  Handle& root = S().handles[connect.parent];
  Send s;
  s.verb = r->verb;
  s.object = r->object;
  s.headers = lpszHeaders ? std::string(lpszHeaders, dwHeadersLength) : std::string();
  s.bodyPointerNull = lpOptional == nullptr;
  s.bodyLength = dwOptionalLength;
  if (lpOptional) s.body.assign(static_cast<const char*>(lpOptional), dwOptionalLength);
  s.requestFlags = r->flags;
  s.securityFlags = r->security;
  s.openAccess = root.access;
  s.proxy = root.proxy;
  s.host = connect.host;
  s.port = connect.port;
  s.proxyUser = r->proxyUser;
  s.context = r->context;
  S().sends.push_back(s);
  if (!S().replies.empty()) {
    r->reply = S().replies.front();
    S().replies.pop_front();
  } else {
    r->reply = Reply();
  }
  r->offset = 0;
  r->sent = true;
  if (r->async) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  SetLastError(0);
  return TRUE;
}

BOOL WINAPI HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer, LPDWORD lpdwBufferLength, LPDWORD) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* r = Find(hRequest, kRequest);
  if (!r) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD value = 0;
  if (dwInfoLevel == (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE)) {
    value = r->sent ? r->reply.status : 0;
  } else if (dwInfoLevel == (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH)) {
    if (!r->sent || !r->reply.withLength) {
      SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
      return FALSE;
    }
    value = (DWORD)r->reply.body.size();
  } else {
    SetLastError(ERROR_HTTP_INVALID_QUERY_REQUEST);
    return FALSE;
  }
  memcpy(lpBuffer, &value, sizeof(value));
  *lpdwBufferLength = sizeof(value);
  return TRUE;
}

namespace {
// Hands out up to `want` bytes of the reply; false (12030) past failAfter.
bool Take(Handle* r, DWORD want, char* out, DWORD* got) {
  const std::string& body = r->reply.body;
  if (r->reply.failAfter != std::string::npos && r->offset >= r->reply.failAfter) {
    SetLastError(ERROR_INTERNET_CONNECTION_ABORTED);
    return false;
  }
  size_t limit = std::min(body.size(), r->reply.failAfter);
  size_t n = std::min<size_t>(want, limit - std::min(limit, r->offset));
  memcpy(out, body.data() + r->offset, n);
  r->offset += n;
  *got = (DWORD)n;
  SetLastError(0);
  return true;
}
}  // namespace

BOOL WINAPI InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                             LPDWORD lpdwNumberOfBytesRead) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* r = Find(hFile, kRequest);
  if (!r) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return Take(r, dwNumberOfBytesToRead, static_cast<char*>(lpBuffer), lpdwNumberOfBytesRead) ? TRUE : FALSE;
}

BOOL WINAPI InternetReadFileExA(HINTERNET hFile, LPINTERNET_BUFFERSA lpBuffersOut, DWORD, DWORD_PTR) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* r = Find(hFile, kRequest);
  if (!r) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!lpBuffersOut || lpBuffersOut->dwStructSize != sizeof(INTERNET_BUFFERSA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool more = r->offset < r->reply.body.size();
  if (S().asyncPending && more && !r->pendingServed) {
    r->pendingServed = true;  // no-wait: nothing there yet, block untouched
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  r->pendingServed = false;
  DWORD got = 0;
  if (!Take(r, lpBuffersOut->dwBufferLength, static_cast<char*>(lpBuffersOut->lpvBuffer), &got)) return FALSE;
  lpBuffersOut->dwBufferLength = got;
  return TRUE;
}

BOOL WINAPI InternetQueryDataAvailable(HINTERNET, LPDWORD, DWORD, DWORD_PTR) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL WINAPI InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD) {
  std::lock_guard<std::mutex> g(S().lock);
  // The connect limit, on no handle or on a root: the last one set.
  if (dwOption == INTERNET_OPTION_CONNECT_TIMEOUT && (!hInternet || Find(hInternet, kRoot))) {
    S().defaultConnectTimeout = *static_cast<DWORD*>(lpBuffer);
    return TRUE;
  }
  if (!hInternet) return TRUE;
  Handle* r = Find(hInternet, kRequest);
  if (!r) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (dwOption == INTERNET_OPTION_SECURITY_FLAGS) r->security |= *static_cast<DWORD*>(lpBuffer);
  if (dwOption == INTERNET_OPTION_PROXY_USERNAME) r->proxyUser = static_cast<const char*>(lpBuffer);
  return TRUE;
}

BOOL WINAPI InternetQueryOptionA(HINTERNET, DWORD, LPVOID, LPDWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

INTERNET_STATUS_CALLBACK WINAPI InternetSetStatusCallbackA(HINTERNET hInternet, INTERNET_STATUS_CALLBACK lpfnCallback) {
  std::lock_guard<std::mutex> g(S().lock);
  auto it = S().handles.find(reinterpret_cast<uintptr_t>(hInternet));
  if (it == S().handles.end()) return INTERNET_INVALID_STATUS_CALLBACK;
  INTERNET_STATUS_CALLBACK old = it->second.callback;
  it->second.callback = lpfnCallback;
  return old;
}

BOOL WINAPI InternetCloseHandle(HINTERNET hInternet) {
  std::lock_guard<std::mutex> g(S().lock);
  auto it = S().handles.find(reinterpret_cast<uintptr_t>(hInternet));
  if (it == S().handles.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  static const char* kNames[] = {"root", "connect", "request"};
  S().closed.push_back(kNames[it->second.kind]);
  S().handles.erase(it);
  return TRUE;
}

// scheme://[user[:password]@]host[:port][path][?extra|#extra]
BOOL WINAPI InternetCrackUrlA(LPCSTR lpszUrl, DWORD dwUrlLength, DWORD, LPURL_COMPONENTSA lpUrlComponents) {
  std::string url(lpszUrl, dwUrlLength ? dwUrlLength : strlen(lpszUrl));
  size_t colon = url.find("://");
  if (colon == std::string::npos || colon == 0) {
    SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    return FALSE;
  }
  std::string scheme = url.substr(0, colon);
  std::string rest = url.substr(colon + 3);
  size_t authorityEnd = rest.find_first_of("/?#");
  std::string authority = rest.substr(0, authorityEnd);
  std::string tail = authorityEnd == std::string::npos ? "" : rest.substr(authorityEnd);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);
  INTERNET_PORT port = 0;
  size_t portColon = authority.rfind(':');
  if (portColon != std::string::npos) {
    port = (INTERNET_PORT)atoi(authority.c_str() + portColon + 1);
    authority = authority.substr(0, portColon);
  }
  if (port == 0) {
    if (strcasecmp(scheme.c_str(), "http") == 0) port = 80;
    if (strcasecmp(scheme.c_str(), "https") == 0) port = 443;
  }
  size_t extraAt = tail.find('?');
  if (extraAt == std::string::npos) extraAt = tail.find('#');
  std::string path = tail.substr(0, extraAt);
  std::string extra = extraAt == std::string::npos ? "" : tail.substr(extraAt);
  CopyPart(scheme, lpUrlComponents->lpszScheme, &lpUrlComponents->dwSchemeLength);
  CopyPart(authority, lpUrlComponents->lpszHostName, &lpUrlComponents->dwHostNameLength);
  CopyPart(path, lpUrlComponents->lpszUrlPath, &lpUrlComponents->dwUrlPathLength);
  CopyPart(extra, lpUrlComponents->lpszExtraInfo, &lpUrlComponents->dwExtraInfoLength);
  lpUrlComponents->nPort = port;
  return TRUE;
}

DWORD WINAPI InternetErrorDlg(HWND, HINTERNET, DWORD, DWORD, LPVOID*) {
  std::lock_guard<std::mutex> g(S().lock);
  ++S().dialogCount;
  if (S().dialog.empty()) return ERROR_CANCELLED;
  DWORD answer = S().dialog.front();
  S().dialog.pop_front();
  return answer;
}

}  // extern "C"
