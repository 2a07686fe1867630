// Bodies in every framing in both session modes (every byte in order, the
// progress observer's counts), and the asynchronous path: the order of the
// reports (one REQUEST_COMPLETE per operation, children's HANDLE_CLOSING
// before their parent's) and the per-server connection cap. Pending reads
// that resume are FaultTest's (LimitTest), what callbacks themselves may
// call is CallbackThreadTest's.
#include <map>
#include <tuple>

#include "WininetTestSupport.h"

using namespace wintest;
using qmxloopback::Reply;
using Request = qmxloopback::ReceivedRequest;

namespace {

using AsyncTest = LayerTest;

struct BodyCase {
  const char* name;
  Reply::Framing framing;
  size_t size;
  bool drip = false;
  const char* verb = "GET";
};

void PrintTo(const BodyCase& c, std::ostream* os) { *os << c.name; }

struct Report {
  uint64_t received;
  int64_t expected;
};

// The progress observer records every report per request handle.
class BodyTest : public LayerTest, public ::testing::WithParamInterface<std::tuple<BodyCase, bool>> {
 protected:
  static void CALLBACK Observe(HINTERNET h, ULONGLONG received, int64_t expected, LPVOID ud) {
    auto* self = static_cast<BodyTest*>(ud);
    std::lock_guard<std::mutex> lock(self->m_mu);
    self->m_reports[h].push_back({received, expected});
  }
  void SetUp() override {
    LayerTest::SetUp();
    EXPECT_EQ(QmxInternetSetProgressObserver(&Observe, this), nullptr);
  }
  void TearDown() override {
    QmxInternetSetProgressObserver(nullptr, nullptr);
    LayerTest::TearDown();
  }
  std::mutex m_mu;
  std::map<HINTERNET, std::vector<Report>> m_reports;
};

TEST_P(BodyTest, EveryByteArrivesAndProgressCountsGrowToTheLength) {
  const BodyCase& c = std::get<0>(GetParam());
  const bool async = std::get<1>(GetParam());
  const std::string body = Pattern(c.size);
  m_server.SetHandler([&](const Request& q) {
    Reply r = Reply::Text(200, q.method == "HEAD" ? "not sent" : body);
    r.framing = c.framing;
    r.chunkSize = 4096;
    r.drip = c.drip;
    return r;
  });
  Req q = At("/body", 7, async);
  q.verb = c.verb;
  m_handles = Open(q);
  Outcome o = Exchange(async, m_handles, 7);
  ASSERT_EQ(o.status, 200u);
  ASSERT_EQ(o.readError, 0u);
  EXPECT_TRUE(o.body == body) << o.body.size();
  // Counts never fall, the expected length never changes, and the last
  // count is the body's length; an empty body is one report.
  std::lock_guard<std::mutex> lock(m_mu);
  const std::vector<Report>& reports = m_reports[m_handles.request];
  ASSERT_FALSE(reports.empty());
  if (c.size == 0) {
    EXPECT_EQ(reports.size(), 1u);
  }
  const int64_t expected = c.framing == Reply::Framing::kContentLength ? static_cast<int64_t>(c.size) : -1;
  uint64_t last = 0;
  for (const Report& r : reports) {
    EXPECT_GE(r.received, last);
    EXPECT_EQ(r.expected, expected);
    last = r.received;
  }
  EXPECT_EQ(last, c.size);
}

const BodyCase kBodies[] = {
    {"Length", Reply::Framing::kContentLength, 100000},
    {"Chunked", Reply::Framing::kChunked, 50000},
    {"Close", Reply::Framing::kClose, 70000},
    {"Drip", Reply::Framing::kChunked, 300, true},
    {"Empty", Reply::Framing::kContentLength, 0},
    {"Large", Reply::Framing::kContentLength, 3 << 20},
    {"Head", Reply::Framing::kContentLength, 0, false, "HEAD"},
};

INSTANTIATE_TEST_SUITE_P(Framings, BodyTest, ::testing::Combine(::testing::ValuesIn(kBodies), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<BodyCase, bool>>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_async" : "_sync");
                         });

TEST_F(AsyncTest, StatusReportsComeInOrder) {
  m_handles = Open(At("/", 11, true));
  EXPECT_FALSE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  ASSERT_EQ(Recorder::Get().WaitComplete(11).dwResult, 1u);
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  // Name resolution is reported only the first time a host is looked up in
  // the process; leave it out of the comparison.
  std::vector<DWORD> s;
  for (const Note& n : Recorder::Get().Notes())
    if (n.context == 11 && n.status != INTERNET_STATUS_RESOLVING_NAME && n.status != INTERNET_STATUS_NAME_RESOLVED)
      s.push_back(n.status);
  std::vector<DWORD> want = {
      INTERNET_STATUS_HANDLE_CREATED,      INTERNET_STATUS_HANDLE_CREATED,    INTERNET_STATUS_CONNECTING_TO_SERVER,
      INTERNET_STATUS_CONNECTED_TO_SERVER, INTERNET_STATUS_SENDING_REQUEST,   INTERNET_STATUS_REQUEST_SENT,
      INTERNET_STATUS_RECEIVING_RESPONSE,  INTERNET_STATUS_RESPONSE_RECEIVED, INTERNET_STATUS_REQUEST_COMPLETE};
  EXPECT_EQ(s, want);
  // HANDLE_CREATED names the new handle; CONNECTING_TO_SERVER the address.
  bool named = false;
  for (const auto& n : Recorder::Get().Notes()) {
    named |= n.status == INTERNET_STATUS_HANDLE_CREATED && n.created == m_handles.request;
    if (n.status == INTERNET_STATUS_CONNECTING_TO_SERVER) {
      EXPECT_EQ(n.text, "127.0.0.1");
    }
  }
  EXPECT_TRUE(named);
}

TEST_F(AsyncTest, ClosingTheRootClosesChildrenAndReportsEach) {
  m_handles = Open(At("/", 41, true));
  HINTERNET req = m_handles.request, conn = m_handles.connect;
  EXPECT_TRUE(InternetCloseHandle(m_handles.root));
  m_handles = Handles{};
  EXPECT_TRUE(Recorder::Get().WaitClosing(conn));
  // Children report before their parent.
  std::vector<HINTERNET> order;
  for (const auto& n : Recorder::Get().Notes())
    if (n.status == INTERNET_STATUS_HANDLE_CLOSING && (n.created == req || n.created == conn))
      order.push_back(n.created);
  EXPECT_EQ(order, (std::vector<HINTERNET>{req, conn}));
}

TEST_F(AsyncTest, ConnectionCapMakesExtraRequestsWait) {
  DWORD cap = 2;
  ASSERT_TRUE(InternetSetOptionA(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &cap, sizeof cap));
  m_server.SetHandler([](const Request&) {
    Reply r = Reply::Text(200, "held");
    r.stallBeforeHeaders = true;
    return r;
  });
  m_handles = Open(At("/0", 60, true));
  std::vector<HINTERNET> reqs{m_handles.request};
  for (DWORD_PTR i = 1; i < 5; ++i)
    reqs.push_back(HttpOpenRequestA(m_handles.connect, "GET", "/n", nullptr, nullptr, nullptr, 0, 60 + i));
  for (HINTERNET r : reqs) HttpSendRequestA(r, nullptr, 0, nullptr, 0);
  ASSERT_TRUE(m_server.WaitForRequests(2));
  m_server.ReleaseStalled();
  for (DWORD_PTR i = 0; i < 5; ++i) EXPECT_EQ(Recorder::Get().WaitComplete(60 + i).dwResult, 1u);
  EXPECT_LE(m_server.PeakConnections(), 2u);
  EXPECT_EQ(m_server.RequestCount(), 5u);
  for (size_t i = 1; i < reqs.size(); ++i) InternetCloseHandle(reqs[i]);
}

TEST_F(AsyncTest, RedirectIsFollowedWithOneCompletion) {
  m_server.Route("/from", [](const Request&) {
    Reply r = Reply::Text(302, "moved");
    r.headers.push_back({"Location", "/to"});
    return r;
  });
  m_server.Route("/to", [](const Request& q) { return Reply::Text(200, "landed " + q.method); });
  Req q = At("/from", 71, true);
  q.verb = "POST";
  m_handles = Open(q);
  char data[] = "a=1";
  EXPECT_FALSE(HttpSendRequestA(m_handles.request, nullptr, 0, data, 3));
  ASSERT_EQ(Recorder::Get().WaitComplete(71).dwResult, 1u);
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  EXPECT_EQ(Recorder::Get().Completions(71), 1u);
  std::string body;
  ASSERT_TRUE(ReadAllAsync(m_handles.request, 71, body));
  EXPECT_EQ(body, "landed GET");  // a POST answered with 302 goes on as GET
}

}  // namespace
