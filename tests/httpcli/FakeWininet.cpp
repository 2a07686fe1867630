#include "FakeWininet.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace fakeinet {
namespace {

enum Kind { kRoot, kConnect, kRequest };

// One handle of any kind; a request's send fills in the fields of its Send.
struct Handle {
  Kind kind = kRoot;
  uintptr_t parent = 0;
  INTERNET_STATUS_CALLBACK callback = nullptr;
  bool async = false;
  Send send{};
  Reply reply;
  bool sent = false;
  size_t offset = 0;
};

struct State {
  std::mutex lock;
  std::map<uintptr_t, Handle> handles;
  uintptr_t next = 1, lastRequest = 0;
  std::deque<Reply> replies;
  std::deque<DWORD> dialog;
  size_t dialogCount = 0;
  std::map<std::string, DWORD> failures;
  std::vector<Send> sends;
  std::vector<std::string> closed;
  DWORD defaultConnectTimeout = 0;
};

State& S() {
  static State* s = new State();
  return *s;
}

Handle* Find(HINTERNET h) {
  auto it = S().handles.find(reinterpret_cast<uintptr_t>(h));
  return it == S().handles.end() ? nullptr : &it->second;
}

// Adds a handle under parent (of kind `kind - 1`), or fails with the
// scripted error of `name`.
HINTERNET Add(const char* name, Kind kind, HINTERNET parent, Handle h) {
  auto failure = S().failures.find(name);
  if (failure != S().failures.end()) {
    SetLastError(failure->second);
    return nullptr;
  }
  h.kind = kind;
  if (kind != kRoot) {
    Handle* p = Find(parent);
    if (!p || p->kind != kind - 1) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    h.parent = reinterpret_cast<uintptr_t>(parent);
    h.callback = p->callback;
    h.async = p->async;
    h.send.openAccess = p->send.openAccess;
    h.send.proxy = p->send.proxy;
    if (kind == kRequest) {
      h.send.host = p->send.host;
      h.send.port = p->send.port;
    }
  }
  uintptr_t id = S().next++;
  S().handles[id] = h;
  if (kind == kRequest) S().lastRequest = id;
  return reinterpret_cast<HINTERNET>(id);
}

Handle* Request(HINTERNET h) {
  Handle* r = Find(h);
  if (r && r->kind == kRequest) return r;
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

size_t Size(const Reply& r) { return r.body.empty() ? r.filler : r.body.size(); }

// Hands out up to `want` bytes of the reply; false (12030) past failAfter.
bool Take(Handle* r, DWORD want, void* out, DWORD* got) {
  if (r->reply.failAfter != std::string::npos && r->offset >= r->reply.failAfter) {
    SetLastError(ERROR_INTERNET_CONNECTION_ABORTED);
    return false;
  }
  size_t limit = std::min(Size(r->reply), r->reply.failAfter);
  size_t n = std::min<size_t>(want, limit - std::min(limit, r->offset));
  if (r->reply.body.empty()) {
    memset(out, 'x', n);
  } else {
    memcpy(out, r->reply.body.data() + r->offset, n);
  }
  r->offset += n;
  *got = (DWORD)n;
  SetLastError(0);
  return true;
}

template <typename T>
T Locked(T State::*member) {
  std::lock_guard<std::mutex> g(S().lock);
  return S().*member;
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
void FailCall(const std::string& name, DWORD error) {
  std::lock_guard<std::mutex> g(S().lock);
  S().failures[name] = error;
}
std::vector<Send> Sends() { return Locked(&State::sends); }
size_t DialogCount() { return Locked(&State::dialogCount); }
std::vector<std::string> Closed() { return Locked(&State::closed); }
DWORD DefaultConnectTimeout() { return Locked(&State::defaultConnectTimeout); }
size_t OpenHandles() {
  std::lock_guard<std::mutex> g(S().lock);
  return S().handles.size();
}

bool CompleteAsync(DWORD dwError) {
  INTERNET_STATUS_CALLBACK callback = nullptr;
  DWORD_PTR context = 0;
  HINTERNET handle = reinterpret_cast<HINTERNET>(Locked(&State::lastRequest));
  {
    std::lock_guard<std::mutex> g(S().lock);
    Handle* h = Find(handle);
    if (!h || !h->async || !h->callback) return false;
    callback = h->callback;
    context = h->send.context;
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
  Handle h;
  h.send.openAccess = dwAccessType;
  h.send.proxy = lpszProxy ? lpszProxy : "";
  h.async = (dwFlags & INTERNET_FLAG_ASYNC) != 0;
  return Add("InternetOpenA", kRoot, nullptr, h);
}

HINTERNET WINAPI InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort, LPCSTR, LPCSTR,
                                  DWORD, DWORD, DWORD_PTR) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle h;
  h.send.host = lpszServerName ? lpszServerName : "";
  h.send.port = nServerPort;
  return Add("InternetConnectA", kConnect, hInternet, h);
}

HINTERNET WINAPI HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName, LPCSTR, LPCSTR, LPCSTR*,
                                  DWORD dwFlags, DWORD_PTR dwContext) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle h;
  h.send.verb = lpszVerb ? lpszVerb : "";
  h.send.object = lpszObjectName ? lpszObjectName : "";
  h.send.requestFlags = dwFlags;
  h.send.context = dwContext;
  return Add("HttpOpenRequestA", kRequest, hConnect, h);
}

