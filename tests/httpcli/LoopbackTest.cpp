// The transport end to end over the real WinINet layer, against loopback
// HTTP and HTTPS servers on 127.0.0.1, with replies delivered on the owner
// thread's event loop.
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "HttpClient.h"
#include "HttpcliTestUtil.h"
#include "RtTraceCapture.h"
#include "SiteWininet.h"
#include "qmxclock.h"
#include "qmxloopback/ProxyFixtures.h"
#include "qmxwininet_ext.h"

using namespace httpcli_test;

namespace {

// A throw-away key and self-signed certificate for 127.0.0.1.
struct TestCert {
  TestCert() {
    key = EVP_EC_gen("P-256");
    cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char*)"127.0.0.1", -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
  }
  ~TestCert() {
    X509_free(cert);
    EVP_PKEY_free(key);
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

// One server per test, bound to an ephemeral port, stopped at the end.
class Loopback {
 public:
  explicit Loopback(bool tls) {
    if (tls) {
      cert_ = std::make_unique<TestCert>();
      server_ = std::make_unique<httplib::SSLServer>(cert_->cert, cert_->key);
    } else {
      server_ = std::make_unique<httplib::Server>();
    }
    tls_ = tls;
    // One request per connection: stopping never waits on an idle keep-alive.
    server_->set_keep_alive_max_count(1);
  }
  ~Loopback() { Stop(); }
  httplib::Server& server() { return *server_; }
  void Start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
  }
  void Stop() {
    if (thread_.joinable()) {
      server_->stop();
      thread_.join();
    }
  }
  std::string Url(const std::string& path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  std::unique_ptr<TestCert> cert_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  bool tls_ = false;
};

class LoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HINTERNET probe = InternetOpenA("probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (!probe && GetLastError() == ERROR_NOT_SUPPORTED) GTEST_SKIP() << "WinINet layer not available yet";
    if (probe) InternetCloseHandle(probe);
  }
  void TearDown() override {
    Release();
    if (site) {
      site->OpenWith(nullptr);
      client->CloseSite(site);
      site->ReleaseReference();
      site = nullptr;
    }
    client->CloseAllSites();
    client->Destory();
    plain.Stop();
    secure.Stop();
    QmxInternetSetCredentialPrompt(nullptr, nullptr);
  }

  CSiteWininet* Open(const std::string& url, bool sync = false) {
    EXPECT_EQ(0, client->InitSite(url, &site));
    site->OpenWith(&sink);
    int value = sync ? 1 : 0;
    site->SetOption(SiteOptionSync, &value);
    return static_cast<CSiteWininet*>(site);
  }
  bool RunUntilDelivered(size_t n) { return loop.RunUntil([&] { return sink.deliveries.size() >= n; }); }

  // Handlers that wait until the test ends.
  void Stall() {
    std::unique_lock<std::mutex> g(stallLock);
    stalled = true;
    stallCv.notify_all();
    stallCv.wait(g, [&] { return released; });
  }

  void Release() {
    {
      std::lock_guard<std::mutex> g(stallLock);
      released = true;
    }
    stallCv.notify_all();
  }

  OwnerLoop loop;
  CRtTraceCapture trace;
  RecordingSink sink;
  CHttpClient* client = CHttpClient::Instance();
  ISiteClient* site = nullptr;
  Loopback plain{false};
  Loopback secure{true};
  std::mutex stallLock;
  std::condition_variable stallCv;
  bool stalled = false;
  bool released = false;
};

TEST_F(LoopbackTest, AsyncGetAndPostAreDeliveredOnceAndRecorded) {
  plain.server().Get("/conf/get", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("got " + req.get_param_value("x"), "text/plain");
  });
  plain.server().Post("/conf/post", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.get_header_value("Content-Type") + "|" + std::to_string(req.body.size()), "text/plain");
  });
  plain.Start();
  Open(plain.Url("/conf/"));
  DWORD getKey = 0, postKey = 0;
  ASSERT_EQ(0, site->Request(&getKey, "/conf/get?x=1", "GET", "", nullptr, 0));
  ASSERT_EQ(0, site->Request(&postKey, "/conf/post?a=1&b=2", "POST", "", nullptr, 0));
  ASSERT_TRUE(RunUntilDelivered(2));
  loop.RunUntil([] { return false; }, 200);  // nothing more may come
  ASSERT_EQ(2u, sink.deliveries.size());
  for (const Delivery& d : sink.deliveries) {
    EXPECT_EQ(0, d.result);
    if (d.key == getKey) {
      EXPECT_EQ("got 1", d.content);
    } else {
      EXPECT_EQ(postKey, d.key);
      EXPECT_EQ("application/x-www-form-urlencoded|8", d.content);
    }
  }
  std::string record = ReadFile(ExeDir() + "httpresponse.rrr");
  EXPECT_NE(std::string::npos, record.find("[    1]:/conf/get?x=1\n"));
  EXPECT_NE(std::string::npos, record.find("[    2]:/conf/post\n"));
  EXPECT_NE(std::string::npos, record.find(std::string("[    2]:a=1&b=2") + '\0' + "\n"));
  EXPECT_NE(std::string::npos, record.find("[    1]:got 1\n"));
}

