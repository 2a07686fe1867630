// A hostile network: bodies cut short, header blocks and trailers without
// end, servers that stall or never stop sending. Every case runs in a
// synchronous and an asynchronous session, and must end in a failure the
// caller can see (never a short body taken for a whole one), within a
// generous bound of time.
#include <tuple>

#include "WininetTestSupport.h"
#include "qmxclock.h"

using namespace wintest;
using qmxloopback::LoopbackServer;
using qmxloopback::Reply;

namespace {

constexpr auto kGenerous = std::chrono::seconds(20);

struct FaultCase {
  const char* name;
  std::function<void(LoopbackServer&)> serve;
  std::vector<Setting> settings;
  DWORD sendError;  // expected; 0 = the send succeeds
  DWORD readError;  // expected; 0 = the body is read to its end
  const char* path = "/";
  bool blackhole = false;  // connect to a listener that never accepts
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultTest : public ::testing::TestWithParam<std::tuple<FaultCase, bool>> {
 protected:
  void SetUp() override { ASSERT_TRUE(m_server.Start()); }
  void TearDown() override {
    m_handles.Close();
    m_server.ReleaseStalled();
    m_server.Stop();  // ends endless replies too
  }
  Outcome Run() {
    const FaultCase& c = std::get<0>(GetParam());
    const bool async = std::get<1>(GetParam());
    c.serve(m_server);
    uint16_t port = m_server.Port();
    if (c.blackhole) {
      EXPECT_TRUE(m_hole.Start());
      port = m_hole.Port();
    }
    m_handles = OpenWith(async, "127.0.0.1", port, c.path, m_done, c.settings);
    Outcome o = Exchange(async, m_handles.request, m_done);
    EXPECT_EQ(o.sendError, c.sendError);
    if (!o.sendError) {
      EXPECT_EQ(o.readError, c.readError);
    }
    EXPECT_LT(o.elapsed, kGenerous);
    return o;
  }
  LoopbackServer m_server;
  qmxloopback::BlackholeListener m_hole;
  Completions m_done;  // outlives the handles: their reports name it
  Handles m_handles;
};

std::string CaseName(const ::testing::TestParamInfo<std::tuple<FaultCase, bool>>& info) {
  return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_async" : "_sync");
}

Reply Plain(std::string body) { return Reply::Text(200, std::move(body)); }

// ---------------------------------------------------------------------------
// A body that ends early fails the read that meets the cut; what came before
// it is handed out first.

class CutBodyTest : public FaultTest {};

TEST_P(CutBodyTest, ReadThatMeetsTheCutFails) {
  Outcome o = Run();
  const std::string whole = Pattern(5000);
  EXPECT_EQ(o.status, 200u);
  EXPECT_EQ(whole.compare(0, o.body.size(), o.body), 0) << "the bytes before the cut are the body's";
  if (std::get<0>(GetParam()).readError == 0) {
    EXPECT_TRUE(o.body == whole);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, CutBodyTest,
    ::testing::Combine(::testing::Values(FaultCase{"ShorterThanContentLength",
                                                   [](LoopbackServer& s) {
                                                     s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                                                       Reply r = Plain(Pattern(5000));
                                                       r.contentLength = 9000;
                                                       return r;
                                                     });
                                                   },
                                                   {},
                                                   0,
                                                   ERROR_INTERNET_CONNECTION_ABORTED},
                                         FaultCase{"ChunkedClosedBeforeLastChunk",
                                                   [](LoopbackServer& s) {
                                                     s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                                                       Reply r = Plain(Pattern(5000));
                                                       r.framing = Reply::Framing::kChunked;
                                                       r.chunkSize = 1000;
                                                       r.closeAfterBody = 3000;
                                                       return r;
                                                     });
                                                   },
                                                   {},
                                                   0,
                                                   ERROR_INTERNET_CONNECTION_ABORTED},
                                         FaultCase{"BrokenChunkHeader",
                                                   [](LoopbackServer& s) {
                                                     s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                                                       Reply r = Plain(Pattern(5000));
                                                       r.framing = Reply::Framing::kChunked;
                                                       r.brokenChunking = true;
                                                       return r;
                                                     });
                                                   },
                                                   {},
                                                   0,
                                                   ERROR_INTERNET_CONNECTION_ABORTED},
                                         FaultCase{"ResetMidBody",
                                                   [](LoopbackServer& s) {
                                                     s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                                                       Reply r = Plain(Pattern(5000));
                                                       r.resetAfterBody = 1000;
                                                       return r;
                                                     });
                                                   },
                                                   {},
                                                   0,
                                                   ERROR_INTERNET_CONNECTION_RESET},
                                         // The control: a close-delimited body ends well at the close.
                                         FaultCase{"CloseDelimitedIsWhole",
                                                   [](LoopbackServer& s) {
                                                     s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                                                       Reply r = Plain(Pattern(5000));
                                                       r.framing = Reply::Framing::kClose;
                                                       return r;
                                                     });
                                                   },
                                                   {},
                                                   0,
                                                   0}),
                       ::testing::Bool()),
    CaseName);

