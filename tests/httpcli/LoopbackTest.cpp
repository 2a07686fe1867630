// The transport end to end over the real WinINet layer, against the loopback
// HTTP/HTTPS server and tinyproxy on 127.0.0.1, with replies delivered on
// the owner thread's event loop.
#include <stdio.h>

#include <gtest/gtest.h>

#include <atomic>

#include "HttpClient.h"
#include "HttpcliTestUtil.h"
#include "RtTraceCapture.h"
#include "SiteWininet.h"
#include "qmxclock.h"
#include "qmxloopback/LoopbackServer.h"
#include "qmxloopback/ProxyFixtures.h"
#include "qmxwininet_ext.h"

using namespace httpcli_test;
using qmxloopback::LoopbackServer;
using qmxloopback::ReceivedRequest;
using Reply = qmxloopback::Reply;

namespace {

class LoopbackTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (site) {
      site->OpenWith(nullptr);
      client->CloseSite(site);
      site->ReleaseReference();
    }
    client->CloseAllSites();
    client->Destory();
    server.Stop();
    QmxInternetSetCredentialPrompt(nullptr, nullptr);
    QmxClockSetManual(0, 0);
  }

  CSiteWininet* Open(const std::string& url, bool sync = false) {
    EXPECT_EQ(0, client->InitSite(url, &site));
    site->OpenWith(&sink);
    int value = sync ? 1 : 0;
    site->SetOption(SiteOptionSync, &value);
    return static_cast<CSiteWininet*>(site);
  }
  bool RunUntilDelivered(size_t n) { return loop.RunUntil([&] { return sink.deliveries.size() >= n; }); }

  OwnerLoop loop;
  CRtTraceCapture trace;
  RecordingSink sink;
  CHttpClient* client = CHttpClient::Instance();
  ISiteClient* site = nullptr;
  LoopbackServer server;
};

TEST_F(LoopbackTest, AsyncGetAndPostAreDeliveredOnceAndRecorded) {
  OwnRecordDir records;
  server.SetHandler([](const ReceivedRequest& r) {
    return Reply::Text(200, r.method + " " + r.target + " [" + r.Header("Content-Type") + "] " +
                                std::to_string(r.body.size()));
  });
  ASSERT_TRUE(server.Start());
  Open(server.Url("/conf/"));
  DWORD getKey = 0, postKey = 0;
  ASSERT_EQ(0, site->Request(&getKey, "/conf/get?x=1", "GET", "", nullptr, 0));
  ASSERT_EQ(0, site->Request(&postKey, "/conf/post?a=1&b=2", "POST", "", nullptr, 0));
  ASSERT_TRUE(RunUntilDelivered(2));
  loop.RunUntil([] { return false; }, 200);  // nothing more may come
  ASSERT_EQ(2u, sink.deliveries.size());
  for (const Delivery& d : sink.deliveries) {
    EXPECT_EQ(0, d.result);
    EXPECT_EQ(d.key == getKey ? "GET /conf/get?x=1 [] 0"
                              : "POST /conf/post [application/x-www-form-urlencoded] 8",
              d.content);
  }
  for (const ReceivedRequest& r : server.Requests()) {
    EXPECT_EQ(r.method == "POST" ? std::string("a=1&b=2\0", 8) : std::string(), r.body);
  }
  std::string record = ReadFile(RecordDir() + "httpresponse.rrr");
  EXPECT_NE(std::string::npos, record.find("[    1]:/conf/get?x=1\n"));
  EXPECT_NE(std::string::npos, record.find(std::string("[    2]:a=1&b=2") + '\0' + "\n"));
  EXPECT_NE(std::string::npos, record.find("[    1]:GET /conf/get?x=1 [] 0\n"));
}

TEST_F(LoopbackTest, SyncGetOverHttps) {
  LoopbackServer secure(qmxloopback::ServerOptions{true});
  secure.SetHandler([](const ReceivedRequest&) { return Reply::Text(200, std::string(10000, 'q')); });
  ASSERT_TRUE(secure.Start());
  Open(secure.Url("/file"), true);
  CRtString response;
  // The server's own certificate is trusted by nobody: checked, it fails.
  EXPECT_EQ(10006, site->RequestSync(response, "", "GET", "", nullptr, 0));
  ASSERT_TRUE(QmxInternetSetTrustedCertificates(secure.CertificateFile().c_str()));
  EXPECT_EQ(0, site->RequestSync(response, "", "GET", "", nullptr, 0));
  EXPECT_EQ(std::string(10000, 'q'), response);
  QmxInternetSetTrustedCertificates(nullptr);
}

BOOL CALLBACK AnswerUserPassword(const QMX_CREDENTIAL_REQUEST*, LPSTR user, DWORD cchUser, LPSTR password,
                                 DWORD cchPassword, LPVOID counter) {
  ++*static_cast<std::atomic<int>*>(counter);
  snprintf(user, cchUser, "u");
  snprintf(password, cchPassword, "p");
  return TRUE;
}

