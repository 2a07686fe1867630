// The asynchronous path end to end against the loopback server: pending
// send, completion, reads that go pending and resume, every byte in order,
// failures of truncated bodies, and closing a request while it runs.
#include <algorithm>
#include <atomic>

#include "WininetTestSupport.h"

using namespace wintest;
using qmxloopback::LoopbackServer;
using qmxloopback::Reply;

namespace {

class AsyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Recorder::Get().Clear();
    ASSERT_TRUE(m_server.Start());
  }
  void TearDown() override {
    m_handles.Close();
    m_server.ReleaseStalled();
    m_server.Stop();
  }
  // Sends and waits for the first completion; returns the status code.
  DWORD SendAndWait(const char* path, DWORD_PTR ctx) {
    m_handles = Open(true, "127.0.0.1", m_server.Port(), path, ctx);
    EXPECT_FALSE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    INTERNET_ASYNC_RESULT r = Recorder::Get().WaitComplete(ctx);
    EXPECT_EQ(r.dwResult, 1u);
    EXPECT_EQ(r.dwError, 0u);
    return StatusCode(m_handles.request);
  }

  LoopbackServer m_server;
  Handles m_handles;
};

struct BodyCase {
  const char* name;
  Reply::Framing framing;
  size_t size;
  bool drip;
};

class AsyncBodyTest : public AsyncTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(AsyncBodyTest, EveryByteArrivesInOrder) {
  const BodyCase& c = GetParam();
  std::string body = Pattern(c.size);
  m_server.SetHandler([&](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, body);
    r.framing = c.framing;
    r.chunkSize = 777;
    r.drip = c.drip;
    return r;
  });
  ASSERT_EQ(SendAndWait("/body", 7), 200u);
  std::string got;
  DWORD err = 0;
  ASSERT_TRUE(ReadAllAsync(m_handles.request, 7, got, &err)) << err;
  EXPECT_EQ(got.size(), body.size());
  EXPECT_TRUE(got == body);
  // The end stays the end.
  char b;
  INTERNET_BUFFERSA ib{};
  ib.dwStructSize = sizeof ib;
  ib.lpvBuffer = &b;
  ib.dwBufferLength = 1;
  EXPECT_TRUE(InternetReadFileExA(m_handles.request, &ib, IRF_ASYNC | IRF_NO_WAIT, 7));
  EXPECT_EQ(ib.dwBufferLength, 0u);
}

INSTANTIATE_TEST_SUITE_P(Framings, AsyncBodyTest,
                         ::testing::Values(BodyCase{"length", Reply::Framing::kContentLength, 100000, false},
                                           BodyCase{"chunked", Reply::Framing::kChunked, 50000, false},
                                           BodyCase{"close", Reply::Framing::kClose, 70000, false},
                                           BodyCase{"drip", Reply::Framing::kChunked, 300, true},
                                           BodyCase{"empty", Reply::Framing::kContentLength, 0, false},
                                           BodyCase{"large", Reply::Framing::kContentLength, 3 << 20, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AsyncTest, StatusReportsComeInOrderFromLayerThreads) {
  ASSERT_EQ(SendAndWait("/", 11), 200u);
  // Name resolution is reported only the first time a host is looked up in
  // the process; leave it out of the comparison.
  std::vector<DWORD> s;
  for (DWORD x : Recorder::Get().Statuses(11))
    if (x != INTERNET_STATUS_RESOLVING_NAME && x != INTERNET_STATUS_NAME_RESOLVED) s.push_back(x);
  std::vector<DWORD> want = {
      INTERNET_STATUS_HANDLE_CREATED,      INTERNET_STATUS_HANDLE_CREATED,    INTERNET_STATUS_CONNECTING_TO_SERVER,
      INTERNET_STATUS_CONNECTED_TO_SERVER, INTERNET_STATUS_SENDING_REQUEST,   INTERNET_STATUS_REQUEST_SENT,
      INTERNET_STATUS_RECEIVING_RESPONSE,  INTERNET_STATUS_RESPONSE_RECEIVED, INTERNET_STATUS_REQUEST_COMPLETE};
  EXPECT_EQ(s, want);
  auto notes = Recorder::Get().Notes();
  // HANDLE_CREATED runs on the caller's thread and names the new handle;
  // the completion comes from a thread of the layer.
  EXPECT_EQ(notes[0].thread, std::this_thread::get_id());
  EXPECT_EQ(notes[1].created, m_handles.request);
  EXPECT_NE(notes.back().thread, std::this_thread::get_id());
  for (const auto& n : notes) {
    if (n.status == INTERNET_STATUS_CONNECTING_TO_SERVER) {
      EXPECT_EQ(n.text, "127.0.0.1");
    }
  }
}

TEST_F(AsyncTest, NoWaitReadGoesPendingAndResumesWithData) {
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, "0123456789");
    r.stallAfterBody = 4;
    return r;
  });
  ASSERT_EQ(SendAndWait("/", 12), 200u);
  char buf[64] = {};
  INTERNET_BUFFERSA b{};
  b.dwStructSize = sizeof b;
  std::string got;
  // Take what comes before the stall, waiting for completions as needed.
  size_t completions = 1;
  while (got.size() < 4) {
    b.lpvBuffer = buf;
    b.dwBufferLength = sizeof buf;
    if (InternetReadFileExA(m_handles.request, &b, IRF_ASYNC | IRF_NO_WAIT, 12)) {
      ASSERT_GT(b.dwBufferLength, 0u);
      got.append(buf, b.dwBufferLength);
    } else {
      ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
      ASSERT_EQ(Recorder::Get().WaitComplete(12, ++completions).dwResult, 1u);
    }
  }
  EXPECT_EQ(got, "0123");
  // Now the server holds back: the read waits and leaves the buffer alone.
  b.lpvBuffer = buf;
  b.dwBufferLength = sizeof buf;
  ASSERT_FALSE(InternetReadFileExA(m_handles.request, &b, IRF_ASYNC | IRF_NO_WAIT, 12));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(b.dwBufferLength, sizeof buf);
  m_server.ReleaseStalled();
  INTERNET_ASYNC_RESULT r = Recorder::Get().WaitComplete(12, ++completions);
  EXPECT_EQ(r.dwResult, 1u);
  std::string rest;
  ASSERT_TRUE(ReadAllAsync(m_handles.request, 12, rest, nullptr, completions));
  EXPECT_EQ(got + rest, "0123456789");
}

