// Faults of servers and networks as the host sees them through the module:
// each case asserts the result the sink receives, that it receives it once,
// and, over repeated rounds, that the module's live objects and the open
// descriptors do not grow. Servers run on 127.0.0.1 and stop with the case;
// time-outs run on the manual clock.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <cerrno>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "RelHost.h"
#include "RtTraceCapture.h"
#include "SiteSimulator.h"
#include "qmxloopback/LoopbackServer.h"
#include "qmxloopback/ProxyFixtures.h"
#include "qmxconfweba_ext.h"
#include "qmxwininet_ext.h"
#include "wininet.h"

using qmxloopback::LoopbackServer;
using qmxloopback::ReceivedRequest;
using qmxloopback::Reply;
using sitesim::SiteFault;

namespace reltest {
namespace {

constexpr int kRounds = 4;

std::string GoodXml() {
  return sitesim::JoinSuccessXml({{"ConfId", "123456"}, {"$Token", "t$1"}},
                                 {{"LoaderURL", "http://127.0.0.1/l.bin"}, {"$ContentLanguage", "x"}, {"Mode", "1"}});
}

class FaultTest : public RelHost {
 protected:
  void TearDown() override {
    m_server->Stop();
    if (m_sim) m_sim->Stop();
    QmxInternetSetCredentialPrompt(nullptr, nullptr);
    RelHost::TearDown();
  }

  void StartSim(bool tls = false) {
    m_sim.reset(new sitesim::CSiteSimulator());
    std::string error;
    ASSERT_TRUE(m_sim->Start("127.0.0.1", 0, tls, &error)) << error;
  }
  void SimFault(SiteFault::Kind kind, int status = 500, const std::string& body = "") {
    SiteFault f;
    f.kind = kind;
    f.status = status;
    f.body = body;
    m_sim->SetFault(f);
  }
  std::string SimInvitation() { return m_sim->InvitationUrl("123456"); }

  // The loopback server answers every request with reply.
  void Serve(const Reply& reply) {
    m_server->SetHandler([reply](const ReceivedRequest&) { return reply; });
    ASSERT_TRUE(m_server->Start());
  }
  std::string Invitation() { return m_server->Url("/site1/join.do?confKey=123456&lang=en"); }
  static Reply Xml(const std::string& body) {
    Reply r = Reply::Text(200, body);
    r.headers = {{"Content-Type", "text/xml"}};
    return r;
  }

  int Invite(const std::string& siteUrl) {
    const size_t before = m_sink.outcomes.size();
    const int rt = m_module->InviteByEmails(siteUrl, "site1", "host", "secret", "123456", {"a@example.com"});
    if (rt != 0) return -rt;
    if (!RunUntil([&] { return m_sink.outcomes.size() > before; })) return -1;
    EXPECT_EQ(before + 1, m_sink.outcomes.size());
    return m_sink.outcomes.back().result;
  }

