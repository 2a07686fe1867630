// Shared helpers of the WinINet layer tests: a recorder of status callbacks
// that tests wait on (condition variable, generous deadline), and small
// wrappers that open the three handles.
#ifndef QMX_TESTS_WININET_SUPPORT_H
#define QMX_TESTS_WININET_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qmxloopback/LoopbackServer.h"
#include "qmxwininet_ext.h"
#include "wininet.h"

namespace wintest {

constexpr auto kDeadline = std::chrono::seconds(30);

struct Note {
  HINTERNET handle;
  DWORD_PTR context;
  DWORD status;
  std::string text;  // string information
  DWORD number = 0;  // DWORD information
  INTERNET_ASYNC_RESULT result{};
  HINTERNET created = nullptr;  // HANDLE_CREATED / HANDLE_CLOSING
  std::thread::id thread;
};

// Collects every status callback of the process.
class Recorder {
 public:
  static Recorder& Get() {
    static Recorder r;
    return r;
  }

  static void CALLBACK Callback(HINTERNET h, DWORD_PTR ctx, DWORD status, LPVOID info, DWORD len) {
    Note n{h, ctx, status, {}, 0, {}, nullptr, std::this_thread::get_id()};
    if (status == INTERNET_STATUS_REQUEST_COMPLETE && info && len == sizeof(INTERNET_ASYNC_RESULT))
      std::memcpy(&n.result, info, sizeof n.result);
    else if ((status == INTERNET_STATUS_HANDLE_CREATED || status == INTERNET_STATUS_HANDLE_CLOSING) && info)
      std::memcpy(&n.created, info, sizeof n.created);
    else if ((status == INTERNET_STATUS_REQUEST_SENT || status == INTERNET_STATUS_RESPONSE_RECEIVED) && info &&
             len == 4)
      std::memcpy(&n.number, info, 4);
    else if (info && len)
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
  bool WaitFor(std::function<bool(const Note&)> pred, size_t count = 1) {
    std::unique_lock<std::mutex> lock(m_mu);
    return m_cv.wait_for(lock, kDeadline, [&] {
      size_t n = 0;
      for (const auto& x : m_notes)
        if (pred(x)) ++n;
      return n >= count;
    });
  }
  // Waits for the count-th REQUEST_COMPLETE of a context and returns it.
  INTERNET_ASYNC_RESULT WaitComplete(DWORD_PTR ctx, size_t count = 1) {
    auto isIt = [ctx](const Note& n) { return n.context == ctx && n.status == INTERNET_STATUS_REQUEST_COMPLETE; };
    EXPECT_TRUE(WaitFor(isIt, count)) << "no completion " << count << " for context " << ctx;
    std::lock_guard<std::mutex> lock(m_mu);
    size_t seen = 0;
    for (const auto& x : m_notes)
      if (isIt(x) && ++seen == count) return x.result;
    return INTERNET_ASYNC_RESULT{0, 0xFFFFFFFF};
  }
  std::vector<DWORD> Statuses(DWORD_PTR ctx) const {
    std::lock_guard<std::mutex> lock(m_mu);
    std::vector<DWORD> out;
    for (const auto& x : m_notes)
      if (x.context == ctx) out.push_back(x.status);
    return out;
  }

 private:
  mutable std::mutex m_mu;
  std::condition_variable m_cv;
  std::vector<Note> m_notes;
  std::function<void(const Note&)> m_hook;
};

// The three handles of one request.
struct Handles {
  HINTERNET root = nullptr, connect = nullptr, request = nullptr;
  void Close() {
    if (request) InternetCloseHandle(request);
    if (connect) InternetCloseHandle(connect);
    if (root) InternetCloseHandle(root);
    request = connect = root = nullptr;
  }
};

inline Handles Open(bool async, const std::string& host, INTERNET_PORT port, const char* path, DWORD_PTR ctx,
                    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                                  INTERNET_FLAG_NO_COOKIES,
                    DWORD access = INTERNET_OPEN_TYPE_DIRECT, const char* proxy = nullptr, const char* bypass = nullptr,
                    const char* verb = "GET", const char* user = "", const char* password = "") {
  Handles h;
  h.root = InternetOpenA("testAgent", access, proxy, bypass, async ? INTERNET_FLAG_ASYNC : 0);
  EXPECT_NE(h.root, nullptr) << GetLastError();
  InternetSetStatusCallbackA(h.root, &Recorder::Callback);
  h.connect = InternetConnectA(h.root, host.c_str(), port, user, password, INTERNET_SERVICE_HTTP, 0, ctx);
  EXPECT_NE(h.connect, nullptr) << GetLastError();
  const char* accept[] = {"*", nullptr};
  h.request = HttpOpenRequestA(h.connect, verb, path, "HTTP/1.1", "", accept, flags, ctx);
  EXPECT_NE(h.request, nullptr) << GetLastError();
  return h;
}

inline DWORD StatusCode(HINTERNET req) {
  DWORD code = 0, size = sizeof code;
  EXPECT_TRUE(HttpQueryInfoA(req, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE, &code, &size, nullptr))
      << GetLastError();
  return code;
}

// Reads a synchronous body to its end; returns false (with *error) on a
// failed read.
inline bool ReadAllSync(HINTERNET req, std::string& out, DWORD* error = nullptr, DWORD piece = 1024) {
  std::vector<char> buf(piece);
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(req, buf.data(), piece, &got)) {
      if (error) *error = GetLastError();
      return false;
    }
    if (got == 0) return true;
    out.append(buf.data(), got);
  }
}