TEST_F(AsyncTest, FillReadCompletesIntoTheSameBuffer) {
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, "abcdefghij");
    r.stallAfterBody = 2;
    return r;
  });
  ASSERT_EQ(SendAndWait("/", 13), 200u);
  char buf[8] = {};
  DWORD count = 99;
  // Ask for more than is there: the bytes so far are placed at once, the
  // rest follows into the same buffer and the count comes with the completion.
  bool done = InternetReadFile(m_handles.request, buf, 6, &count);
  if (!done) {
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    m_server.ReleaseStalled();
    EXPECT_EQ(Recorder::Get().WaitComplete(13, 2).dwResult, 1u);
  }
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(std::string(buf, 6), "abcdef");
}

TEST_F(AsyncTest, TruncatedBodiesFailTheRead) {
  struct Fault {
    const char* path;
    DWORD code;
  } faults[] = {{"/short", ERROR_INTERNET_CONNECTION_ABORTED},
                {"/chunk", ERROR_INTERNET_CONNECTION_ABORTED},
                {"/reset", ERROR_INTERNET_CONNECTION_RESET}};
  m_server.Route("/short", [](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, Pattern(5000));
    r.contentLength = 9000;
    return r;
  });
  m_server.Route("/chunk", [](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, Pattern(5000));
    r.framing = Reply::Framing::kChunked;
    r.brokenChunking = true;
    return r;
  });
  m_server.Route("/reset", [](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, Pattern(5000));
    r.resetAfterBody = 1000;
    return r;
  });
  DWORD_PTR ctx = 20;
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.path);
    ASSERT_EQ(SendAndWait(f.path, ++ctx), 200u);
    std::string got;
    DWORD err = 0;
    EXPECT_FALSE(ReadAllAsync(m_handles.request, ctx, got, &err));
    EXPECT_EQ(err, f.code);
    m_handles.Close();
  }
}

TEST_F(AsyncTest, CloseWhileRunningEndsWithHandleClosing) {
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, Pattern(100000));
    r.stallAfterBody = 10;
    return r;
  });
  ASSERT_EQ(SendAndWait("/", 31), 200u);
  char buf[4096];
  INTERNET_BUFFERSA b{};
  b.dwStructSize = sizeof b;
  b.lpvBuffer = buf;
  b.dwBufferLength = sizeof buf;
  while (InternetReadFileExA(m_handles.request, &b, 0, 31)) b.dwBufferLength = sizeof buf;
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  HINTERNET req = m_handles.request;
  EXPECT_TRUE(InternetCloseHandle(req));
  m_handles.request = nullptr;
  // The handle is dead at once.
  DWORD code = 0, size = sizeof code;
  EXPECT_FALSE(HttpQueryInfoA(req, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE, &code, &size, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ASSERT_TRUE(Recorder::Get().WaitFor(
      [&](const Note& n) { return n.status == INTERNET_STATUS_HANDLE_CLOSING && n.created == req; }));
  m_server.ReleaseStalled();
  // The rest of the session still works, and nothing more comes for the
  // closed request: its HANDLE_CLOSING is its last report.
  HINTERNET second = HttpOpenRequestA(m_handles.connect, "GET", "/again", nullptr, nullptr, nullptr, 0, 32);
  ASSERT_NE(second, nullptr);
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, "ok"); });
  EXPECT_FALSE(HttpSendRequestA(second, nullptr, 0, nullptr, 0));
  EXPECT_EQ(Recorder::Get().WaitComplete(32).dwResult, 1u);
  InternetCloseHandle(second);
  auto notes = Recorder::Get().Notes();
  bool closingSeen = false;
  for (const auto& n : notes) {
    if (n.context != 31 || n.handle != req) continue;
    EXPECT_FALSE(closingSeen) << "status " << n.status << " after HANDLE_CLOSING";
    if (n.status == INTERNET_STATUS_HANDLE_CLOSING) closingSeen = true;
  }
}

