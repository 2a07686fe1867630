// Shared support of the WinINet layer tests: a recorder of status callbacks
// that tests wait on (condition variable, generous deadline), the three
// handles of one request, one exchange as the module makes it (synchronous
// or asynchronous), a credential prompt, and the fixture with one loopback
// server.
#ifndef QMX_TESTS_WININET_SUPPORT_H
#define QMX_TESTS_WININET_SUPPORT_H

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qmxloopback/LoopbackServer.h"
#include "qmxwininet_ext.h"
#include "wininet.h"

namespace wintest {

constexpr auto kDeadline = std::chrono::seconds(30);
constexpr DWORD kFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES;

struct Note {
  HINTERNET handle;
  DWORD_PTR context;
  DWORD status;
  std::string text;  // string information
  INTERNET_ASYNC_RESULT result{};
  HINTERNET created = nullptr;  // HANDLE_CREATED / HANDLE_CLOSING
};

// Collects every status callback of the process.
class Recorder {
 public:
  using Pred = std::function<bool(const Note&)>;
  // Never destroyed: the layer's threads may still report while the
  // process exits.
  static Recorder& Get() {
    static Recorder* r = new Recorder;
    return *r;
  }

  static void CALLBACK Callback(HINTERNET h, DWORD_PTR ctx, DWORD status, LPVOID info, DWORD len) {
    Note n{h, ctx, status, {}, {}, nullptr};
    if (status == INTERNET_STATUS_REQUEST_COMPLETE && info && len == sizeof(INTERNET_ASYNC_RESULT))
      std::memcpy(&n.result, info, sizeof n.result);
    else if ((status == INTERNET_STATUS_HANDLE_CREATED || status == INTERNET_STATUS_HANDLE_CLOSING) && info)
      std::memcpy(&n.created, info, sizeof n.created);
    else if (info && len && status != INTERNET_STATUS_REQUEST_SENT && status != INTERNET_STATUS_RESPONSE_RECEIVED)
      n.text.assign(static_cast<const char*>(info), strnlen(static_cast<const char*>(info), len));
    Recorder& r = Get();
    std::function<void(const Note&)> hook;
    {
      std::lock_guard<std::mutex> lock(r.m_mu);
      r.m_notes.push_back(n);
      hook = r.m_hook;
      r.m_cv.notify_all();
    }
    if (hook) hook(n);
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(m_mu);
    m_notes.clear();
    m_hook = nullptr;
  }
  // Runs inside every callback, after it was recorded.
  void SetHook(std::function<void(const Note&)> h) {
    std::lock_guard<std::mutex> lock(m_mu);
    m_hook = std::move(h);
  }
  std::vector<Note> Notes() const {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_notes;
  }
  // Waits for the count-th note (1-based) matching pred.
  bool WaitFor(const Pred& pred, size_t count = 1) {
    std::unique_lock<std::mutex> lock(m_mu);
    return m_cv.wait_for(lock, kDeadline, [&] { return Count(pred) >= count; });
  }
  bool WaitClosing(HINTERNET h) {
    return WaitFor([h](const Note& n) { return n.status == INTERNET_STATUS_HANDLE_CLOSING && n.created == h; });
  }
  size_t Completions(DWORD_PTR ctx) {
    std::lock_guard<std::mutex> lock(m_mu);
    return Count(IsComplete(ctx));
  }
  // Waits for the count-th REQUEST_COMPLETE of a context and returns it.
  INTERNET_ASYNC_RESULT WaitComplete(DWORD_PTR ctx, size_t count = 1) {
    EXPECT_TRUE(WaitFor(IsComplete(ctx), count)) << "no completion " << count << " for context " << ctx;
    std::lock_guard<std::mutex> lock(m_mu);
    size_t seen = 0;
    for (const auto& x : m_notes)
      if (IsComplete(ctx)(x) && ++seen == count) return x.result;
    return INTERNET_ASYNC_RESULT{0, 0xFFFFFFFF};
  }