  std::unique_ptr<LoopbackServer> m_server{new LoopbackServer()};
  std::unique_ptr<sitesim::CSiteSimulator> m_sim;
};

// ---- connection faults ------------------------------------------------------
// An empty reply to a join is 4003 and to an invitation 4002, whatever the
// transport's own code was: the parsers replace it.

TEST_F(FaultTest, ConnectionRefused) {
  const std::string port = std::to_string(qmxloopback::UnusedPort());
  Rounds(kRounds, [&](int) {
    EXPECT_EQ(4003, Join("http://127.0.0.1:" + port + "/site1/join.do?confKey=1").result);
    EXPECT_EQ(4002, Invite("http://127.0.0.1:" + port + "/site1/"));
  });
}

TEST_F(FaultTest, ResetDuringTheHeaders) {
  Reply r = Xml(GoodXml());
  r.resetInHeaders = true;
  Serve(r);
  Rounds(kRounds, [&](int) { EXPECT_EQ(4003, Join(Invitation()).result); });
}

TEST_F(FaultTest, ResetMidBodyDeliversTheCutDocumentOnce) {
  Reply r = Xml(GoodXml());
  r.resetAfterBody = r.body.size() / 2;
  Serve(r);
  Rounds(kRounds, [&](int) { EXPECT_EQ(4002, Join(Invitation()).result); });
}

TEST_F(FaultTest, BodyShorterThanItsLength) {
  StartSim();
  SimFault(SiteFault::kDropMidBody);
  Rounds(kRounds, [&](int) {
    EXPECT_EQ(4002, Join(SimInvitation()).result);
    EXPECT_EQ(4002, Invite(m_sim->SiteUrl()));
  });
}

TEST_F(FaultTest, BrokenChunkedEncoding) {
  Reply r = Xml(GoodXml());
  r.framing = Reply::Framing::kChunked;
  r.chunkSize = 64;
  r.brokenChunking = true;
  Serve(r);
  Rounds(kRounds, [&](int) {
    const int result = Join(Invitation()).result;
    EXPECT_TRUE(result == 4002 || result == 4003) << result;
  });
}

// ---- replies that are slow or odd but whole ----------------------------------

TEST_F(FaultTest, BodyDrippedAByteAtATimeArrivesWhole) {
  Reply r = Xml(GoodXml());
  Serve(r);
  const Outcome whole = Join(Invitation());
  ASSERT_EQ(0, whole.result);
  r.drip = true;
  m_server->SetHandler([r](const ReceivedRequest&) { return r; });
  Rounds(2, [&](int) {
    const Outcome dripped = Join(Invitation());
    EXPECT_EQ(0, dripped.result);
    EXPECT_EQ(whole.url, dripped.url);
    EXPECT_EQ(whole.loaderIni, dripped.loaderIni);
    EXPECT_EQ(whole.confTokenIni, dripped.confTokenIni);
  });
}

TEST_F(FaultTest, ServerErrorWithAnXmlBodyIsParsedLikeAnyReply) {
  StartSim();
  SimFault(SiteFault::kStatus, 500, sitesim::FailureXml("0x0604006", "conference locked"));
  Rounds(kRounds, [&](int) {
    EXPECT_EQ(4024, Join(SimInvitation()).result);
    EXPECT_EQ(4024, Invite(m_sim->SiteUrl()));
  });
}

TEST_F(FaultTest, RedirectLoopEndsInOneFailure) {
  m_server->SetHandler([](const ReceivedRequest& req) {
    Reply r = Reply::Text(302, "again");
    r.headers.push_back({"Location", req.target});
    return r;
  });
  ASSERT_TRUE(m_server->Start());
  Rounds(3, [&](int) {
    const size_t before = m_server->RequestCount();
    const int result = Join(Invitation()).result;
    EXPECT_NE(0, result);
    EXPECT_NE(-1, result);
    EXPECT_LT(m_server->RequestCount() - before, 100u);
  });
}

// A folded header line made of blanks only: the header parsing on the
// layer's worker thread once threw on it, which ended the whole process.
TEST_F(FaultTest, BlankContinuationLineInTheHeadersIsNoCrash) {
  Reply r;
  r.raw = "HTTP/1.1 200 OK\r\nX-Folded: a\r\n\t\r\nContent-Length: 0\r\n\r\n";
  Serve(r);
  EXPECT_EQ(4003, Join(Invitation()).result);
}

// ---- a server that never answers: the sweep ends the request -----------------

TEST_F(FaultTest, ServerThatNeverAnswersIsTimedOutOnceByTheSweep) {
  QmxClockSetManual(1, 1000000);
  StartSim();
  SimFault(SiteFault::kStall);
  Rounds(3, [&](int) {
    const size_t before = m_sink.outcomes.size();
    const size_t received = m_sim->Received().size();
    ASSERT_EQ(0, m_module->JoinConference(SimInvitation(), "meet", "", "", "", ""));
    ASSERT_TRUE(RunUntil([&] { return m_sim->Received().size() > received; }));
    // Idle for 100 s: still waiting.
    for (int i = 0; i < 5; ++i) {
      QmxClockAdvance(20000);
      QmxThreadRunPending();
    }
    EXPECT_EQ(before, m_sink.outcomes.size());
    // The tick after 120 s of idleness gives up on it.
    for (int i = 0; i < 3 && m_sink.outcomes.size() == before; ++i) {
      QmxClockAdvance(20000);
      QmxThreadRunPending();
    }
    ASSERT_EQ(before + 1, m_sink.outcomes.size());
    EXPECT_EQ(4003, m_sink.outcomes.back().result);
    m_sim->ReleaseStall();
  });
  // The released replies of the abandoned requests are never delivered: the
  // next join is the only further outcome.
  m_sim->ClearFault();
  const size_t before = m_sink.outcomes.size();
  EXPECT_EQ(0, Join(SimInvitation()).result);
  EXPECT_EQ(before + 1, m_sink.outcomes.size());
}

// ---- HTTPS: certificates are checked unless the host relaxes the checks -------

class CertificateTest : public FaultTest, public ::testing::WithParamInterface<int> {
 protected:
  void TearDown() override {
    QmxConfWebaSetRelaxedTls(0);
    FaultTest::TearDown();
  }
};

TEST_P(CertificateTest, FaultyCertificateFailsBeforeTheRequestUnlessRelaxed) {
  qmxloopback::ServerOptions o;
  o.tls = true;
  if (GetParam() == 1) o.expiredCertificate = true;
  if (GetParam() == 2) o.certificateHosts = {"wrong.example"};
  m_server.reset(new LoopbackServer(o));
  Serve(Xml(GoodXml()));
  // Trusting the issuer leaves the date and the name to fail on.
  if (GetParam() != 0) {
    ASSERT_EQ(0, QmxConfWebaSetTrustedCertificates(m_server->CertificateFile().c_str()));
  }
  Rounds(3, [&](int) { EXPECT_EQ(4003, Join(Invitation()).result); });
  EXPECT_EQ(0u, m_server->RequestCount());
  QmxConfWebaDiagnosis d{};
  QmxConfWebaGetLastDiagnosis(&d);
  const unsigned expected[] = {12045, 12037, 12038};
  EXPECT_EQ(expected[GetParam()], d.internetError);

  QmxConfWebaSetRelaxedTls(1);
  EXPECT_EQ(0, Join(Invitation()).result);
  QmxConfWebaSetTrustedCertificates(nullptr);
}

INSTANTIATE_TEST_SUITE_P(SelfSignedExpiredWrongHost, CertificateTest, ::testing::Values(0, 1, 2));

TEST_F(FaultTest, RedirectFromHttpsToHttpIsRefused) {
  LoopbackServer plain;
  plain.SetHandler([](const ReceivedRequest&) { return Xml(GoodXml()); });
  ASSERT_TRUE(plain.Start());
  qmxloopback::ServerOptions o;
  o.tls = true;
  m_server.reset(new LoopbackServer(o));
  Reply moved = Reply::Text(302, "");
  moved.headers = {{"Location", plain.Url("/site1/join.do")}};
  Serve(moved);
  ASSERT_EQ(0, QmxConfWebaSetTrustedCertificates(m_server->CertificateFile().c_str()));
  EXPECT_EQ(4003, Join(Invitation()).result);
  EXPECT_EQ(1u, m_server->RequestCount());
  EXPECT_EQ(0u, plain.RequestCount());
  QmxConfWebaDiagnosis d{};
  QmxConfWebaGetLastDiagnosis(&d);
  EXPECT_EQ(12040u, d.internetError);
  QmxConfWebaSetTrustedCertificates(nullptr);
  plain.Stop();
}

// ---- proxy challenges through tinyproxy -------------------------------------

struct Prompt {
  std::string user, password;
  int calls = 0;
  int answers = 1000;  // retries offered before cancelling
  static BOOL CALLBACK Answer(const QMX_CREDENTIAL_REQUEST*, LPSTR user, DWORD cchUser, LPSTR password,
                              DWORD cchPassword, LPVOID data) {
    Prompt* self = static_cast<Prompt*>(data);
    if (++self->calls > self->answers) return FALSE;
    snprintf(user, cchUser, "%s", self->user.c_str());
    snprintf(password, cchPassword, "%s", self->password.c_str());
    return TRUE;
  }
};

class ProxyFaultTest : public FaultTest {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    if (!m_proxy.Start()) GTEST_SKIP() << "tinyproxy did not start: " << m_proxy.Log();
    const std::string url = "http://127.0.0.1:" + std::to_string(m_proxy.Port());
    setenv("http_proxy", url.c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    StartSim();
  }
  void TearDown() override {
    unsetenv("http_proxy");
    FaultTest::TearDown();
    m_proxy.Stop();
  }
  size_t SimCalls() const { return m_sim->Received().size(); }
  qmxloopback::TinyProxy m_proxy{"alice", "s3cret"};
};

TEST_F(ProxyFaultTest, RightCredentialsFromThePromptJoinThroughTheProxy) {
  Prompt p{"alice", "s3cret"};
  QmxInternetSetCredentialPrompt(&Prompt::Answer, &p);
  EXPECT_EQ(0, Join(SimInvitation()).result);
  EXPECT_EQ(1, p.calls);
  EXPECT_EQ(1u, SimCalls());
}

TEST_F(ProxyFaultTest, EndlessChallengeIsEndedByTheRetryBudget) {
  QmxClockSetManual(1, 1000000);
  CRtTraceCapture trace;
  Prompt p{"alice", "wrong"};
  QmxInternetSetCredentialPrompt(&Prompt::Answer, &p);
  ASSERT_EQ(0, m_module->JoinConference(SimInvitation(), "meet", "", "", "", ""));
  // Three retries are answered; the fourth challenge of the process ends the
  // request, which the sweep then reports.
  ASSERT_TRUE(RunUntil([&] { return trace.Contains("proxy retry 3 times, quit!"); }));
  for (int i = 0; i < 8 && m_sink.outcomes.empty(); ++i) {
    QmxClockAdvance(20000);
    QmxThreadRunPending();
  }
  ASSERT_EQ(1u, m_sink.outcomes.size());
  EXPECT_EQ(4003, m_sink.outcomes[0].result);
  EXPECT_EQ(3, p.calls);
  EXPECT_EQ(0u, SimCalls());
  // Once the budget is spent a challenge goes to the user every time; a user
  // who gives up gets the challenge page, delivered once.
  p.calls = 0;
  p.answers = 2;
  const Outcome o = Join(SimInvitation());
  EXPECT_TRUE(o.result == 4002 || o.result == 4003) << o.result;
  EXPECT_EQ(3, p.calls);
  EXPECT_EQ(2u, m_sink.outcomes.size());
}

// ---- flow control and memory -------------------------------------------------

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, std::strlen(field), field) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
  }
  return -1;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// A server of one long reply on a socket of its own. It writes without