TEST_F(AsyncTest, ClosingTheRootClosesChildrenAndReportsEach) {
  m_handles = Open(true, "127.0.0.1", m_server.Port(), "/", 41);
  HINTERNET req = m_handles.request, conn = m_handles.connect;
  EXPECT_TRUE(InternetCloseHandle(m_handles.root));
  m_handles = Handles{};
  EXPECT_TRUE(Recorder::Get().WaitFor(
      [&](const Note& n) { return n.status == INTERNET_STATUS_HANDLE_CLOSING && n.created == conn; }));
  EXPECT_FALSE(InternetCloseHandle(req));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(InternetCloseHandle(conn));
  // Children report before their parent.
  std::vector<HINTERNET> order;
  for (const auto& n : Recorder::Get().Notes())
    if (n.status == INTERNET_STATUS_HANDLE_CLOSING && (n.created == req || n.created == conn))
      order.push_back(n.created);
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(order[0], req);
  EXPECT_EQ(order[1], conn);
}

TEST_F(AsyncTest, CallbackMayReadAndCloseFromInsideCompletion) {
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, "inside"); });
  std::atomic<bool> closed{false};
  std::string got;
  HINTERNET req = nullptr;
  // The module's pattern: every completion reads on until the read goes
  // pending again; the end of the body closes the request from inside.
  Recorder::Get().SetHook([&](const Note& n) {
    if (n.status != INTERNET_STATUS_REQUEST_COMPLETE || n.context != 51 || closed) return;
    char buf[64];
    INTERNET_BUFFERSA b{};
    b.dwStructSize = sizeof b;
    for (;;) {
      b.lpvBuffer = buf;
      b.dwBufferLength = sizeof buf;
      if (!InternetReadFileExA(req, &b, IRF_ASYNC | IRF_NO_WAIT, 51)) return;  // pending: next completion
      if (b.dwBufferLength == 0) break;
      got.append(buf, b.dwBufferLength);
    }
    closed = true;
    InternetCloseHandle(req);
  });
  m_handles = Open(true, "127.0.0.1", m_server.Port(), "/", 51);
  req = m_handles.request;
  HttpSendRequestA(req, nullptr, 0, nullptr, 0);
  // Its own HANDLE_CLOSING: one of an earlier test's handles may still be
  // on its way.
  ASSERT_TRUE(Recorder::Get().WaitFor(
      [&](const Note& n) { return n.status == INTERNET_STATUS_HANDLE_CLOSING && n.created == req; }));
  m_handles.request = nullptr;
  EXPECT_EQ(got, "inside");
}

TEST_F(AsyncTest, ContextZeroGetsNoCallbacks) {
  m_handles = Open(true, "127.0.0.1", m_server.Port(), "/", 0);
  EXPECT_FALSE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  ASSERT_TRUE(m_server.WaitForRequests(1));
  // A second request with a context on the same root completes after the
  // first was answered; by then the first would have reported.
  HINTERNET other = HttpOpenRequestA(m_handles.connect, "GET", "/x", nullptr, nullptr, nullptr, 0, 52);
  InternetSetStatusCallbackA(other, &Recorder::Callback);
  HttpSendRequestA(other, nullptr, 0, nullptr, 0);
  Recorder::Get().WaitComplete(52);
  InternetCloseHandle(other);
  for (const auto& n : Recorder::Get().Notes()) EXPECT_NE(n.context, 0u);
}

TEST_F(AsyncTest, ConnectionCapMakesExtraRequestsWait) {
  DWORD cap = 2;
  ASSERT_TRUE(InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &cap, sizeof cap));
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, "held");
    r.stallBeforeHeaders = true;
    return r;
  });
  m_handles = Open(true, "127.0.0.1", m_server.Port(), "/0", 60);
  std::vector<HINTERNET> reqs{m_handles.request};
  for (DWORD_PTR i = 1; i < 5; ++i) {
    std::string path = "/" + std::to_string(i);
    reqs.push_back(HttpOpenRequestA(m_handles.connect, "GET", path.c_str(), nullptr, nullptr, nullptr, 0, 60 + i));
  }
  for (HINTERNET r : reqs) HttpSendRequestA(r, nullptr, 0, nullptr, 0);
  ASSERT_TRUE(m_server.WaitForRequests(2));
  m_server.ReleaseStalled();
  for (DWORD_PTR i = 0; i < 5; ++i) EXPECT_EQ(Recorder::Get().WaitComplete(60 + i).dwResult, 1u);
  EXPECT_LE(m_server.PeakConnections(), 2u);
  EXPECT_EQ(m_server.RequestCount(), 5u);
  for (size_t i = 1; i < reqs.size(); ++i) InternetCloseHandle(reqs[i]);
}

}  // namespace