TEST_F(LoopbackTest, ChallengeAnsweredThroughThePrompt) {
  server.SetHandler([](const ReceivedRequest&) { return Reply::Text(200, "welcome"); });
  server.RequireBasic("u", "p", "conf");
  ASSERT_TRUE(server.Start());
  std::atomic<int> prompts{0};
  QmxInternetSetCredentialPrompt(AnswerUserPassword, &prompts);
  Open(server.Url("/guarded"), true);
  CRtString response;
  EXPECT_EQ(0, site->RequestSync(response, "", "GET", "", nullptr, 0));
  EXPECT_EQ("welcome", response);
  EXPECT_EQ(1, prompts.load());
}

TEST_F(LoopbackTest, AsyncChallengeAnsweredThroughThePrompt) {
  server.SetHandler([](const ReceivedRequest&) { return Reply::Text(200, "welcome"); });
  server.RequireBasic("u", "p", "conf");
  ASSERT_TRUE(server.Start());
  std::atomic<int> prompts{0};
  QmxInternetSetCredentialPrompt(AnswerUserPassword, &prompts);
  Open(server.Url("/guarded"));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "", "GET", "", nullptr, 0));
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ(0, sink.deliveries[0].result);
  EXPECT_EQ("welcome", sink.deliveries[0].content);
  EXPECT_EQ(1, prompts.load());
}

TEST_F(LoopbackTest, ChallengeCancelledDeliversThePageWithZero) {
  server.SetHandler([](const ReceivedRequest&) {
    Reply r = Reply::BasicChallenge("conf");
    r.body = "need auth";
    return r;
  });
  ASSERT_TRUE(server.Start());
  Open(server.Url("/guarded"));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "", "GET", "", nullptr, 0));
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ(0, sink.deliveries[0].result);
  EXPECT_EQ("need auth", sink.deliveries[0].content);
}

TEST_F(LoopbackTest, ProxyChallengeAnsweredWithTheProxyCredentials) {
  qmxloopback::TinyProxy proxy("pu", "pp");
  if (!proxy.Start()) GTEST_SKIP() << "tinyproxy did not start";
  server.SetHandler([](const ReceivedRequest&) { return Reply::Text(200, "through the proxy"); });
  ASSERT_TRUE(server.Start());
  CSiteWininet* s = Open(server.Url("/via"), true);
  site->SetProxy("pu", "pp", "127.0.0.1", proxy.Port(), 1);
  int on = 1;
  site->SetOption(SiteOptionUseProxy, &on);
  CRtString response;
  EXPECT_EQ(0, site->RequestSync(response, "", "GET", "", nullptr, 0));
  EXPECT_EQ("through the proxy", response);
  EXPECT_EQ(2, s->GetProxyAuthState());
}

TEST_F(LoopbackTest, BodyArrivingAfterAPendingReadIsReadWhole) {
  const std::string body = std::string(3000, 'a') + std::string(2500, 'b');
  server.SetHandler([&body](const ReceivedRequest&) {
    Reply r = Reply::Text(200, body);
    r.stallAfterBody = 3000;
    return r;
  });
  ASSERT_TRUE(server.Start());
  Open(server.Url("/parts"));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "", "GET", "", nullptr, 0));
  ASSERT_TRUE(loop.RunUntil([&] { return trace.Contains("wait for next complete event. requ="); }));
  server.ReleaseStalled();
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ(0, sink.deliveries[0].result);
  EXPECT_EQ(body, sink.deliveries[0].content);
}

TEST_F(LoopbackTest, ConnectionDroppedMidBodyGives10006WithTextSoFar) {
  server.SetHandler([](const ReceivedRequest&) {
    Reply r = Reply::Text(200, std::string(1000, 'c'));
    r.closeAfterBody = 100;
    return r;
  });
  ASSERT_TRUE(server.Start());
  Open(server.Url("/cut"));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "", "GET", "", nullptr, 0));
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ(10006, sink.deliveries[0].result);
  EXPECT_EQ(std::string(100, 'c'), sink.deliveries[0].content);
}

TEST_F(LoopbackTest, StalledServerIsTimedOutByTheSweep) {
  QmxClockSetManual(1, 5000000);
  server.SetHandler([](const ReceivedRequest&) {
    Reply r = Reply::Text(200, "late");
    r.stallBeforeHeaders = true;
    return r;
  });
  ASSERT_TRUE(server.Start());
  CSiteWininet* s = Open(server.Url("/stall"));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "", "GET", "", nullptr, 0));
  ASSERT_TRUE(server.WaitForRequests(1));
  for (int tick = 0; tick < 7 && sink.deliveries.empty(); ++tick) {
    QmxClockAdvance(20000);
    loop.RunPending();
  }
  ASSERT_EQ(1u, sink.deliveries.size());
  EXPECT_EQ(10006, sink.deliveries[0].result);
  EXPECT_EQ(0u, s->GetPendingCount());
}

}  // namespace
