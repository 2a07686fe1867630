// Faults of servers and networks as the host sees them through the module:
// each request gets its one result, a download writes the whole file or
// nothing, memory stays bounded, and over repeated rounds the module's live
// objects and the open descriptors do not grow. Servers run on 127.0.0.1
// and stop with the case.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "RelHost.h"
#include "RtTraceCapture.h"
#include "SiteSimulator.h"
#include "qmxconfweba_ext.h"
#include "qmxloopback/LoopbackServer.h"

using qmxloopback::LoopbackServer;
using qmxloopback::ReceivedRequest;
using qmxloopback::Reply;

namespace reltest {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

Reply Xml(const std::string& body) {
  Reply r = Reply::Text(200, body);
  r.headers = {{"Content-Type", "text/xml"}};
  return r;
}

Reply GoodReply() {
  return Xml(sitesim::JoinSuccessXml({{"ConfId", "123456"}, {"$Token", "t$1"}},
                                     {{"LoaderURL", "http://127.0.0.1/l.bin"}, {"$ContentLanguage", "x"}}));
}

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, std::strlen(field), field) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
  return -1;
}

// Starts a fresh measure of the peak resident memory; returns the current.
long ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
  return StatusKb("VmRSS:");
}

class FaultTest : public RelHost {
 protected:
  void TearDown() override {
    m_server->Stop();
    QmxConfWebaSetTimeouts(nullptr);
    RelHost::TearDown();
  }
  // The loopback server answers every request with reply.
  void Serve(const Reply& reply) {
    m_server->SetHandler([reply](const ReceivedRequest&) { return reply; });
    ASSERT_TRUE(m_server->Start());
  }
  static unsigned LastError() {
    QmxConfWebaDiagnosis d{};
    QmxConfWebaGetLastDiagnosis(&d);
    return d.internetError;
  }
  std::unique_ptr<LoopbackServer> m_server{new LoopbackServer()};
};

// ---- one hostile reply for every request: join, invitation and download -----

struct ReplyFault {
  const char* what;
  void (*make)(Reply&);        // applied to a good join reply; null: nothing listens
  int join, invite, download;  // kAny: one outcome, whatever it is; kSkip: not tried
  unsigned error;              // the transport's error after the join, or the download when no join (0: not checked)
  // The host's limits: endless replies end at the overall limit where nothing else ends them.
  QmxConfWebaTimeouts limits = {0, 0, 1500};
};
constexpr int kAny = -2, kSkip = -3;

// A listener that never accepts: the connect neither succeeds nor is refused.
void Unanswered(Reply&) {}

class HostileReply : public FaultTest, public ::testing::WithParamInterface<ReplyFault> {};

TEST_P(HostileReply, OneResultEachWithinBoundsAndNoPartialFile) {
  const ReplyFault& c = GetParam();
  Reply reply = GoodReply();
  qmxloopback::BlackholeListener hole;
  ASSERT_TRUE(c.make != Unanswered || hole.Start());
  std::string base = "http://127.0.0.1:" + std::to_string(c.make ? hole.Port() : qmxloopback::UnusedPort());
  if (c.make && c.make != Unanswered) {
    c.make(reply);
    Serve(reply);
    base = m_server->Url("");
  }
  QmxConfWebaSetTimeouts(&c.limits);
  const long before = ResetPeak();
  Rounds(c.join == kSkip ? 0 : 3, [&](int) {
    const Outcome o = Join(base + "/site1/join.do?confKey=123456&lang=en");
    EXPECT_TRUE(!c.error || c.error == LastError()) << LastError();
    const int invite = Invite(base + "/site1/");
    EXPECT_NE(-1, o.result);
    EXPECT_NE(-1, invite);
    EXPECT_TRUE(c.join == kAny || c.join == o.result) << o.result;
    EXPECT_TRUE(c.invite == kAny || c.invite == invite) << invite;
    EXPECT_TRUE(o.result != 0 || o.url == "http://127.0.0.1/l.bin") << o.url;
  });
  // The good file of that name stays as it was unless the whole new one came.
  char tmpl[] = "/tmp/confweba-fault-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string dir = tmpl;
  std::ofstream(dir + "/loader.bin") << "good";
  EXPECT_EQ(c.download, m_module->GetFileFromURL(base + "/files/loader.bin", dir, ""));
  EXPECT_TRUE(c.join != kSkip || !c.error || c.error == LastError()) << LastError();
  std::ifstream in(dir + "/loader.bin");
  EXPECT_EQ(c.download == 0 ? reply.body : "good", std::string(std::istreambuf_iterator<char>(in), {}));
  EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir), {}));
  std::filesystem::remove_all(dir);
  // Memory follows the reply, never what an endless server keeps sending.
  const long peak = StatusKb("VmHWM:") - before;
  EXPECT_TRUE(kSanitized || peak < 64L * 1024 + 4 * long(reply.body.size() >> 10)) << peak << " kB at the peak";
  // A redirect loop ends at the layer's cap of 30.
  EXPECT_LE(m_server->RequestCount(), 7u * 31);
}