// ---------------------------------------------------------------------------
// All header bytes of one reply together are capped: every hop's block, 1xx
// blocks and trailers count.

class HeaderCapTest : public FaultTest {};

TEST_P(HeaderCapTest, OversizedHeaderBytesFailTheRequest) {
  Outcome o = Run();
  if (!o.sendError && !o.readError) {
    EXPECT_EQ(o.status, 200u);
    EXPECT_EQ(o.body, "fits");
  }
}

// 100 KiB of headers in each of three redirect hops: 300 KiB in all.
void ServeHeavyHops(LoopbackServer& s) {
  for (int hop = 1; hop <= 3; ++hop) {
    s.Route("/h" + std::to_string(hop), [hop](const qmxloopback::ReceivedRequest&) {
      Reply r = hop < 3 ? Reply::Text(302, "on") : Plain("landed");
      if (hop < 3) r.headers.push_back({"Location", "/h" + std::to_string(hop + 1)});
      PadHeaders(r.headers, 100 * 1024);
      return r;
    });
  }
}

std::string InterimBlocks(int count, size_t bytesEach) {
  std::string raw;
  for (int i = 0; i < count; ++i) {
    qmxloopback::HeaderList pad;
    PadHeaders(pad, bytesEach);
    raw += "HTTP/1.1 100 Continue\r\n";
    for (const auto& h : pad) raw += h.first + ": " + h.second + "\r\n";
    raw += "\r\n";
  }
  return raw + "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfits";
}

