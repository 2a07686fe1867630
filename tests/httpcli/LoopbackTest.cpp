// The transport end to end over the real WinINet layer, against the loopback
// HTTP/HTTPS server and tinyproxy on 127.0.0.1, with replies delivered on
// the owner thread's event loop.
#include <arpa/inet.h>
#include <openssl/x509v3.h>
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
#include "qmxloopback/SelfSignedCert.h"
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
  bool RunUntilDelivered(size_t n) {
    return loop.RunUntil([&] { return sink.deliveries.size() >= n; });
  }

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
    return Reply::Text(
        200, r.method + " " + r.target + " [" + r.Header("Content-Type") + "] " + std::to_string(r.body.size()));
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
    EXPECT_EQ(d.key == getKey ? "GET /conf/get?x=1 [] 0" : "POST /conf/post [application/x-www-form-urlencoded] 8",
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

// The one certificate maker of the test servers: names by their form, the
// common name, and the validity window.
TEST(SelfSignedCertTest, NamesAndValidityAsAsked) {
  const long day = 24 * 3600;
  const struct {
    std::vector<std::string> hosts;
    std::string commonName;
    long notBefore, notAfter;
    std::string cn;
    std::vector<std::string> ips, dnsNames;
    bool valid;
  } cases[] = {
      {{"127.0.0.1", "localhost"}, "", -3600, 30 * day, "127.0.0.1", {"127.0.0.1"}, {"localhost"}, true},
      {{"::1"}, "", -3600, day, "::1", {"::1"}, {}, true},
      {{"site.test"}, "named", -3600, day, "named", {}, {"site.test"}, true},
      {{}, "", -3600, day, "loopback", {}, {}, true},
      {{"127.0.0.1"}, "", -10 * day, -day, "127.0.0.1", {"127.0.0.1"}, {}, false},
  };
  for (const auto& c : cases) {
    qmxloopback::CertificateRequest request;
    request.hosts = c.hosts;
    request.commonName = c.commonName;
    request.notBefore = c.notBefore;
    request.notAfter = c.notAfter;
    qmxloopback::SelfSignedCert cert;
    std::string error;
    ASSERT_TRUE(cert.Make(request, error)) << error;
    X509* x = cert.Certificate();
    EXPECT_EQ(1, X509_verify(x, cert.Key())) << c.cn;

    char cn[256] = {0};
    X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, cn, sizeof(cn));
    EXPECT_EQ(c.cn, cn);

    std::vector<std::string> ips, dnsNames;
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x, NID_subject_alt_name, nullptr, nullptr));
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
      const GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
      if (n->type == GEN_DNS) {
        dnsNames.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(n->d.dNSName)));
      } else if (n->type == GEN_IPADD) {
        char text[INET6_ADDRSTRLEN] = {0};
        const int length = ASN1_STRING_length(n->d.iPAddress);
        inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(n->d.iPAddress), text, sizeof(text));
        ips.emplace_back(text);
      }
    }
    GENERAL_NAMES_free(names);
    EXPECT_EQ(c.ips, ips) << c.cn;
    EXPECT_EQ(c.dnsNames, dnsNames) << c.cn;

    const bool valid =
        X509_cmp_current_time(X509_get0_notBefore(x)) < 0 && X509_cmp_current_time(X509_get0_notAfter(x)) > 0;
    EXPECT_EQ(c.valid, valid) << c.cn;
  }
}