TEST_F(LoopbackTest, SyncGetOverHttps) {
  std::string body(10000, 'q');
  secure.server().Get("/file", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(body, "application/octet-stream");
  });
  secure.Start();
  Open(secure.Url("/file"), true);
  CRtString response;
  EXPECT_EQ(0, site->RequestSync(response, "", "GET", "", nullptr, 0));
  EXPECT_EQ(body, response);
}

BOOL CALLBACK AnswerUserPassword(const QMX_CREDENTIAL_REQUEST*, LPSTR user, DWORD cchUser, LPSTR password,
                                 DWORD cchPassword, LPVOID counter) {
  ++*static_cast<std::atomic<int>*>(counter);
  snprintf(user, cchUser, "u");
  snprintf(password, cchPassword, "p");
  return TRUE;
}

void GuardedHandler(const httplib::Request& req, httplib::Response& res) {
  if (req.get_header_value("Authorization") != "Basic dTpw") {
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic realm=\"conf\"");
    res.set_content("need auth", "text/plain");
    return;
  }
  res.set_content("welcome", "text/plain");
}

TEST_F(LoopbackTest, ChallengeAnsweredThroughThePrompt) {
  plain.server().Get("/guarded", GuardedHandler);
  plain.Start();
  std::atomic<int> prompts{0};
  QmxInternetSetCredentialPrompt(AnswerUserPassword, &prompts);
  Open(plain.Url("/guarded"), true);
  CRtString response;
  EXPECT_EQ(0, site->RequestSync(response, "", "GET", "", nullptr, 0));
  EXPECT_EQ("welcome", response);
  EXPECT_EQ(1, prompts.load());
}

TEST_F(LoopbackTest, ChallengeCancelledDeliversThePageWithZero) {
  plain.server().Get("/guarded", GuardedHandler);
  plain.Start();
  Open(plain.Url("/guarded"));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "", "GET", "", nullptr, 0));
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ(0, sink.deliveries[0].result);
  EXPECT_EQ("need auth", sink.deliveries[0].content);
}

TEST_F(LoopbackTest, ProxyChallengeAnsweredWithTheProxyCredentials) {
  qmxloopback::TinyProxy proxy("pu", "pp");
  if (!proxy.Start()) GTEST_SKIP() << "tinyproxy did not start";
  plain.server().Get("/via", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("through the proxy", "text/plain");
  });
  plain.Start();
  CSiteWininet* s = Open(plain.Url("/via"), true);
  site->SetProxy("pu", "pp", "127.0.0.1", proxy.Port(), 1);
  int on = 1;
  site->SetOption(SiteOptionUseProxy, &on);
  CRtString response;
  EXPECT_EQ(0, site->RequestSync(response, "", "GET", "", nullptr, 0));
  EXPECT_EQ("through the proxy", response);
  EXPECT_EQ(2, s->GetProxyAuthState());
  EXPECT_TRUE(trace.Contains("HttpQueryInfo result: dwCode=200"));
  proxy.Stop();
}

TEST_F(LoopbackTest, ConnectionDroppedMidBodyGives10006WithTextSoFar) {
  plain.server().Get("/cut", [](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(1000, "text/plain", [](size_t offset, size_t, httplib::DataSink& out) {
      if (offset > 0) return false;  // drop the connection after the first part
      out.write(std::string(100, 'c').data(), 100);
      return true;
    });
  });
  plain.Start();
  Open(plain.Url("/cut"));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "", "GET", "", nullptr, 0));
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ(10006, sink.deliveries[0].result);
  EXPECT_EQ(std::string(100, 'c'), sink.deliveries[0].content);
}

TEST_F(LoopbackTest, BodyArrivingAfterAPendingReadIsReadWhole) {
  static const std::string first(3000, 'a'), second(2500, 'b');
  plain.server().Get("/parts", [this](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [this](size_t offset, httplib::DataSink& out) {
      if (offset == 0) {
        out.write(first.data(), first.size());
      } else {
        Stall();  // until the client's read has gone pending
        out.write(second.data(), second.size());
        out.done();
      }
      return true;
    });
  });
  plain.Start();
  Open(plain.Url("/parts"));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "", "GET", "", nullptr, 0));
  ASSERT_TRUE(loop.RunUntil([&] { return trace.Contains("wait for next complete event. requ="); }));
  Release();
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ(0, sink.deliveries[0].result);
  EXPECT_EQ(first + second, sink.deliveries[0].content);
}

TEST_F(LoopbackTest, StalledServerIsTimedOutByTheSweep) {
  QmxClockSetManual(1, 5000000);
  plain.server().Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
    Stall();
    res.set_content("late", "text/plain");
  });
  plain.Start();
  CSiteWininet* s = Open(plain.Url("/stall"));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "", "GET", "", nullptr, 0));
  ASSERT_TRUE(loop.RunUntil([&] {
    std::lock_guard<std::mutex> g(stallLock);
    return stalled;
  }));
  for (int tick = 0; tick < 7 && sink.deliveries.empty(); ++tick) {
    QmxClockAdvance(20000);
    loop.RunPending();
  }
  ASSERT_EQ(1u, sink.deliveries.size());
  EXPECT_EQ(10006, sink.deliveries[0].result);
  EXPECT_EQ(0u, s->GetPendingCount());
  QmxClockSetManual(0, 0);
}

}  // namespace