const FaultCase kCapCases[] = {
    FaultCase{"EndlessHeaderLines",
              [](LoopbackServer& s) {
                s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                  Reply r = Plain("never");
                  r.endlessHeaders = true;
                  return r;
                });
              },
              {},
              ERROR_HTTP_INVALID_SERVER_RESPONSE,
              0},
    FaultCase{"EndlessTrailers",
              [](LoopbackServer& s) {
                s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                  Reply r = Plain("fits");
                  r.endlessTrailers = true;
                  return r;
                });
              },
              {},
              0,
              ERROR_HTTP_INVALID_SERVER_RESPONSE},
    FaultCase{"RedirectHopsTogether", ServeHeavyHops, {}, ERROR_HTTP_INVALID_SERVER_RESPONSE, 0, "/h1"},
    FaultCase{"InterimBlocksTogether",
              [](LoopbackServer& s) {
                s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                  Reply r;
                  r.raw = InterimBlocks(3, 100 * 1024);
                  return r;
                });
              },
              {},
              ERROR_HTTP_INVALID_SERVER_RESPONSE,
              0},
    FaultCase{"OneLineWithoutEnd",
              [](LoopbackServer& s) {
                s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                  Reply r;
                  r.raw = "HTTP/1.1 200 OK\r\nX-Long: " + std::string(300 * 1024, 'l');
                  return r;
                });
              },
              {},
              ERROR_HTTP_INVALID_SERVER_RESPONSE,
              0},
    // libcurl itself refuses a trailer line beyond 64 KiB, as broken
    // chunking: a failure all the same, never the end of the body.
    FaultCase{"OneTrailerLineWithoutEnd",
              [](LoopbackServer& s) {
                s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                  Reply r;
                  r.raw = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nfits\r\n0\r\nX-T: " +
                          std::string(300 * 1024, 't');
                  return r;
                });
              },
              {},
              0,
              ERROR_INTERNET_CONNECTION_ABORTED},
    // The controls: large blocks under the cap are fine.
    FaultCase{"OneLargeBlockUnderTheCap",
              [](LoopbackServer& s) {
                s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                  Reply r = Plain("fits");
                  PadHeaders(r.headers, 200 * 1024);
                  return r;
                });
              },
              {},
              0,
              0},
    FaultCase{"InterimBlocksUnderTheCap",
              [](LoopbackServer& s) {
                s.SetHandler([](const qmxloopback::ReceivedRequest&) {
                  Reply r;
                  r.raw = InterimBlocks(2, 100 * 1024);
                  return r;
                });
              },
              {},
              0,
              0},
};

INSTANTIATE_TEST_SUITE_P(Caps, HeaderCapTest, ::testing::Combine(::testing::ValuesIn(kCapCases), ::testing::Bool()),
                         CaseName);

// ---------------------------------------------------------------------------
// Time limits: the overall limit (a Linux extension), the receive limit as an
// inactivity limit before and inside the body, and the connect limit set on
// the root handle.

class TimeLimitTest : public FaultTest {};

TEST_P(TimeLimitTest, LimitEndsTheExchange) {
  Outcome o = Run();
  if (!o.sendError && !o.readError) {
    EXPECT_TRUE(o.body == Pattern(100000));
  }
}

void Stall(LoopbackServer& s) {
  s.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Plain("late");
    r.stallBeforeHeaders = true;
    return r;
  });
}

void StallMidBody(LoopbackServer& s) {
  s.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Plain(Pattern(5000));
    r.stallAfterBody = 100;
    return r;
  });
}

void Endless(LoopbackServer& s) {
  s.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Plain("");
    r.endlessBody = true;
    r.framing = Reply::Framing::kClose;
    return r;
  });
}

void Quick(LoopbackServer& s) {
  s.SetHandler([](const qmxloopback::ReceivedRequest&) { return Plain(Pattern(100000)); });
}

constexpr DWORD kTotal = QMX_INTERNET_OPTION_TOTAL_TIMEOUT;

INSTANTIATE_TEST_SUITE_P(
    Limits, TimeLimitTest,
    ::testing::Combine(
        ::testing::Values(FaultCase{"TotalBeforeHeaders", Stall, {{kTotal, 1000, true}}, ERROR_INTERNET_TIMEOUT, 0},
                          FaultCase{
                              "TotalWhileTheBodyFlows", Endless, {{kTotal, 1500, false}}, 0, ERROR_INTERNET_TIMEOUT},
                          FaultCase{"TotalNotReached", Quick, {{kTotal, 15000, true}}, 0, 0},
                          FaultCase{"ReceiveBeforeHeaders",
                                    Stall,
                                    {{INTERNET_OPTION_RECEIVE_TIMEOUT, 1000, false}},
                                    ERROR_INTERNET_TIMEOUT,
                                    0},
                          FaultCase{"ReceiveMidBody",
                                    StallMidBody,
                                    {{INTERNET_OPTION_RECEIVE_TIMEOUT, 1000, false}},
                                    0,
                                    ERROR_INTERNET_TIMEOUT},
                          FaultCase{"ReceiveMidBodyFromRoot",
                                    StallMidBody,
                                    {{INTERNET_OPTION_RECEIVE_TIMEOUT, 1000, true}},
                                    0,
                                    ERROR_INTERNET_TIMEOUT},
                          FaultCase{"ConnectFromRoot",
                                    Quick,
                                    {{INTERNET_OPTION_CONNECT_TIMEOUT, 1000, true}},
                                    ERROR_INTERNET_TIMEOUT,
                                    0,
                                    "/",
                                    true}),
        ::testing::Bool()),
    CaseName);

