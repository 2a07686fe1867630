// A hostile network: bodies cut short, header blocks and trailers without
// end, servers that stall, refuse, loop or never answer. Each must end in a
// failure the caller can see, with WinINet's code: never a short body taken
// for a whole one, never a wait without end. The layer's own deadlines run
// on the manual process clock, so no test waits for them in real time.
#include <tuple>

#include "WininetTestSupport.h"
#include "qmxclock.h"

using namespace wintest;
using qmxloopback::LoopbackServer;
using qmxloopback::Reply;
using Request = qmxloopback::ReceivedRequest;

namespace {

// What the server does, the failure the caller must see, and the body the
// reply would have had: a body read to its end is exactly that, one cut
// short hands out only bytes of it before the failure.
struct FaultCase {
  const char* name;
  std::function<void(LoopbackServer&)> serve;
  DWORD sendError;  // expected; 0 = the send succeeds
  DWORD readError;  // expected; 0 = the body is read to its end
  const char* path = "/";
  std::string body = "fits";
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

// Every request gets a copy of r.
std::function<void(LoopbackServer&)> Serves(Reply r) {
  return [r](LoopbackServer& s) { s.SetHandler([r](const Request&) { return r; }); };
}

Reply Shaped(std::string body, void (*shape)(Reply&)) {
  Reply r = Reply::Text(200, std::move(body));
  shape(r);
  return r;
}

class FaultTest : public LayerTest, public ::testing::WithParamInterface<std::tuple<FaultCase, bool>> {};

TEST_P(FaultTest, EndsWithTheMappedError) {
  const FaultCase& c = std::get<0>(GetParam());
  const bool async = std::get<1>(GetParam());
  c.serve(m_server);
  m_handles = Open(At(c.path, 5, async));
  Outcome o = Exchange(async, m_handles, 5);
  EXPECT_EQ(o.sendError, c.sendError);
  if (o.sendError) return;
  EXPECT_EQ(o.status, 200u);
  EXPECT_EQ(o.readError, c.readError);
  if (c.readError) {
    EXPECT_EQ(c.body.compare(0, o.body.size(), o.body), 0) << "the bytes before the cut are the body's";
  } else {
    EXPECT_TRUE(o.body == c.body) << o.body.size();
  }
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<FaultCase, bool>>& info) {
  return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_async" : "_sync");
}

// A body that ends early fails the read that meets the cut (a
// close-delimited body that ends well at the close is BodyTest's).
const std::string kWhole = Pattern(5000);
const FaultCase kCuts[] = {
    {"ShorterThanContentLength", Serves(Shaped(kWhole, [](Reply& r) { r.contentLength = 9000; })), 0,
     ERROR_INTERNET_CONNECTION_ABORTED, "/", kWhole},
    {"ChunkedClosedBeforeLastChunk",
     Serves(Shaped(kWhole,
                   [](Reply& r) {
                     r.framing = Reply::Framing::kChunked;
                     r.chunkSize = 1000;
                     r.closeAfterBody = 3000;
                   })),
     0, ERROR_INTERNET_CONNECTION_ABORTED, "/", kWhole},
    {"BrokenChunkHeader",
     Serves(Shaped(kWhole,
                   [](Reply& r) {
                     r.framing = Reply::Framing::kChunked;
                     r.brokenChunking = true;
                   })),
     0, ERROR_INTERNET_CONNECTION_ABORTED, "/", kWhole},
    {"ResetMidBody", Serves(Shaped(kWhole, [](Reply& r) { r.resetAfterBody = 1000; })), 0,
     ERROR_INTERNET_CONNECTION_RESET, "/", kWhole},
};

INSTANTIATE_TEST_SUITE_P(Cuts, FaultTest, ::testing::Combine(::testing::ValuesIn(kCuts), ::testing::Bool()), CaseName);

// All header bytes of one reply together are capped (256 KiB): every hop's
// block, 1xx blocks and trailers count (one count for all of them).
void PadHeaders(qmxloopback::HeaderList& headers, size_t bytes) {
  for (size_t i = 0; headers.size() * 110 < bytes; ++i)
    headers.push_back({"X-Pad-" + std::to_string(i), std::string(100, 'p')});
}

// 100 KiB of headers in each of three redirect hops: 300 KiB in all.
void ServeHeavyHops(LoopbackServer& s) {
  s.SetHandler([](const Request& q) {
    const int hop = q.target.back() - '0';
    Reply r = Reply::Text(hop < 3 ? 302 : 200, "fits");
    if (hop < 3) r.headers.push_back({"Location", "/h" + std::to_string(hop + 1)});
    PadHeaders(r.headers, 100 * 1024);
    return r;
  });
}

const FaultCase kCapCases[] = {
    {"EndlessHeaderLines", Serves(Shaped("fits", [](Reply& r) { r.endlessHeaders = true; })),
     ERROR_HTTP_INVALID_SERVER_RESPONSE, 0},
    {"EndlessTrailers", Serves(Shaped("fits", [](Reply& r) { r.endlessTrailers = true; })), 0,
     ERROR_HTTP_INVALID_SERVER_RESPONSE},
    {"RedirectHopsTogether", ServeHeavyHops, ERROR_HTTP_INVALID_SERVER_RESPONSE, 0, "/h1"},
    // The control: a large block under the cap is fine.
    {"OneLargeBlockUnderTheCap", Serves(Shaped("fits", [](Reply& r) { PadHeaders(r.headers, 200 * 1024); })), 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Caps, FaultTest, ::testing::Combine(::testing::ValuesIn(kCapCases), ::testing::Bool()),
                         CaseName);

// Failures before any reply: no answer, a reset, a redirect chain longer
// than the layer follows (30 hops are followed, the 31st is not).
void ServeRedirectChain(LoopbackServer& s) {
  s.SetHandler([](const Request& q) {
    const int left = std::stoi(q.target.substr(2));
    if (left == 0) return Reply::Text(200, "fits");
    Reply r = Reply::Text(302, "on");
    r.headers.push_back({"Location", "/r" + std::to_string(left - 1)});
    return r;
  });
}

const FaultCase kSendFailures[] = {
    {"NoReply", Serves([] {
       Reply r;
       r.noReply = true;
       return r;
     }()),
     ERROR_HTTP_INVALID_SERVER_RESPONSE, 0},
    {"ResetInHeaders", Serves(Shaped("0123456789", [](Reply& r) { r.resetInHeaders = true; })),
     ERROR_INTERNET_CONNECTION_RESET, 0},
    {"RedirectsAtTheLimit", ServeRedirectChain, 0, 0, "/r30"},
    {"RedirectsBeyondTheLimit", ServeRedirectChain, ERROR_HTTP_REDIRECT_FAILED, 0, "/r31"},
};

INSTANTIATE_TEST_SUITE_P(Sends, FaultTest, ::testing::Combine(::testing::ValuesIn(kSendFailures), ::testing::Bool()),
                         CaseName);

// The connect limit (libcurl's, in real time), set on the root. A refused
// connection (12029) is AllocFailTest's and ProxyTest's.
TEST(Connect, UnansweredConnectionEndsAtTheConnectLimit) {
  qmxloopback::BlackholeListener hole;
  ASSERT_TRUE(hole.Start());
  Req q;
  q.port = hole.Port();
  q.settings = {{INTERNET_OPTION_CONNECT_TIMEOUT, 300, true}};
  Handles slow = Open(q);
  EXPECT_EQ(Exchange(false, slow, 1).sendError, static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
  slow.Close();
}

// The receive limit (inactivity, before or inside the body) and the overall
// limit (a Linux extension), set on the request (children inheriting the
// root's limits is ApiTest's), on the manual clock: the test moves the clock to the limit once nothing more can
// arrive, and the exchange ends with ERROR_INTERNET_TIMEOUT.
struct LimitCase {
  const char* name;
  DWORD option;
  bool midBody;   // the server stalls after 100 body bytes, else before its headers
  DWORD advance;  // how far the clock moves, against a limit of one minute
  bool expectTimeout;
};

class ManualClockTest : public LayerTest {
 protected:
  void SetUp() override {
    QmxClockSetManual(1, QmxClockNowMs());
    LayerTest::SetUp();
  }
  void TearDown() override {
    LayerTest::TearDown();
    QmxClockSetManual(0, 0);
  }
};

class LimitTest : public ManualClockTest, public ::testing::WithParamInterface<LimitCase> {};

constexpr DWORD kMinute = 60 * 1000;
constexpr DWORD kTotal = QMX_INTERNET_OPTION_TOTAL_TIMEOUT;

TEST_P(LimitTest, LimitEndsTheExchange) {
  const LimitCase& c = GetParam();
  m_server.SetHandler([&](const Request&) {
    Reply r = Reply::Text(200, Pattern(5000));
    r.stallBeforeHeaders = !c.midBody;
    r.stallAfterBody = c.midBody ? 100 : Reply::kNever;
    return r;
  });
  Req q = At("/", 9, true);
  q.settings = {{c.option, kMinute, false}};
  m_handles = Open(q);
  EXPECT_FALSE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  ASSERT_TRUE(m_server.WaitForRequests(1));
  std::string got;
  DWORD err = 0;
  if (c.midBody) {
    ASSERT_EQ(Recorder::Get().WaitComplete(9).dwResult, 1u);
    // Everything before the stall is in, and the next read is pending.
    ASSERT_FALSE(ReadAllAsync(m_handles.request, 9, got, &err, 100));
    ASSERT_EQ(err, static_cast<DWORD>(ERROR_IO_PENDING));
  }
  const size_t before = Recorder::Get().Completions(9);  // counted before the limit or the data can end it
  QmxClockAdvance(c.advance);
  if (!c.expectTimeout) m_server.ReleaseStalled();
  INTERNET_ASYNC_RESULT r = Recorder::Get().WaitComplete(9, before + 1);
  if (c.expectTimeout) {
    EXPECT_EQ(r.dwResult, 0u);
    EXPECT_EQ(r.dwError, static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
  } else {
    EXPECT_EQ(r.dwResult, 1u) << r.dwError;
    EXPECT_TRUE(ReadAllAsync(m_handles.request, 9, got, &err)) << err;
    EXPECT_TRUE(got == Pattern(5000));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LimitTest,
    ::testing::Values(LimitCase{"ReceiveBeforeHeaders", INTERNET_OPTION_RECEIVE_TIMEOUT, false, kMinute, true},
                      LimitCase{"ReceiveMidBody", INTERNET_OPTION_RECEIVE_TIMEOUT, true, kMinute, true},
                      LimitCase{"ReceiveJustUnder", INTERNET_OPTION_RECEIVE_TIMEOUT, true, kMinute - 1, false},
                      LimitCase{"TotalBeforeHeaders", kTotal, false, kMinute, true},
                      LimitCase{"TotalMidBody", kTotal, true, kMinute, true},
                      LimitCase{"TotalJustUnder", kTotal, false, kMinute - 1, false}),
    [](const auto& info) { return std::string(info.param.name); });

// An endless body that nobody reads is held at the flow-control mark; the
// overall limit still ends the transfer (its connection closes), and the
// reads hand out what was buffered, then the failure, never an end.
TEST_F(ManualClockTest, TotalLimitEndsATransferNobodyReads) {
  m_server.SetHandler([](const Request&) {
    Reply r = Reply::Text(200, "");
    r.endlessBody = true;
    r.framing = Reply::Framing::kClose;
    return r;
  });
  Req q = At("/", 8, true);
  q.settings = {{kTotal, kMinute, false}};
  m_handles = Open(q);
  EXPECT_FALSE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  ASSERT_EQ(Recorder::Get().WaitComplete(8).dwResult, 1u);
  DWORD available = 0;
  if (!InternetQueryDataAvailable(m_handles.request, &available, 0, 0)) {
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(Recorder::Get().WaitComplete(8, 2).dwResult, 1u);  // body bytes are in
  }
  QmxClockAdvance(kMinute);
  ASSERT_TRUE(m_server.WaitForConnectionsClosed(kDeadline));
  std::vector<char> buf(64 * 1024);
  INTERNET_BUFFERSA b{};
  b.dwStructSize = sizeof b;
  uint64_t total = 0;
  for (b.lpvBuffer = buf.data();
       b.dwBufferLength = static_cast<DWORD>(buf.size()), InternetReadFileExA(m_handles.request, &b, IRF_NO_WAIT, 0);) {
    ASSERT_NE(b.dwBufferLength, 0u) << "an endless body cannot end well";
    total += b.dwBufferLength;
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
  EXPECT_GT(total, 0u);
  EXPECT_LE(total, 512u * 1024) << "held at the flow-control mark";
}

}  // namespace