// blocking; when the socket stays unwritable for two seconds the client has
// stopped taking data, and the server says so (a reading client that merely
// stalls that long only lets a broken layer pass, never fails a sound one).
class Firehose {
 public:
  explicit Firehose(size_t total) : m_total(total) {}
  ~Firehose() { Stop(); }
  bool Start() {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_listen, 4) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return false;
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { Run(); });
    return true;
  }
  void Stop() {
    m_stopping = true;
    if (m_listen >= 0) shutdown(m_listen, SHUT_RDWR);
    if (m_conn >= 0) shutdown(m_conn, SHUT_RDWR);
    if (m_thread.joinable()) m_thread.join();
    if (m_conn >= 0) close(m_conn);
    if (m_listen >= 0) close(m_listen);
    m_conn = m_listen = -1;
  }
  uint16_t Port() const { return m_port; }
  size_t Sent() const { return m_sent; }
  // Waits until the client stopped reading (true) or the reply is out or
  // broken (false).
  bool WaitStalled() {
    std::unique_lock<std::mutex> lock(m_mu);
    m_cv.wait_for(lock, std::chrono::seconds(120), [&] { return m_stalled || m_over; });
    return m_stalled;
  }

 private:
  void Run() {
    m_conn = accept(m_listen, nullptr, nullptr);
    if (m_conn >= 0) Serve();
    std::lock_guard<std::mutex> lock(m_mu);
    m_over = true;
    m_cv.notify_all();
  }
  void Serve() {
    char buf[4096];
    std::string req;
    while (req.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = recv(m_conn, buf, sizeof buf, 0);
      if (n <= 0) return;
      req.append(buf, n);
    }
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(m_total) + "\r\n\r\n";
    if (send(m_conn, head.data(), head.size(), MSG_NOSIGNAL) < 0) return;
    std::vector<char> block(64 * 1024, 'z');
    while (m_sent < m_total && !m_stopping) {
      const ssize_t n =
          send(m_conn, block.data(), std::min(block.size(), m_total - m_sent), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        m_sent += n;
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
      pollfd p{m_conn, POLLOUT, 0};
      if (poll(&p, 1, 2000) == 0) {
        {
          std::lock_guard<std::mutex> lock(m_mu);
          m_stalled = true;
          m_cv.notify_all();
        }
        poll(&p, 1, -1);
      }
    }
  }
  size_t m_total;
  int m_listen = -1, m_conn = -1;
  uint16_t m_port = 0;
  std::atomic<size_t> m_sent{0};
  std::atomic<bool> m_stopping{false};
  std::mutex m_mu;
  std::condition_variable m_cv;
  bool m_stalled = false, m_over = false;
  std::thread m_thread;
};