// An empty reply to a join is 4003 and to an invitation 4002, whatever the
// transport's own code was; a document cut short is 4002.
const ReplyFault kReplyFaults[] = {
    {"Refused", nullptr, 4003, 4002, 4010, 12029},
    {"ResetMidBody", [](Reply& r) { r.resetAfterBody = r.body.size() / 2; }, 4002, 4002, 4010, 12031},
    {"ShortBody", [](Reply& r) { r.closeAfterBody = r.body.size() / 2; }, 4002, 4002, 4010, 12030},
    {"HugeAnnouncedLength", [](Reply& r) { r.contentLength = 4294967294LL, r.closeAfterBody = r.body.size(); }, kAny,
     kAny, 4010, 12030},
    {"RedirectLoop",
     [](Reply& r) {
       r.status = 302, r.headers = {{"Location", "/loop"}};
     },
     4003, 4002, 4010, 12156},
    {"ServerErrorWithSiteXml", [](Reply& r) { r.status = 500, r.body = sitesim::FailureXml("0x0604006", "locked"); },
     4024, 4024, 4010, 0},
    {"ProxyLogonPage", [](Reply& r) { r.status = 407; }, kSkip, kSkip, 4010, 0},
    {"Dripped", [](Reply& r) { r.drip = true; }, 0, 0, 0, 0},
    {"EndlessBody", [](Reply& r) { r.endlessBody = true, r.framing = Reply::Framing::kClose, r.drip = true; }, 4002,
     4002, 4010, 12002},
    {"EndlessHeaders", [](Reply& r) { r.endlessHeaders = true; }, 4003, 4002, 4010, 12152},
    // Past the XML reader's limit: refused as soon as it passes it.
    // The server closes after it: should the rest of the body reach libcurl
    // before the refusal does, the finished connection would otherwise stay
    // in the pool in one round and not in another.
    {"LargerThanTheReaderTakes",
     [](Reply& r) { r.body += std::string(17u << 20, ' '), r.keepAlive = false; },
     4003,
     4002,
     0,
     0,
     {}},
    // The host's connect and receive limits end a silent peer.
    {"ConnectUnanswered", Unanswered, 4003, 4002, 4010, 12002, {1000, 0, 0}},
    {"StalledBeforeHeaders", [](Reply& r) { r.stallBeforeHeaders = true; }, kSkip, kSkip, 4010, 12002, {0, 1000, 0}},
};

INSTANTIATE_TEST_SUITE_P(Replies, HostileReply, ::testing::ValuesIn(kReplyFaults),
                         [](const ::testing::TestParamInfo<ReplyFault>& i) { return std::string(i.param.what); });

// ---- restart --------------------------------------------------------------------

// A host that shuts the framework down and attaches again gets a new module
// object, and the HTTP client binds to the new queue: replies arrive again.
// The last handles of each round close on the transport's thread while the
// host shuts down: their reports find no queue and are dropped quietly.
TEST_F(FaultTest, RestartsRightAfterJoinsAnswerAndAssertNothing) {
  Serve(GoodReply());
  CRtTraceCapture trace(RT_TRACE_LEVEL_ERROR);
  for (int i = 0; i < 60 && !HasFailure(); ++i) {
    EXPECT_EQ(0, Join(m_server->Url("/site1/join.do?confKey=123456&lang=en")).result);
    ModuleHost::TearDown();
    ModuleHost::SetUp();
  }
  EXPECT_FALSE(trace.Contains("Assert failed"));
}

}  // namespace
}  // namespace reltest
