#include "FakeWininet.h"

#include <string.h>

#include <algorithm>
#include <mutex>

namespace fakeinet {
namespace {

enum Kind { kRoot, kConnect, kRequest };

// One handle of any kind; a request's send fills in the fields of its Send,
// which starts as a copy of its parent's.
struct Handle {
  Kind kind = kRoot;
  INTERNET_STATUS_CALLBACK callback = nullptr;
  bool async = false;
  Send send{};
  Reply reply;
  bool sent = false;
  size_t offset = 0;
};

// Kept until the process is gone: handles may be closed by objects that die
// at exit.
struct Globals {
  std::mutex lock;
  State state;
  std::map<uintptr_t, Handle> handles;
  uintptr_t next = 1, lastRequest = 0;
};
Globals& G() {
  static Globals* g = new Globals;
  return *g;
}

Handle* Find(HINTERNET h) {
  auto it = G().handles.find(reinterpret_cast<uintptr_t>(h));
  return it == G().handles.end() ? nullptr : &it->second;
}

// Adds a handle of `kind` under `parent`, or fails with the scripted error of
// `name`.
HINTERNET Add(const char* name, Kind kind, HINTERNET parent, Handle h) {
  auto failure = G().state.failures.find(name);
  if (failure != G().state.failures.end()) {
    SetLastError(failure->second);
    return nullptr;
  }
  h.kind = kind;
  if (Handle* p = Find(parent)) {
    h.callback = p->callback;
    h.async = p->async;
    h.send.openAccess = p->send.openAccess;
    h.send.proxy = p->send.proxy;
    if (kind == kRequest) {
      h.send.host = p->send.host;
      h.send.port = p->send.port;
    }
  }
  uintptr_t id = G().next++;
  G().handles[id] = h;
  if (kind == kRequest) G().lastRequest = id;
  return reinterpret_cast<HINTERNET>(id);
}

size_t Size(const Reply& r) { return r.body.empty() ? r.filler : r.body.size(); }

// Hands out up to `want` bytes of the reply; false (12030) past failAfter.
bool Take(HINTERNET h, DWORD want, void* out, DWORD* got) {
  Handle* r = Find(h);
  if (!r || (r->reply.failAfter != std::string::npos && r->offset >= r->reply.failAfter)) {
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

}  // namespace

void Reset() {
  std::lock_guard<std::mutex> g(G().lock);
  G().state = State();
  G().handles.clear();
  G().lastRequest = 0;
}
void PushReply(const Reply& reply) {
  std::lock_guard<std::mutex> g(G().lock);
  G().state.replies.push_back(reply);
}
void PushDialogAnswer(DWORD answer) {
  std::lock_guard<std::mutex> g(G().lock);
  G().state.dialog.push_back(answer);
}
void FailCall(const std::string& name, DWORD error) {
  std::lock_guard<std::mutex> g(G().lock);
  G().state.failures[name] = error;
}
State Seen() {
  std::lock_guard<std::mutex> g(G().lock);
  State s = G().state;
  s.openHandles = G().handles.size();
  return s;
}

bool CompleteAsync(DWORD dwError) {
  INTERNET_STATUS_CALLBACK callback = nullptr;
  DWORD_PTR context = 0;
  HINTERNET handle = nullptr;
  {
    std::lock_guard<std::mutex> g(G().lock);
    handle = reinterpret_cast<HINTERNET>(G().lastRequest);
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
  std::lock_guard<std::mutex> g(G().lock);
  Handle h;
  h.send.openAccess = dwAccessType;
  h.send.proxy = lpszProxy ? lpszProxy : "";
  h.async = (dwFlags & INTERNET_FLAG_ASYNC) != 0;
  return Add("InternetOpenA", kRoot, nullptr, h);
}

HINTERNET WINAPI InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort, LPCSTR, LPCSTR,
                                  DWORD, DWORD, DWORD_PTR) {
  std::lock_guard<std::mutex> g(G().lock);
  Handle h;
  h.send.host = lpszServerName;
  h.send.port = nServerPort;
  return Add("InternetConnectA", kConnect, hInternet, h);
}

HINTERNET WINAPI HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName, LPCSTR, LPCSTR, LPCSTR*,
                                  DWORD dwFlags, DWORD_PTR dwContext) {
  std::lock_guard<std::mutex> g(G().lock);
  Handle h;
  h.send.verb = lpszVerb;
  h.send.object = lpszObjectName;
  h.send.requestFlags = dwFlags;
  h.send.context = dwContext;
  return Add("HttpOpenRequestA", kRequest, hConnect, h);
}

BOOL WINAPI HttpSendRequestA(HINTERNET hRequest, LPCSTR, DWORD, LPVOID lpOptional, DWORD dwOptionalLength) {
  std::lock_guard<std::mutex> g(G().lock);
  Handle* r = Find(hRequest);
  auto failure = G().state.failures.find("HttpSendRequestA");
  if (failure != G().state.failures.end()) {
    SetLastError(failure->second);
    return FALSE;
  }
  Send& s = r->send;
  s.bodyPointerNull = lpOptional == nullptr;
  s.bodyLength = dwOptionalLength;
  s.body = lpOptional ? std::string(static_cast<const char*>(lpOptional), dwOptionalLength) : std::string();
  G().state.sends.push_back(s);
  r->reply = G().state.replies.empty() ? Reply() : G().state.replies.front();
  if (!G().state.replies.empty()) G().state.replies.pop_front();
  r->offset = 0;
  r->sent = true;
  SetLastError(r->async ? ERROR_IO_PENDING : 0);
  return r->async ? FALSE : TRUE;
}

BOOL WINAPI HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer, LPDWORD lpdwBufferLength, LPDWORD) {
  std::lock_guard<std::mutex> g(G().lock);
  Handle* r = Find(hRequest);
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
  std::lock_guard<std::mutex> g(G().lock);
  return Take(hFile, dwNumberOfBytesToRead, lpBuffer, lpdwNumberOfBytesRead);
}

BOOL WINAPI InternetReadFileExA(HINTERNET hFile, LPINTERNET_BUFFERSA lpBuffersOut, DWORD, DWORD_PTR) {
  std::lock_guard<std::mutex> g(G().lock);
  return Take(hFile, lpBuffersOut->dwBufferLength, lpBuffersOut->lpvBuffer, &lpBuffersOut->dwBufferLength);
}

BOOL WINAPI InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD) {
  std::lock_guard<std::mutex> g(G().lock);
  Handle* h = Find(hInternet);
  if (!h) return TRUE;
  if (dwOption == INTERNET_OPTION_CONNECT_TIMEOUT && h->kind == kRoot) {
    G().state.connectTimeout = *static_cast<DWORD*>(lpBuffer);
  } else if (h->kind == kRequest && dwOption == INTERNET_OPTION_SECURITY_FLAGS) {
    h->send.securityFlags |= *static_cast<DWORD*>(lpBuffer);
  } else if (h->kind == kRequest && dwOption == INTERNET_OPTION_PROXY_USERNAME) {
    h->send.proxyUser = static_cast<const char*>(lpBuffer);
  }
  return TRUE;
}

