// Status callbacks of asynchronous sessions run on the layer's worker: what a
// callback asks of the layer (a new send, reads, a close that cancels a
// running transfer) is carried out once it returns, without deadlock, and
// the order of the reports holds (HANDLE_CLOSING last, even behind a report
// still running).
#include <atomic>
#include <future>

#include "WininetTestSupport.h"

using namespace wintest;
using qmxloopback::Reply;
using Request = qmxloopback::ReceivedRequest;

namespace {

using CallbackThreadTest = LayerTest;

// Reads what is buffered; true at the body's end, false when the read went
// pending (the next REQUEST_COMPLETE brings more).
bool DrainNoWait(HINTERNET req, DWORD_PTR ctx, std::string& out) {
  char buf[256];
  INTERNET_BUFFERSA b{};
  b.dwStructSize = sizeof b;
  for (;;) {
    b.lpvBuffer = buf;
    b.dwBufferLength = sizeof buf;
    if (!InternetReadFileExA(req, &b, IRF_ASYNC | IRF_NO_WAIT, ctx)) return false;
    if (b.dwBufferLength == 0) return true;
    out.append(buf, b.dwBufferLength);
  }
}

TEST_F(CallbackThreadTest, CallbackSendsAgainReadsAndCloses) {
  m_server.SetHandler([](const Request& q) { return Reply::Text(200, "body of " + q.target); });
  std::atomic<int> completions{0};
  std::string first, second;
  HINTERNET req = nullptr;
  // The first completion reads its body and sends the same request again;
  // the second reads that body and closes the request, all from callbacks.
  Recorder::Get().SetHook([&](const Note& n) {
    if (n.status != INTERNET_STATUS_REQUEST_COMPLETE || n.context != 61) return;
    ASSERT_EQ(n.result.dwResult, 1u) << n.result.dwError;
    if (completions == 0) {
      if (!DrainNoWait(req, 61, first)) return;
      ++completions;
      EXPECT_FALSE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    } else if (completions == 1) {
      if (!DrainNoWait(req, 61, second)) return;
      ++completions;
      EXPECT_TRUE(InternetCloseHandle(req));
    }
  });
  m_handles = Open(At("/again", 61, true));
  req = m_handles.request;
  EXPECT_FALSE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
  ASSERT_TRUE(Recorder::Get().WaitClosing(req));
  m_handles.request = nullptr;
  EXPECT_EQ(first, "body of /again");
  EXPECT_EQ(second, "body of /again");
  EXPECT_EQ(m_server.RequestCount(), 2u);
  ExpectClosingLast(req);
}

// A close from inside a callback cannot wait for the worker (the callback
// runs on it): the transfer is cancelled as soon as the callback returns,
// its connection closed, and nothing but HANDLE_CLOSING follows; the pending
// read never completes.
TEST_F(CallbackThreadTest, CloseInsideCallbackCancelsTheRunningTransfer) {
  m_server.SetHandler([](const Request& q) {
    Reply r = Reply::Text(200, Pattern(200000));
    if (q.target == "/stall") r.stallAfterBody = 100;
    return r;
  });
  HINTERNET req = nullptr;
  std::atomic<bool> closeReturned{false};
  DWORD readError = 0;
  char buf[4096];
  INTERNET_BUFFERSA b{};
  Recorder::Get().SetHook([&](const Note& n) {
    if (n.status != INTERNET_STATUS_REQUEST_COMPLETE || n.context != 71 || n.handle != req) return;
    // A fill read that has to wait for the stalled body goes pending.
    b.dwStructSize = sizeof b;
    b.lpvBuffer = buf;
    b.dwBufferLength = sizeof buf;
    while (InternetReadFileExA(req, &b, 0, 71)) b.dwBufferLength = sizeof buf;
    readError = GetLastError();
    EXPECT_TRUE(InternetCloseHandle(req));
    closeReturned = true;
  });
  m_handles = Open(At("/stall", 71, true));
  req = m_handles.request;
  EXPECT_FALSE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
  ASSERT_TRUE(Recorder::Get().WaitClosing(req));
  m_handles.request = nullptr;
  EXPECT_TRUE(closeReturned);
  EXPECT_EQ(readError, static_cast<DWORD>(ERROR_IO_PENDING));
  // The cancel ran: once the server goes on, it finds the connection
  // closed (a transfer left running would keep it for reuse).
  m_server.ReleaseStalled();
  EXPECT_TRUE(m_server.WaitForConnectionsClosed());
  EXPECT_EQ(Recorder::Get().Completions(71), 1u) << "the cancelled read completed";
  ExpectClosingLast(req);
}

// A close on the caller's thread while a report of the handle still runs on
// the worker (the send failed, so no transfer holds the close up): its
// HANDLE_CLOSING waits behind that report instead of overtaking it.
TEST_F(CallbackThreadTest, HandleClosingWaitsForTheReportStillRunning) {
  std::promise<void> entered, release;
  std::shared_future<void> go = release.get_future().share();
  Recorder::Get().SetHook([&entered, go](const Note& n) {
    if (n.status != INTERNET_STATUS_REQUEST_COMPLETE || n.context != 81) return;
    entered.set_value();
    go.wait_for(kDeadline);
  });
  Req q = At("/", 81, true);
  q.port = qmxloopback::UnusedPort();
  m_handles = Open(q);
  HINTERNET req = m_handles.request;
  m_handles.request = nullptr;
  EXPECT_FALSE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
  const bool running = entered.get_future().wait_for(kDeadline) == std::future_status::ready;
  EXPECT_TRUE(InternetCloseHandle(req));
  const auto notes = Recorder::Get().Notes();
  release.set_value();
  ASSERT_TRUE(running) << "no REQUEST_COMPLETE";
  // (Only req's: the handles of the test before may still report closing.)
  for (const Note& n : notes)
    EXPECT_FALSE(n.handle == req && n.status == INTERNET_STATUS_HANDLE_CLOSING) << "reported during the close";
  ASSERT_TRUE(Recorder::Get().WaitClosing(req));
  ExpectClosingLast(req);
}

// A synchronous call that would wait for the network cannot run inside a
// callback (it would wait for its own thread): it fails at once instead of
// hanging, and works as usual outside.
TEST_F(CallbackThreadTest, SynchronousWaitInsideCallbackFailsAtOnce) {
  Handles sync = Open(At("/sync", 91));
  std::promise<std::pair<BOOL, DWORD>> inside;
  Recorder::Get().SetHook([&](const Note& n) {
    if (n.status != INTERNET_STATUS_REQUEST_COMPLETE || n.context != 92) return;
    BOOL ok = HttpSendRequestA(sync.request, nullptr, 0, nullptr, 0);
    inside.set_value({ok, GetLastError()});
  });
  m_handles = Open(At("/async", 92, true));
  EXPECT_FALSE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  auto answer = inside.get_future();
  ASSERT_EQ(answer.wait_for(kDeadline), std::future_status::ready) << "the callback hangs";
  const std::pair<BOOL, DWORD> got = answer.get();
  EXPECT_FALSE(got.first);
  EXPECT_EQ(got.second, static_cast<DWORD>(ERROR_INTERNET_INCORRECT_HANDLE_STATE));
  Recorder::Get().SetHook(nullptr);
  Outcome o = Exchange(false, sync, 91);
  EXPECT_EQ(o.sendError, 0u);
  EXPECT_EQ(o.body, "hello");
  sync.Close();
}

}  // namespace