 private:
  static Pred IsComplete(DWORD_PTR ctx) {
    return [ctx](const Note& n) { return n.context == ctx && n.status == INTERNET_STATUS_REQUEST_COMPLETE; };
  }
  size_t Count(const Pred& pred) const {
    size_t n = 0;
    for (const auto& x : m_notes) n += pred(x) ? 1 : 0;
    return n;
  }
  mutable std::mutex m_mu;
  std::condition_variable m_cv;
  std::vector<Note> m_notes;
  std::function<void(const Note&)> m_hook;
};

// HANDLE_CLOSING was reported for h, and nothing after it.
inline void ExpectClosingLast(HINTERNET h) {
  bool closingSeen = false;
  for (const auto& n : Recorder::Get().Notes()) {
    if (n.handle != h) continue;
    EXPECT_FALSE(closingSeen) << "status " << n.status << " after HANDLE_CLOSING";
    closingSeen |= n.status == INTERNET_STATUS_HANDLE_CLOSING;
  }
  EXPECT_TRUE(closingSeen);
}

// The three handles of one request.
struct Handles {
  HINTERNET root = nullptr, connect = nullptr, request = nullptr;
  void Close() {
    for (HINTERNET h : {request, connect, root})
      if (h) InternetCloseHandle(h);
    request = connect = root = nullptr;
  }
};

// An option set before the request is sent, on the root (before the connect
// and request handles are made, so they inherit it) or on the request.
struct Setting {
  DWORD option;
  DWORD value;
  bool onRoot;
};

// What one request is opened with; the defaults are a plain direct GET.
struct Req {
  bool async = false;
  uint16_t port = 0;
  std::string path = "/";
  DWORD_PTR ctx = 1;
  DWORD flags = kFlags;
  std::vector<Setting> settings;
  std::string host = "127.0.0.1";
  DWORD access = INTERNET_OPEN_TYPE_DIRECT;
  const char* proxy = nullptr;
  const char* bypass = nullptr;
  const char* verb = "GET";
  const char* user = "";
  const char* password = "";
};

inline Handles Open(const Req& q) {
  Handles h;
  h.root = InternetOpenA("testAgent", q.access, q.proxy, q.bypass, q.async ? INTERNET_FLAG_ASYNC : 0);
  EXPECT_NE(h.root, nullptr) << GetLastError();
  InternetSetStatusCallbackA(h.root, &Recorder::Callback);
  auto apply = [&q](HINTERNET on, bool root) {
    for (const Setting& s : q.settings)
      if (s.onRoot == root) {
        EXPECT_TRUE(InternetSetOptionA(on, s.option, const_cast<DWORD*>(&s.value), sizeof s.value));
      }
  };
  apply(h.root, true);
  h.connect = InternetConnectA(h.root, q.host.c_str(), q.port, q.user, q.password, INTERNET_SERVICE_HTTP, 0, q.ctx);
  EXPECT_NE(h.connect, nullptr) << GetLastError();
  const char* accept[] = {"*", nullptr};
  h.request = HttpOpenRequestA(h.connect, q.verb, q.path.c_str(), "HTTP/1.1", "", accept, q.flags, q.ctx);
  EXPECT_NE(h.request, nullptr) << GetLastError();
  apply(h.request, false);
  return h;
}

inline DWORD StatusCode(HINTERNET req) {
  DWORD code = 0, size = sizeof code;
  EXPECT_TRUE(HttpQueryInfoA(req, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE, &code, &size, nullptr))
      << GetLastError();
  return code;
}

// Reads a synchronous body to its end; false (with *error) on a failed read.
inline bool ReadAllSync(HINTERNET req, std::string& out, DWORD* error = nullptr) {
  std::vector<char> buf(64 * 1024);
  for (DWORD got = 1; got;) {
    if (!InternetReadFile(req, buf.data(), static_cast<DWORD>(buf.size()), &got)) {
      if (error) *error = GetLastError();
      return false;
    }
    out.append(buf.data(), got);
  }
  return true;
}

// Reads an asynchronous body the way the module does: no-wait reads, and on
// ERROR_IO_PENDING the next REQUEST_COMPLETE of ctx. Stops at the end (true),
// a failure (false, *error), or, with stopAt, once that many bytes are in
// and the next read went pending (false, *error = ERROR_IO_PENDING).
inline bool ReadAllAsync(HINTERNET req, DWORD_PTR ctx, std::string& out, DWORD* error = nullptr,
                         size_t stopAt = SIZE_MAX) {
  char buf[2048];
  INTERNET_BUFFERSA b{};
  b.dwStructSize = sizeof b;
  size_t waited = Recorder::Get().Completions(ctx);
  for (;;) {
    b.lpvBuffer = buf;
    b.dwBufferLength = sizeof buf - 1;
    if (InternetReadFileExA(req, &b, IRF_ASYNC | IRF_NO_WAIT, ctx)) {
      if (b.dwBufferLength == 0) return true;
      out.append(buf, b.dwBufferLength);
      continue;
    }
    DWORD e = GetLastError();
    if (e == ERROR_IO_PENDING && out.size() < stopAt) {
      INTERNET_ASYNC_RESULT r = Recorder::Get().WaitComplete(ctx, ++waited);
      if (r.dwResult) continue;
      e = r.dwError;
    }
    if (error) *error = e;
    return false;
  }
}

// One exchange as the caller sees it.
struct Outcome {
  DWORD sendError = 0;  // 0: the send succeeded
  DWORD status = 0;     // of the final reply
  DWORD readError = 0;  // 0: the body was read to its end
  std::string body;
};

// Sends the request of h (opened with ctx) and reads the body to its end or
// the first failure.
inline Outcome Exchange(bool async, const Handles& h, DWORD_PTR ctx) {
  Outcome o;
  const size_t before = Recorder::Get().Completions(ctx);
  if (HttpSendRequestA(h.request, nullptr, 0, nullptr, 0)) {
    EXPECT_FALSE(async) << "an asynchronous send goes pending";
  } else if (async && GetLastError() == ERROR_IO_PENDING) {
    INTERNET_ASYNC_RESULT r = Recorder::Get().WaitComplete(ctx, before + 1);
    if (!r.dwResult) o.sendError = r.dwError;
  } else {
    o.sendError = GetLastError();
    EXPECT_NE(o.sendError, 0u);
  }
  if (o.sendError) return o;
  o.status = StatusCode(h.request);
  if (async)
    ReadAllAsync(h.request, ctx, o.body, &o.readError);
  else
    ReadAllSync(h.request, o.body, &o.readError);
  return o;
}

inline std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

// A credential prompt that records what it was asked and answers with
// user/password, or declines when answer is false.
struct PromptLog {
  PromptLog(std::string u = "", std::string p = "", bool a = true)
      : user(std::move(u)), password(std::move(p)), answer(a) {}
  std::string user, password;
  bool answer = true;
  int calls = 0;
  bool fProxy = false;
  std::string host, realm, scheme;
  INTERNET_PORT port = 0;
  static BOOL CALLBACK Prompt(const QMX_CREDENTIAL_REQUEST* q, LPSTR u, DWORD cu, LPSTR p, DWORD cp, LPVOID data) {
    auto* log = static_cast<PromptLog*>(data);
    ++log->calls;
    log->fProxy = q->fProxy;
    log->host = q->lpszHost;
    log->port = q->nPort;
    log->realm = q->lpszRealm;
    log->scheme = q->lpszScheme;
    std::snprintf(u, cu, "%s", log->user.c_str());
    std::snprintf(p, cp, "%s", log->password.c_str());
    return log->answer;
  }
};

// One loopback server and one request's handles; process-wide settings a
// test may change are put back.
class LayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Recorder::Get().Clear();
    ASSERT_TRUE(m_server.Start());
  }
  void TearDown() override {
    m_handles.Close();
    QmxInternetSetCredentialPrompt(nullptr, nullptr);
    QmxInternetSetTrustedCertificates(nullptr);
    m_server.ReleaseStalled();
    m_server.Stop();
  }
  Req At(const char* path, DWORD_PTR ctx = 1, bool async = false) {
    Req q;
    q.async = async;
    q.port = m_server.Port();
    q.path = path;
    q.ctx = ctx;
    return q;
  }
  // Opens q's handles (closing the previous ones) and sends synchronously:
  // the status, or 0 with m_lastError.
  DWORD Get(const Req& q) {
    m_handles.Close();
    m_handles = Open(q);
    if (HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0)) return StatusCode(m_handles.request);
    m_lastError = GetLastError();
    return 0;
  }
  qmxloopback::LoopbackServer m_server;
  Handles m_handles;
  DWORD m_lastError = 0;
};

}  // namespace wintest

#endif
