// Status callbacks of asynchronous sessions run on the layer's worker: what a
// callback asks of the layer (reads, a close that cancels a running
// transfer) is carried out once it returns, without deadlock, and the order
// of the reports holds (HANDLE_CLOSING last, even behind a report still
// running).
#include <atomic>
#include <future>

#include "WininetTestSupport.h"

using namespace wintest;
using qmxloopback::Reply;
using Request = qmxloopback::ReceivedRequest;

namespace {

using CallbackThreadTest = LayerTest;

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

}  // namespace