// An endless body that nobody reads is held at the flow-control mark; the
// overall limit still ends the transfer (its connection closes), and the
// reads hand out what was buffered, then the failure, never an end.
// The limit is ten minutes on the manual process clock: the test moves the
// clock past it once body bytes are buffered, and nothing waits for real.
TEST(TimeLimit, TotalLimitEndsATransferNobodyReads) {
  struct ManualClock {
    ManualClock() { QmxClockSetManual(1, QmxClockNowMs()); }
    ~ManualClock() { QmxClockSetManual(0, 0); }
  } clock;
  constexpr DWORD kTenMinutes = 10 * 60 * 1000;
  LoopbackServer server;
  ASSERT_TRUE(server.Start());
  Endless(server);
  Completions done;
  Handles h = OpenWith(true, "127.0.0.1", server.Port(), "/", done, {{kTotal, kTenMinutes, false}});
  EXPECT_FALSE(HttpSendRequestA(h.request, nullptr, 0, nullptr, 0));
  ASSERT_EQ(done.Next().dwResult, 1u);
  DWORD available = 0;
  if (!InternetQueryDataAvailable(h.request, &available, 0, 0)) {
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(done.Next().dwResult, 1u);  // body bytes are in
  }
  QmxClockAdvance(kTenMinutes + 1);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(server.WaitForConnectionsClosed(kGenerous));
  EXPECT_LT(std::chrono::steady_clock::now() - start, kGenerous);
  std::vector<char> buf(64 * 1024);
  INTERNET_BUFFERSA b{};
  b.dwStructSize = sizeof b;
  uint64_t total = 0;
  for (;;) {
    b.lpvBuffer = buf.data();
    b.dwBufferLength = static_cast<DWORD>(buf.size());
    if (!InternetReadFileExA(h.request, &b, IRF_NO_WAIT, 0)) break;
    ASSERT_NE(b.dwBufferLength, 0u) << "an endless body cannot end well";
    total += b.dwBufferLength;
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
  EXPECT_GT(total, 0u);
  EXPECT_LE(total, 512u * 1024) << "held at the flow-control mark";
  h.Close();
}

// Stop() ends endless replies at once, also one whose client holds its
// transfer and reads nothing (the server is blocked sending).
class EndlessStopTest : public ::testing::TestWithParam<int> {};

TEST_P(EndlessStopTest, StopEndsTheReply) {
  LoopbackServer server;
  ASSERT_TRUE(server.Start());
  const int mode = GetParam();
  server.SetHandler([mode](const qmxloopback::ReceivedRequest&) {
    Reply r = Plain("x");
    r.endlessBody = mode == 0;
    r.endlessHeaders = mode == 1;
    r.endlessTrailers = mode == 2;
    return r;
  });
  Completions done;
  Handles h = OpenWith(true, "127.0.0.1", server.Port(), "/", done);
  EXPECT_FALSE(HttpSendRequestA(h.request, nullptr, 0, nullptr, 0));
  ASSERT_TRUE(server.WaitForRequests(1));
  auto start = std::chrono::steady_clock::now();
  server.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, kGenerous);
  EXPECT_EQ(server.OpenConnections(), 0u);
  h.Close();
}

std::string ModeName(const ::testing::TestParamInfo<int>& info) {
  static const char* const kNames[] = {"Body", "Headers", "Trailers"};
  return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Modes, EndlessStopTest, ::testing::Values(0, 1, 2), ModeName);

}  // namespace