TEST(FlowControlTest, UnreadHundredMegabyteReplyStaysBoundedInTheLayer) {
  constexpr size_t kTotal = 100u << 20;
  Firehose server(kTotal);
  ASSERT_TRUE(server.Start());
  const long rssBefore = StatusKb("VmRSS:");
  HINTERNET root = InternetOpenA("rel", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  HINTERNET conn = InternetConnectA(root, "127.0.0.1", server.Port(), "", "", INTERNET_SERVICE_HTTP, 0, 1);
  HINTERNET req = HttpOpenRequestA(conn, "GET", "/big", "HTTP/1.1", "", nullptr, INTERNET_FLAG_RELOAD, 1);
  ASSERT_TRUE(HttpSendRequestA(req, nullptr, 0, nullptr, 0)) << GetLastError();
  // Nobody reads: the sender must come to a stop far short of the whole
  // reply (the layer's buffer plus the socket buffers).
  EXPECT_TRUE(server.WaitStalled()) << "the layer kept reading a reply nobody asked for";
  EXPECT_LT(server.Sent(), 16u << 20);
  if (!kSanitized) {
    EXPECT_LT(StatusKb("VmRSS:") - rssBefore, 64L * 1024) << "kB";
  }
  // Reading now brings the rest, whole.
  std::vector<char> buf(256 * 1024);
  size_t got = 0;
  DWORD n = 0;
  while (InternetReadFile(req, buf.data(), static_cast<DWORD>(buf.size()), &n) && n > 0) got += n;
  EXPECT_EQ(kTotal, got);
  InternetCloseHandle(req);
  InternetCloseHandle(conn);
  InternetCloseHandle(root);
  server.Stop();
}

// The module keeps the whole reply in one text by design; a few-MiB reply
// must cost about twice its size at the peak, not more. The server runs in
// a child process so that its copy of the reply does not count.
TEST_F(FaultTest, FewMegabyteReplyPeaksNearTwiceItsSize) {
  if (kSanitized) GTEST_SKIP() << "peak memory is not meaningful under a sanitizer";
  constexpr size_t kPadding = 6u << 20;
  int ports[2], stop[2];
  ASSERT_EQ(0, pipe(ports));
  ASSERT_EQ(0, pipe(stop));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ports[0]);
    close(stop[1]);
    {
      LoopbackServer big;
      const std::string xml =
          "<root><header><success>true</success></header><body><downLoad><entry><key>LoaderURL"
          "</key><value>http://127.0.0.1/l.bin</value></entry></downLoad></body><padding>" +
          std::string(kPadding, 'p') + "</padding></root>";
      big.SetHandler([xml](const ReceivedRequest&) { return Xml(xml); });
      uint16_t port = big.Start() ? big.Port() : 0;
      if (write(ports[1], &port, sizeof port) != sizeof port) _exit(1);
      char c;
      while (read(stop[0], &c, 1) > 0) {
      }
      big.Stop();
    }
    _exit(0);
  }
  close(ports[1]);
  close(stop[0]);
  uint16_t port = 0;
  ASSERT_EQ(static_cast<ssize_t>(sizeof port), read(ports[0], &port, sizeof port));
  close(ports[0]);
  ASSERT_NE(0, port);
  const std::string invitation = "http://127.0.0.1:" + std::to_string(port) + "/site1/join.do?confKey=1";
  // Warm up (site, connection, parser), then measure the peak of one more.
  EXPECT_EQ(0, Join(invitation).result);
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = StatusKb("VmRSS:");
  EXPECT_EQ(0, Join(invitation).result);
  const long peak = StatusKb("VmHWM:") - before;
  close(stop[1]);
  int status = 0;
  waitpid(child, &status, 0);
  const long body = static_cast<long>(kPadding / 1024);
  RecordProperty("peak_kb_over_body_kb", std::to_string(peak) + "/" + std::to_string(body));
  EXPECT_LT(peak, 2 * body + 4096) << "peak " << peak << " kB for a body of " << body << " kB";
}