namespace {

TEST_F(AsyncTest, RedirectIsFollowedWithOneCompletion) {
  m_server.Route("/from", [](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(302, "moved");
    r.headers.push_back({"Location", "/to"});
    return r;
  });
  m_server.Route("/to", [](const qmxloopback::ReceivedRequest& q) { return Reply::Text(200, "landed " + q.method); });
  m_handles = Open(true, "127.0.0.1", m_server.Port(), "/from", 71, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_COOKIES,
                   INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, "POST");
  char data[] = "a=1";
  EXPECT_FALSE(HttpSendRequestA(m_handles.request, nullptr, 0, data, 3));
  ASSERT_EQ(Recorder::Get().WaitComplete(71).dwResult, 1u);
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  std::vector<DWORD> s = Recorder::Get().Statuses(71);
  EXPECT_EQ(std::count(s.begin(), s.end(), static_cast<DWORD>(INTERNET_STATUS_REQUEST_COMPLETE)), 1);
  std::string body;
  ASSERT_TRUE(ReadAllAsync(m_handles.request, 71, body));
  EXPECT_EQ(body, "landed GET");  // a POST answered with 302 goes on as GET
  bool redirect = false;
  for (const auto& n : Recorder::Get().Notes())
    if (n.status == INTERNET_STATUS_REDIRECT) redirect = n.text == m_server.Url("/to");
  EXPECT_TRUE(redirect);
  char url[256];
  DWORD len = sizeof url;
  ASSERT_TRUE(InternetQueryOptionA(m_handles.request, INTERNET_OPTION_URL, url, &len));
  EXPECT_EQ(std::string(url), m_server.Url("/to"));
  m_handles.Close();
  // Without automatic redirects the 302 is the reply.
  m_handles =
      Open(true, "127.0.0.1", m_server.Port(), "/from", 72, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT);
  HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0);
  ASSERT_EQ(Recorder::Get().WaitComplete(72).dwResult, 1u);
  EXPECT_EQ(StatusCode(m_handles.request), 302u);
}

TEST_F(AsyncTest, FailuresArriveAsCompletionErrors) {
  m_handles = Open(true, "127.0.0.1", qmxloopback::UnusedPort(), "/", 81);
  EXPECT_FALSE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  INTERNET_ASYNC_RESULT r = Recorder::Get().WaitComplete(81);
  EXPECT_EQ(r.dwResult, 0u);
  EXPECT_EQ(r.dwError, static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT));
  m_handles.Close();
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r;
    r.noReply = true;
    return r;
  });
  m_handles = Open(true, "127.0.0.1", m_server.Port(), "/", 82);
  HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0);
  r = Recorder::Get().WaitComplete(82);
  EXPECT_EQ(r.dwResult, 0u);
  EXPECT_EQ(r.dwError, static_cast<DWORD>(ERROR_HTTP_INVALID_SERVER_RESPONSE));
}

}  // namespace

namespace {

TEST_F(AsyncTest, ManyRequestsWhileOthersAreClosed) {
  m_server.SetHandler([](const qmxloopback::ReceivedRequest& q) {
    Reply r = Reply::Text(200, Pattern(20000));
    r.framing = q.target.back() % 2 ? Reply::Framing::kChunked : Reply::Framing::kContentLength;
    return r;
  });
  constexpr int kCount = 16;
  std::vector<Handles> all;
  for (int i = 0; i < kCount; ++i) {
    std::string path = "/" + std::to_string(i);
    all.push_back(Open(true, "127.0.0.1", m_server.Port(), path.c_str(), 100 + i));
    HttpSendRequestA(all.back().request, nullptr, 0, nullptr, 0);
  }
  // Odd ones are closed at once, whatever state they are in; even ones are
  // read to the end.
  for (int i = 1; i < kCount; i += 2) all[i].Close();
  for (int i = 0; i < kCount; i += 2) {
    ASSERT_EQ(Recorder::Get().WaitComplete(100 + i).dwResult, 1u);
    std::string body;
    ASSERT_TRUE(ReadAllAsync(all[i].request, 100 + i, body));
    EXPECT_TRUE(body == Pattern(20000));
    all[i].Close();
  }
}

}  // namespace