BOOL WINAPI HttpAddRequestHeadersA(HINTERNET, LPCSTR, DWORD, DWORD) { return TRUE; }

BOOL WINAPI HttpSendRequestA(HINTERNET hRequest, LPCSTR, DWORD, LPVOID lpOptional, DWORD dwOptionalLength) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* r = Request(hRequest);
  if (!r) return FALSE;
  auto failure = S().failures.find("HttpSendRequestA");
  if (failure != S().failures.end()) {
    SetLastError(failure->second);
    return FALSE;
  }
  Send& s = r->send;
  s.bodyPointerNull = lpOptional == nullptr;
  s.bodyLength = dwOptionalLength;
  s.body = lpOptional ? std::string(static_cast<const char*>(lpOptional), dwOptionalLength) : std::string();
  S().sends.push_back(s);
  r->reply = S().replies.empty() ? Reply() : S().replies.front();
  if (!S().replies.empty()) S().replies.pop_front();
  r->offset = 0;
  r->sent = true;
  SetLastError(r->async ? ERROR_IO_PENDING : 0);
  return r->async ? FALSE : TRUE;
}

BOOL WINAPI HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer, LPDWORD lpdwBufferLength, LPDWORD) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* r = Request(hRequest);
  if (!r) return FALSE;
  DWORD value = 0;
  if (dwInfoLevel == (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE)) {
    value = r->sent ? r->reply.status : 0;
  } else if (dwInfoLevel == (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH) && r->sent && r->reply.withLength) {
    value = (DWORD)Size(r->reply);
  } else {
    SetLastError(ERROR_HTTP_HEADER_NOT_FOUND);
    return FALSE;
  }
  memcpy(lpBuffer, &value, sizeof(value));
  *lpdwBufferLength = sizeof(value);
  return TRUE;
}

BOOL WINAPI InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                             LPDWORD lpdwNumberOfBytesRead) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* r = Request(hFile);
  return r && Take(r, dwNumberOfBytesToRead, lpBuffer, lpdwNumberOfBytesRead);
}

BOOL WINAPI InternetReadFileExA(HINTERNET hFile, LPINTERNET_BUFFERSA lpBuffersOut, DWORD, DWORD_PTR) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* r = Request(hFile);
  DWORD got = 0;
  if (!r || !Take(r, lpBuffersOut->dwBufferLength, lpBuffersOut->lpvBuffer, &got)) return FALSE;
  lpBuffersOut->dwBufferLength = got;
  return TRUE;
}

BOOL WINAPI InternetQueryDataAvailable(HINTERNET, LPDWORD, DWORD, DWORD_PTR) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL WINAPI InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* h = Find(hInternet);
  // The connect limit, on no handle or on a root: the last one set.
  if (dwOption == INTERNET_OPTION_CONNECT_TIMEOUT && (!hInternet || (h && h->kind == kRoot))) {
    S().defaultConnectTimeout = *static_cast<DWORD*>(lpBuffer);
  } else if (h && h->kind == kRequest && dwOption == INTERNET_OPTION_SECURITY_FLAGS) {
    h->send.securityFlags |= *static_cast<DWORD*>(lpBuffer);
  } else if (h && h->kind == kRequest && dwOption == INTERNET_OPTION_PROXY_USERNAME) {
    h->send.proxyUser = static_cast<const char*>(lpBuffer);
  }
  return TRUE;
}

BOOL WINAPI InternetQueryOptionA(HINTERNET, DWORD, LPVOID, LPDWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

INTERNET_STATUS_CALLBACK WINAPI InternetSetStatusCallbackA(HINTERNET hInternet, INTERNET_STATUS_CALLBACK lpfnCallback) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* h = Find(hInternet);
  if (!h) return INTERNET_INVALID_STATUS_CALLBACK;
  std::swap(h->callback, lpfnCallback);
  return lpfnCallback;
}

BOOL WINAPI InternetCloseHandle(HINTERNET hInternet) {
  std::lock_guard<std::mutex> g(S().lock);
  Handle* h = Find(hInternet);
  if (!h) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  static const char* kNames[] = {"root", "connect", "request"};
  S().closed.push_back(kNames[h->kind]);
  S().handles.erase(reinterpret_cast<uintptr_t>(hInternet));
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