// ---- hostile replies: bounded memory and records, no file unless whole ------

// The httpresponse.rrr of this program's record folder, 0 when absent.
uintmax_t SiteRecordSize() {
  const char* dir = getenv("QMX_RECORD_DIR");
  if (!dir || !*dir) return 0;
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(std::string(dir) + "/httpresponse.rrr", ec);
  return ec ? 0 : size;
}

struct Hostile {
  const char* what;
  std::function<void(Reply&)> make;
  // The join's outcome: a failure, or any outcome once (the whole document
  // came before the fault), or not tried (the case needs a file).
  enum { kFails, kOnce, kNotTried } join;
};

class HostileReplyTest : public FaultTest, public ::testing::WithParamInterface<Hostile> {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    char tmpl[] = "/tmp/confweba-hostile-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    m_dir = tmpl;
    // Endless replies end at the overall limit where nothing else ends them.
    QmxConfWebaTimeouts t{0, 0, 3000};
    QmxConfWebaSetTimeouts(&t);
  }
  void TearDown() override {
    QmxConfWebaSetTimeouts(nullptr);
    std::filesystem::remove_all(m_dir);
    FaultTest::TearDown();
  }
  std::string m_dir;
};

TEST_P(HostileReplyTest, FailsWithinBoundsAndLeavesNoFile) {
  Reply r = Xml(GoodXml());
  GetParam().make(r);
  m_server->SetHandler([r](const ReceivedRequest&) { return r; });
  ASSERT_TRUE(m_server->Start());
  std::ofstream(m_dir + "/loader.bin") << "good";
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = StatusKb("VmRSS:");

  EXPECT_EQ(4010, m_module->GetFileFromURL(m_server->Url("/files/loader.bin"), m_dir, ""));
  std::ifstream in(m_dir + "/loader.bin");
  std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ("good", kept);
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(m_dir), std::filesystem::directory_iterator()));
  if (GetParam().join != Hostile::kNotTried) {
    const int result = Join(Invitation()).result;
    if (GetParam().join == Hostile::kFails) {
      EXPECT_TRUE(result == 4002 || result == 4003) << result;
    }
    EXPECT_NE(-1, result);
  }
  if (!kSanitized) {
    EXPECT_LT(StatusKb("VmHWM:") - before, 64L * 1024) << "kB at the peak";
  }
  EXPECT_LT(SiteRecordSize(), 1u << 20);
}