// Reads an asynchronous body to its end the way the module does: no-wait
// reads, and on ERROR_IO_PENDING the next REQUEST_COMPLETE of ctx.
inline bool ReadAllAsync(HINTERNET req, DWORD_PTR ctx, std::string& out, DWORD* error = nullptr,
                         size_t completesSoFar = 1) {
  char buf[2048];
  INTERNET_BUFFERSA b{};
  b.dwStructSize = sizeof b;
  size_t waited = completesSoFar;
  for (;;) {
    b.lpvBuffer = buf;
    b.dwBufferLength = sizeof buf - 1;
    if (InternetReadFileExA(req, &b, IRF_ASYNC | IRF_NO_WAIT, ctx)) {
      if (b.dwBufferLength == 0) return true;
      out.append(buf, b.dwBufferLength);
      continue;
    }
    DWORD e = GetLastError();
    if (e != ERROR_IO_PENDING) {
      if (error) *error = e;
      return false;
    }
    INTERNET_ASYNC_RESULT r = Recorder::Get().WaitComplete(ctx, ++waited);
    if (!r.dwResult) {
      if (error) *error = r.dwError;
      return false;
    }
  }
}

// Completions of the requests of one test, for exchanges with many reads
// (an endless body): the request's context is the address of this object,
// and only what the checks need is kept, so waiting stays cheap however many
// reads went pending.
class Completions {
 public:
  DWORD_PTR Context() { return reinterpret_cast<DWORD_PTR>(this); }

  static void CALLBACK Callback(HINTERNET, DWORD_PTR ctx, DWORD status, LPVOID info, DWORD len) {
    if (status != INTERNET_STATUS_REQUEST_COMPLETE && status != INTERNET_STATUS_REDIRECT) return;
    auto* self = reinterpret_cast<Completions*>(ctx);
    std::lock_guard<std::mutex> lock(self->m_mu);
    if (status == INTERNET_STATUS_REDIRECT) {
      ++self->m_redirects;
      return;
    }
    INTERNET_ASYNC_RESULT r{0, 0xFFFFFFFF};
    if (info && len == sizeof r) std::memcpy(&r, info, sizeof r);
    self->m_results.push_back(r);
    self->m_cv.notify_all();
  }
  // The next completion not taken yet; {0, 0xFFFFFFFF} when none came.
  INTERNET_ASYNC_RESULT Next() {
    std::unique_lock<std::mutex> lock(m_mu);
    if (!m_cv.wait_for(lock, kDeadline, [&] { return m_taken < m_results.size(); })) {
      ADD_FAILURE() << "no completion " << m_taken + 1;
      return INTERNET_ASYNC_RESULT{0, 0xFFFFFFFF};
    }
    return m_results[m_taken++];
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_results.size();
  }
  size_t Redirects() const {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_redirects;
  }

 private:
  mutable std::mutex m_mu;
  std::condition_variable m_cv;
  std::vector<INTERNET_ASYNC_RESULT> m_results;
  size_t m_taken = 0, m_redirects = 0;
};

