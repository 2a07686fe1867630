// The progress observer: counts per request handle that grow to the body's
// length, with the announced length or -1, in both session modes, and
// nothing once the observer is removed.
#include "WininetTestSupport.h"

#include <map>

using namespace wintest;
using qmxloopback::LoopbackServer;
using qmxloopback::Reply;

namespace {

struct Report {
  uint64_t received;
  int64_t expected;
};

class ProgressLog {
 public:
  static void CALLBACK Observe(HINTERNET h, ULONGLONG received, int64_t expected, LPVOID ud) {
    auto* self = static_cast<ProgressLog*>(ud);
    std::lock_guard<std::mutex> lock(self->m_mu);
    self->m_reports[h].push_back({received, expected});
  }
  std::vector<Report> For(HINTERNET h) {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_reports[h];
  }
  size_t Handles() {
    std::lock_guard<std::mutex> lock(m_mu);
    return m_reports.size();
  }

 private:
  std::mutex m_mu;
  std::map<HINTERNET, std::vector<Report>> m_reports;
};

// Every report of one handle: counts never fall, the expected length never
// changes, and the last count is the body's length.
void ExpectGrowsTo(const std::vector<Report>& reports, uint64_t length, int64_t expected) {
  ASSERT_FALSE(reports.empty());
  uint64_t last = 0;
  for (const Report& r : reports) {
    EXPECT_GE(r.received, last);
    EXPECT_LE(r.received, length);
    EXPECT_EQ(r.expected, expected);
    last = r.received;
  }
  EXPECT_EQ(reports.back().received, length);
}

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Recorder::Get().Clear();
    ASSERT_TRUE(m_server.Start());
    EXPECT_EQ(QmxInternetSetProgressObserver(&ProgressLog::Observe, &m_log), nullptr);
  }
  void TearDown() override {
    QmxInternetSetProgressObserver(nullptr, nullptr);
    m_handles.Close();
    m_server.Stop();
  }
  std::string FetchSync(const char* path, const char* verb = "GET") {
    m_handles = Open(false, "127.0.0.1", m_server.Port(), path, 1,
                     INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION,
                     INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, verb);
    EXPECT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0)) << GetLastError();
    std::string body;
    EXPECT_TRUE(ReadAllSync(m_handles.request, body, nullptr, 700));
    return body;
  }
  LoopbackServer m_server;
  Handles m_handles;
  ProgressLog m_log;
};

TEST_F(ProgressTest, AnnouncedAndUnannouncedLengthsSync) {
  const std::string body = Pattern(200000);
  m_server.Route("/length", [&](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, body); });
  m_server.Route("/chunked", [&](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, body);
    r.framing = Reply::Framing::kChunked;
    r.chunkSize = 4096;
    return r;
  });
  m_server.Route("/close", [&](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, body.substr(0, 5000));
    r.framing = Reply::Framing::kClose;
    r.drip = true;
    return r;
  });

  EXPECT_EQ(FetchSync("/length"), body);
  ExpectGrowsTo(m_log.For(m_handles.request), body.size(), static_cast<int64_t>(body.size()));
  m_handles.Close();

  EXPECT_EQ(FetchSync("/chunked"), body);
  ExpectGrowsTo(m_log.For(m_handles.request), body.size(), -1);
  EXPECT_GT(m_log.For(m_handles.request).size(), 1u);
  m_handles.Close();

  EXPECT_EQ(FetchSync("/close"), body.substr(0, 5000));
  ExpectGrowsTo(m_log.For(m_handles.request), 5000, -1);
}

TEST_F(ProgressTest, EmptyBodiesAreReportedOnce) {
  m_server.Route("/empty", [](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, ""); });
  m_server.Route("/head", [](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, "not sent"); });

  EXPECT_EQ(FetchSync("/empty"), "");
  auto reports = m_log.For(m_handles.request);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].received, 0u);
  EXPECT_EQ(reports[0].expected, 0);
  m_handles.Close();

  EXPECT_EQ(FetchSync("/head", "HEAD"), "");
  reports = m_log.For(m_handles.request);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].received, 0u);
  EXPECT_EQ(reports[0].expected, 0);
}

TEST_F(ProgressTest, AsyncRequestsAreReportedApart) {
  const std::string a = Pattern(90000), b = Pattern(30000);
  m_server.Route("/a", [&](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, a); });
  m_server.Route("/b", [&](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, b);
    r.framing = Reply::Framing::kChunked;
    return r;
  });
  Handles ha = Open(true, "127.0.0.1", m_server.Port(), "/a", 11);
  Handles hb = Open(true, "127.0.0.1", m_server.Port(), "/b", 12);
  for (Handles* h : {&ha, &hb}) {
    if (!HttpSendRequestA(h->request, nullptr, 0, nullptr, 0)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
  }
  EXPECT_TRUE(Recorder::Get().WaitComplete(11).dwResult);
  EXPECT_TRUE(Recorder::Get().WaitComplete(12).dwResult);
  std::string gotA, gotB;
  EXPECT_TRUE(ReadAllAsync(ha.request, 11, gotA));
  EXPECT_TRUE(ReadAllAsync(hb.request, 12, gotB));
  EXPECT_EQ(gotA, a);
  EXPECT_EQ(gotB, b);
  ExpectGrowsTo(m_log.For(ha.request), a.size(), static_cast<int64_t>(a.size()));
  ExpectGrowsTo(m_log.For(hb.request), b.size(), -1);
  ha.Close();
  hb.Close();
}

TEST_F(ProgressTest, RemovedObserverIsNotCalled) {
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, Pattern(20000)); });
  EXPECT_EQ(QmxInternetSetProgressObserver(nullptr, nullptr), &ProgressLog::Observe);
  EXPECT_EQ(FetchSync("/x").size(), 20000u);
  EXPECT_EQ(m_log.Handles(), 0u);
  // The status callback sees the same notes with or without an observer.
  bool sawReceived = false;
  for (const auto& n : Recorder::Get().Notes()) sawReceived |= n.status == INTERNET_STATUS_RESPONSE_RECEIVED;
  EXPECT_TRUE(sawReceived);
}

}  // namespace