const Hostile kHostile[] = {
    {"EndlessBody",
     [](Reply& r) {
       r.endlessBody = true;
       r.framing = Reply::Framing::kClose;
       r.drip = true;
     },
     Hostile::kFails},
    {"EndlessTrailers",
     [](Reply& r) {
       r.framing = Reply::Framing::kChunked;
       r.endlessTrailers = true;
     },
     Hostile::kOnce},
    {"EndlessHeaders", [](Reply& r) { r.endlessHeaders = true; }, Hostile::kFails},
    {"HugeAnnouncedLength",
     [](Reply& r) {
       r.contentLength = 4294967294LL;
       r.closeAfterBody = r.body.size();
     },
     Hostile::kNotTried},
    {"ShortBody", [](Reply& r) { r.closeAfterBody = r.body.size() / 2; }, Hostile::kNotTried},
    {"CutChunking",
     [](Reply& r) {
       r.framing = Reply::Framing::kChunked;
       r.chunkSize = 64;
       r.closeAfterBody = 100;
     },
     Hostile::kNotTried},
    {"NotFound", [](Reply& r) { r.status = 404; }, Hostile::kNotTried},
    {"ServerError", [](Reply& r) { r.status = 500; }, Hostile::kNotTried},
    {"ProxyLogon", [](Reply& r) { r.status = 407; }, Hostile::kNotTried},
    {"NotHttp", [](Reply& r) { r.raw = "SSH-2.0-OpenSSH_9.2\r\n"; }, Hostile::kFails},
};