INTERNET_STATUS_CALLBACK WINAPI InternetSetStatusCallbackA(HINTERNET hInternet, INTERNET_STATUS_CALLBACK lpfnCallback) {
  std::lock_guard<std::mutex> g(G().lock);
  Handle* h = Find(hInternet);
  if (h) std::swap(h->callback, lpfnCallback);
  return h ? lpfnCallback : INTERNET_INVALID_STATUS_CALLBACK;
}

BOOL WINAPI InternetCloseHandle(HINTERNET hInternet) {
  std::lock_guard<std::mutex> g(G().lock);
  static const char* kNames[] = {"root", "connect", "request"};
  Handle* h = Find(hInternet);
  if (!h) return FALSE;
  G().state.closed.push_back(kNames[h->kind]);
  G().handles.erase(reinterpret_cast<uintptr_t>(hInternet));
  return TRUE;
}

DWORD WINAPI InternetErrorDlg(HWND, HINTERNET, DWORD, DWORD, LPVOID*) {
  std::lock_guard<std::mutex> g(G().lock);
  ++G().state.dialogs;
  if (G().state.dialog.empty()) return ERROR_CANCELLED;
  DWORD answer = G().state.dialog.front();
  G().state.dialog.pop_front();
  return answer;
}

}  // extern "C"
