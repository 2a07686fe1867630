// Proxies end to end: list forms against real tinyproxy and danted, and 407
// challenges answered with proxy credentials, the credential cache and the
// prompt (the lowest layer that shows them). The list, bypass and
// environment rules themselves are ProxyListTest's; PRECONFIG end to end is
// SystemProxyTest's.
#include "WininetTestSupport.h"
#include "qmxloopback/ProxyFixtures.h"

using namespace wintest;
using qmxloopback::LoopbackServer;
using qmxloopback::Reply;

namespace {

class ProxyTest : public LayerTest {
 protected:
  void SetUp() override {
    LayerTest::SetUp();
    m_server.SetHandler([](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, "origin"); });
  }
  Req Through(const std::string& list) {
    m_list = list;
    Req q = At("/p");
    q.access = INTERNET_OPEN_TYPE_PROXY;
    q.proxy = m_list.c_str();
    q.bypass = "<local>";
    return q;
  }
  using LayerTest::Get;
  DWORD Get(const std::string& list) { return Get(Through(list)); }
  void SetProxyCredentials(const char* user, const char* password) {
    ASSERT_TRUE(InternetSetOptionA(m_handles.request, INTERNET_OPTION_PROXY_USERNAME, const_cast<char*>(user),
                                   static_cast<DWORD>(std::strlen(user) + 1)));
    ASSERT_TRUE(InternetSetOptionA(m_handles.request, INTERNET_OPTION_PROXY_PASSWORD, const_cast<char*>(password),
                                   static_cast<DWORD>(std::strlen(password) + 1)));
  }
  std::string m_list;
};

// Which entry serves which scheme is ProxyListTest's; here one list through
// a real proxy, one through SOCKS, and "<local>" sending a dotless name past
// a dead proxy.
TEST_F(ProxyTest, ListAndBypassChooseTheRoute) {
  qmxloopback::TinyProxy proxy;
  ASSERT_TRUE(proxy.Start()) << proxy.Log();
  EXPECT_EQ(Get("HTTP=HTTP://127.0.0.1:" + std::to_string(proxy.Port())), 200u);
  EXPECT_NE(proxy.Log().find("/p"), std::string::npos);
  qmxloopback::DanteSocks socks;
  ASSERT_TRUE(socks.Start()) << socks.Log();
  const std::string viaSocks = "SOCKS=127.0.0.1:" + std::to_string(socks.Port());
  EXPECT_EQ(Get(viaSocks), 200u);
  socks.Stop();
  EXPECT_EQ(Get(viaSocks), 0u) << "the route goes through the SOCKS server";
  Req q = Through("HTTP=HTTP://127.0.0.1:" + std::to_string(qmxloopback::UnusedPort()));
  q.host = "localhost";
  EXPECT_EQ(Get(q), 200u);
  q.host = "127.0.0.1";
  EXPECT_EQ(Get(q), 0u);
  EXPECT_EQ(m_lastError, static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT));
  EXPECT_EQ(m_server.RequestCount(), 3u);
}

TEST_F(ProxyTest, ProxyChallengeAnsweredByCredentialsAndThePrompt) {
  qmxloopback::TinyProxy proxy("alice", "s3cret");
  ASSERT_TRUE(proxy.Start()) << proxy.Log();
  std::string list = "HTTP=HTTP://127.0.0.1:" + std::to_string(proxy.Port());
  EXPECT_EQ(Get(list), 407u);
  EXPECT_EQ(m_server.RequestCount(), 0u);
  // Credentials set on the request answer the 407 when it is sent again.
  SetProxyCredentials("alice", "s3cret");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  // New handles to the same proxy present the remembered credentials.
  EXPECT_EQ(Get(list), 200u);
  EXPECT_EQ(m_server.RequestCount(), 2u);
  // Forgetting them brings the challenge back.
  ASSERT_TRUE(InternetSetOptionA(nullptr, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0));
  EXPECT_EQ(Get(list), 407u);
  // The prompt answers it for the proxy; the caller retries with new
  // handles, as the module does.
  PromptLog log{"alice", "s3cret"};
  QmxInternetSetCredentialPrompt(&PromptLog::Prompt, &log);
  EXPECT_EQ(InternetErrorDlg(nullptr, m_handles.request, ERROR_INTERNET_INCORRECT_PASSWORD, 3, nullptr),
            static_cast<DWORD>(ERROR_INTERNET_FORCE_RETRY));
  EXPECT_TRUE(log.fProxy);
  EXPECT_EQ(log.host, "127.0.0.1");
  EXPECT_EQ(log.port, proxy.Port());
  EXPECT_EQ(Get(list), 200u);
  EXPECT_EQ(log.calls, 1);
}

TEST_F(ProxyTest, HttpsGoesThroughConnectAndItsChallengeIsTheReply) {
  LoopbackServer tls(qmxloopback::ServerOptions{true});
  ASSERT_TRUE(tls.Start());
  tls.SetHandler([](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, "tunnelled"); });
  qmxloopback::TinyProxy proxy("alice", "s3cret");
  ASSERT_TRUE(proxy.Start()) << proxy.Log();
  Req q = Through("HTTPS=HTTPS://127.0.0.1:" + std::to_string(proxy.Port()));
  q.port = tls.Port();
  q.flags = 0x84C83000;                                                // the module's HTTPS request flags
  q.settings = {{INTERNET_OPTION_SECURITY_FLAGS, 0x84C8F180, false}};  // and its security option
  // The proxy refuses the tunnel: a successful send with status 407.
  EXPECT_EQ(Get(q), 407u);
  EXPECT_EQ(tls.RequestCount(), 0u);
  SetProxyCredentials("alice", "s3cret");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0)) << GetLastError();
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  std::string body;
  ASSERT_TRUE(ReadAllSync(m_handles.request, body));
  EXPECT_EQ(body, "tunnelled");
  m_handles.Close();
  tls.Stop();
}

}  // namespace