INSTANTIATE_TEST_SUITE_P(Replies, HostileReplyTest, ::testing::ValuesIn(kHostile),
                         [](const ::testing::TestParamInfo<Hostile>& i) { return std::string(i.param.what); });

// A join past the XML reader's limit is refused as soon as it passes it.
TEST_F(FaultTest, JoinReplyLargerThanTheReaderTakesFails) {
  Reply r = Xml(GoodXml() + std::string(17u << 20, ' '));
  Serve(r);
  EXPECT_EQ(4003, Join(Invitation()).result);
  EXPECT_LT(SiteRecordSize(), 1u << 20);
}

// ---- time limits -------------------------------------------------------------

class ModuleTimeLimitTest : public FaultTest {
 protected:
  void TearDown() override {
    QmxConfWebaSetTimeouts(nullptr);
    FaultTest::TearDown();
  }
  static unsigned LastError() {
    QmxConfWebaDiagnosis d{};
    QmxConfWebaGetLastDiagnosis(&d);
    return d.internetError;
  }
};

TEST_F(ModuleTimeLimitTest, DownloadGivesUpWhenNoByteComes) {
  Reply r = Reply::Text(200, "late");
  r.stallBeforeHeaders = true;
  Serve(r);
  QmxConfWebaTimeouts t{0, 1000, 0};
  QmxConfWebaSetTimeouts(&t);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(4010, m_module->GetFileFromURL(m_server->Url("/f.bin"), "/tmp", ""));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(12002u, LastError());
  m_server->ReleaseStalled();
}

TEST_F(ModuleTimeLimitTest, ConnectLimitAppliesFromTheFirstDownload) {
  qmxloopback::BlackholeListener hole;
  ASSERT_TRUE(hole.Start());
  QmxConfWebaTimeouts t{1000, 0, 0};
  QmxConfWebaSetTimeouts(&t);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(4010, m_module->GetFileFromURL("http://127.0.0.1:" + std::to_string(hole.Port()) + "/f.bin", "/tmp", ""));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(12002u, LastError());
  hole.Stop();
}

// Without the overall limit only the sweep's 120 s of silence would end this.
TEST_F(ModuleTimeLimitTest, StalledJoinEndsAtTheOverallLimit) {
  Reply r = Xml(GoodXml());
  r.stallAfterBody = 10;
  Serve(r);
  QmxConfWebaTimeouts t{0, 0, 1500};
  QmxConfWebaSetTimeouts(&t);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(0, Join(Invitation()).result);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(12002u, LastError());
  m_server->ReleaseStalled();
}

// ---- shutdown right after replies --------------------------------------------

// A host that shuts the framework down and attaches again gets a new module
// object, and the HTTP client binds to the new queue: replies arrive again.
// The last handles of each round close on the transport's thread while the
// host shuts down: their reports find no queue and are dropped quietly.
TEST_F(FaultTest, RestartsRightAfterJoinsAnswerAndAssertNothing) {
  StartSim();
  CRtTraceCapture trace(RT_TRACE_LEVEL_ERROR);
  for (int i = 0; i < 60 && !HasFailure(); ++i) {
    EXPECT_EQ(0, Join(SimInvitation()).result);
    QmxFrameworkShutdown();
    QmxThreadDetach();
    m_sink.queue = QmxThreadAttach();
    m_module = IConfWeba::Instance();
    ASSERT_NE(nullptr, m_module);
    ASSERT_EQ(0, m_module->Initialize(&m_sink));
  }
  EXPECT_FALSE(trace.Contains("Assert failed"));
}

}  // namespace
}  // namespace reltest
