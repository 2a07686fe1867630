#include "FakeWininet.h"

#include <string.h>

#include <algorithm>
#include <map>
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

// A new handle of `kind` under `parent`: it takes the parent's callback, mode
// and what its sends carry so far.
Handle Child(HINTERNET parent, Kind kind) {
  Handle* p = Find(parent);
  Handle h = p ? *p : Handle();
  h.kind = kind;
  return h;
}

HINTERNET Add(const Handle& h) {
  uintptr_t id = G().next++;
  G().handles[id] = h;
  if (h.kind == kRequest) G().lastRequest = id;
  return reinterpret_cast<HINTERNET>(id);
}

// Hands out up to `want` bytes of the reply; false (12030) past failAfter.
bool Take(HINTERNET h, DWORD want, void* out, DWORD* got) {
  std::lock_guard<std::mutex> g(G().lock);
  Handle* r = Find(h);
  if (!r || (r->reply.failAfter != std::string::npos && r->offset >= r->reply.failAfter)) {
    SetLastError(ERROR_INTERNET_CONNECTION_ABORTED);
    return false;
  }
  size_t limit = std::min(r->reply.body.size(), r->reply.failAfter);
  size_t n = std::min<size_t>(want, limit - std::min(limit, r->offset));
  memcpy(out, r->reply.body.data() + r->offset, n);
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
}
void PushReply(const Reply& reply) {
  std::lock_guard<std::mutex> g(G().lock);
  G().state.replies.push_back(reply);
}
void PushDialogAnswer(DWORD answer) {
  std::lock_guard<std::mutex> g(G().lock);
  G().state.dialog.push_back(answer);
}
void FailSends(DWORD error) {
  std::lock_guard<std::mutex> g(G().lock);
  G().state.sendError = error;
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
  return Add(h);
}

HINTERNET WINAPI InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort, LPCSTR, LPCSTR,
                                  DWORD, DWORD, DWORD_PTR) {
  std::lock_guard<std::mutex> g(G().lock);
  Handle h = Child(hInternet, kConnect);
  h.send.host = lpszServerName;
  h.send.port = nServerPort;
  return Add(h);
}

HINTERNET WINAPI HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName, LPCSTR, LPCSTR, LPCSTR*,
                                  DWORD dwFlags, DWORD_PTR dwContext) {
  std::lock_guard<std::mutex> g(G().lock);
  Handle h = Child(hConnect, kRequest);
  h.send.verb = lpszVerb;
  h.send.object = lpszObjectName;
  h.send.requestFlags = dwFlags;
  h.send.context = dwContext;
  return Add(h);
}

BOOL WINAPI HttpSendRequestA(HINTERNET hRequest, LPCSTR, DWORD, LPVOID lpOptional, DWORD dwOptionalLength) {
  std::lock_guard<std::mutex> g(G().lock);
  Handle* r = Find(hRequest);
  if (G().state.sendError) {
    SetLastError(G().state.sendError);
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
  SetLastError(r->async ? ERROR_IO_PENDING : 0);
  return r->async ? FALSE : TRUE;
}

BOOL WINAPI HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer, LPDWORD lpdwBufferLength, LPDWORD) {
  std::lock_guard<std::mutex> g(G().lock);
  Handle* r = Find(hRequest);
  DWORD value = 0;
  if (dwInfoLevel == (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE)) {
    value = r->reply.status;
  } else if (dwInfoLevel == (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH) && r->reply.withLength) {
    value = (DWORD)r->reply.body.size();
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
  return Take(hFile, dwNumberOfBytesToRead, lpBuffer, lpdwNumberOfBytesRead);
}

BOOL WINAPI InternetReadFileExA(HINTERNET hFile, LPINTERNET_BUFFERSA lpBuffersOut, DWORD, DWORD_PTR) {
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
  return G().handles.erase(reinterpret_cast<uintptr_t>(hInternet)) ? TRUE : FALSE;
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