// An option set before the request is sent, on the root (before the connect
// and request handles are made, so they inherit it) or on the request.
struct Setting {
  DWORD option;
  DWORD value;
  bool onRoot;
};

// Opens root, connect and request with the callback of `done`; settings as
// listed.
inline Handles OpenWith(bool async, const std::string& host, INTERNET_PORT port, const char* path, Completions& done,
                        const std::vector<Setting>& settings = {},
                        DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                                      INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES) {
  Handles h;
  h.root = InternetOpenA("testAgent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, async ? INTERNET_FLAG_ASYNC : 0);
  EXPECT_NE(h.root, nullptr) << GetLastError();
  InternetSetStatusCallbackA(h.root, &Completions::Callback);
  for (const Setting& s : settings) {
    if (s.onRoot) {
      EXPECT_TRUE(InternetSetOptionA(h.root, s.option, const_cast<DWORD*>(&s.value), sizeof s.value));
    }
  }
  h.connect = InternetConnectA(h.root, host.c_str(), port, "", "", INTERNET_SERVICE_HTTP, 0, done.Context());
  EXPECT_NE(h.connect, nullptr) << GetLastError();
  h.request = HttpOpenRequestA(h.connect, "GET", path, "HTTP/1.1", "", nullptr, flags, done.Context());
  EXPECT_NE(h.request, nullptr) << GetLastError();
  for (const Setting& s : settings) {
    if (!s.onRoot) {
      EXPECT_TRUE(InternetSetOptionA(h.request, s.option, const_cast<DWORD*>(&s.value), sizeof s.value));
    }
  }
  return h;
}

// One exchange as the caller sees it.
struct Outcome {
  DWORD sendError = 0;  // 0: the send succeeded
  DWORD status = 0;     // of the final reply
  DWORD readError = 0;  // 0: the body was read to its end
  std::string body;     // its first kKeep bytes
  uint64_t bytes = 0;   // every body byte read
  std::chrono::steady_clock::duration elapsed{};
  static constexpr size_t kKeep = 1 << 20;
};

// Sends the request and reads the body to its end or the first failure, as
// the module does: synchronous blocking reads, or asynchronous reads that
// fill a buffer and on ERROR_IO_PENDING wait for the next completion. An
// endless body is counted, not kept.
inline Outcome Exchange(bool async, HINTERNET req, Completions& done) {
  Outcome o;
  auto start = std::chrono::steady_clock::now();
  if (HttpSendRequestA(req, nullptr, 0, nullptr, 0)) {
    EXPECT_FALSE(async) << "an asynchronous send goes pending";
  } else if (async && GetLastError() == ERROR_IO_PENDING) {
    INTERNET_ASYNC_RESULT r = done.Next();
    if (!r.dwResult) o.sendError = r.dwError;
  } else {
    o.sendError = GetLastError();
    EXPECT_NE(o.sendError, 0u);
  }
  if (!o.sendError) {
    o.status = StatusCode(req);
    std::vector<char> buf(64 * 1024);
    for (;;) {
      DWORD got = 0;
      if (!InternetReadFile(req, buf.data(), static_cast<DWORD>(buf.size()), &got)) {
        DWORD e = GetLastError();
        if (!async || e != ERROR_IO_PENDING) {
          o.readError = e;
          break;
        }
        INTERNET_ASYNC_RESULT r = done.Next();  // the count is in `got` now
        if (!r.dwResult) {
          o.readError = r.dwError;
          break;
        }
      }
      if (got == 0) break;
      o.bytes += got;
      if (o.body.size() < Outcome::kKeep)
        o.body.append(buf.data(), std::min<size_t>(got, Outcome::kKeep - o.body.size()));
    }
  }
  o.elapsed = std::chrono::steady_clock::now() - start;
  return o;
}

// Header lines of about `bytes` bytes in all.
inline void PadHeaders(qmxloopback::HeaderList& headers, size_t bytes) {
  for (size_t i = 0, sent = 0; sent < bytes; ++i) {
    headers.push_back({"X-Pad-" + std::to_string(i), std::string(100, 'p')});
    sent += 6 + std::to_string(i).size() + 2 + 100 + 2;
  }
}

inline std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

}  // namespace wintest

#endif
