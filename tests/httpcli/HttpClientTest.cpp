#include "HttpClient.h"

#include <set>

#include <gtest/gtest.h>

#include <thread>

#include "FakeWininet.h"
#include "HttpcliTestUtil.h"
#include "RtHttpProxyInfo.h"
#include "RtTraceCapture.h"
#include "SiteWininet.h"

using namespace httpcli_test;

namespace {

struct UrlEncodeCase {
  std::string in;
  std::string out;
};

class UrlEncodeTest : public ::testing::TestWithParam<UrlEncodeCase> {};

TEST_P(UrlEncodeTest, Encodes) { EXPECT_EQ(GetParam().out, CHttpClient::Instance()->UrlEncode(GetParam().in)); }

INSTANTIATE_TEST_SUITE_P(Table, UrlEncodeTest,
                         ::testing::Values(UrlEncodeCase{"", ""}, UrlEncodeCase{"aZ09", "aZ09"},
                                           UrlEncodeCase{"a b\tc\nd", "a+b+c+d"}, UrlEncodeCase{"a=b&c", "a%3Db%26c"},
                                           UrlEncodeCase{"-._~", "%2D%2E%5F%7E"}, UrlEncodeCase{"\xE9\xFF", "%E9%FF"},
                                           UrlEncodeCase{std::string("ab\0cd", 5), "ab"}));

TEST(HttpClientTest, ErrorTexts) {
  CHttpClient* client = CHttpClient::Instance();
  EXPECT_EQ("unexpected error!", client->GetErrorText(0));
  EXPECT_EQ("invalid url", client->GetErrorText(4001));
  EXPECT_EQ("invalid proxy", client->GetErrorText(4002));
  EXPECT_EQ("connect url failed", client->GetErrorText(4003));
  EXPECT_EQ("out of memory", client->GetErrorText(10007));
  EXPECT_EQ("invalid argument", client->GetErrorText(10008));
  EXPECT_EQ("wrong status", client->GetErrorText(10015));
  for (int code : {10001, 10004, 10005, 10006, 10009, 10011, 10013, 4020, -1}) {
    EXPECT_EQ("unexpected error!", client->GetErrorText(code)) << code;
  }
}

// Every number of the result list means one thing: no two lines share one.
TEST(HttpClientTest, ResultNumbersAreUnique) {
  const int codes[] = {
#define QMX_RESULT(name, value, clientText, hostText) value,
#include "ConfWebaResultList.h"
#undef QMX_RESULT
  };
  std::set<int> seen;
  for (int code : codes) EXPECT_TRUE(seen.insert(code).second) << code;
}

TEST(HttpClientTest, ProxyListText) {
  EXPECT_EQ("HTTP=HTTP://proxyhost:8080", BuildProxyList(1, "proxyhost", 8080));
  EXPECT_EQ("HTTP=HTTP://proxyhost:80", BuildProxyList(1, "proxyhost", 80));
  EXPECT_EQ("HTTPS=HTTPS://proxyhost:65535", BuildProxyList(2, "proxyhost", 65535));
  EXPECT_EQ("SOCKS=:8080", BuildProxyList(3, "", 8080));
  EXPECT_EQ("SOCKS=p:0", BuildProxyList(4, "p", 0));
  EXPECT_EQ("proxyhost:8080", BuildProxyList(5, "proxyhost", 8080));
}

TEST(HttpClientTest, ProxyInfoCopiesCarryCountAndClearedFlag) {
  CRtAutoPtr<CRtHttpProxyInfo> info(
      new CRtHttpProxyInfo("proxy", 3128, CRtHttpProxyInfo::PROXY_TYPE_HTTP, "u", "p", "Basic", 1));
  CRtAutoPtr<CRtHttpProxyInfo> second(info);
  EXPECT_EQ(1, info->IsFirstTryWithoutUserName());
  info->SetFirstTryedWithoutUserName();
  EXPECT_EQ(0, info->IsFirstTryWithoutUserName());

  CRtHttpProxyInfo copy(*info);
  EXPECT_EQ(2u, copy.GetReference());
  EXPECT_EQ(0, copy.IsFirstTryWithoutUserName());
  EXPECT_EQ("proxy", copy.GetHostName());
  EXPECT_EQ(3128, copy.GetPort());
  EXPECT_EQ("Basic", copy.GetAuthScheme());
  EXPECT_EQ(CRtHttpProxyInfo::PROXY_TYPE_HTTP, copy.GetProxyType());

  CRtHttpProxyInfo assigned;
  assigned = *info;
  EXPECT_EQ(2u, assigned.GetReference());
  EXPECT_EQ("u", assigned.GetUserNameA());

  CRtString passwd = info->GetPasswd();
  passwd += "changed";
  EXPECT_EQ("p", info->GetPasswd());
}

class HttpClientSitesTest : public ::testing::Test {
 protected:
  void SetUp() override { fakeinet::Reset(); }
  void TearDown() override {
    CHttpClient::Instance()->CloseAllSites();
    CHttpClient::Instance()->Destory();
  }
};

TEST_F(HttpClientSitesTest, ThreadWithoutQueueGetsNoSite) {
  CRtTraceCapture trace;
  ISiteClient* site = reinterpret_cast<ISiteClient*>(0x1);
  EXPECT_EQ(10015, CHttpClient::Instance()->InitSite("http://h/", &site));
  EXPECT_EQ(nullptr, site);
  EXPECT_TRUE(trace.Has("CHttpClient::InitAsync, Get current EventQueue Failed.", RT_TRACE_LEVEL_WARNING));
  EXPECT_TRUE(trace.Contains("CHttpClient::InitSite, InitAsync failed. this=", RT_TRACE_LEVEL_INFO));
  EXPECT_EQ(0u, CHttpClient::Instance()->GetSiteCount());
}

TEST_F(HttpClientSitesTest, BindsToFirstThreadUntilDestory) {
  CHttpClient* client = CHttpClient::Instance();
  OwnerLoop loop;
  ISiteClient* a = nullptr;
  ASSERT_EQ(0, client->InitSite("http://h/", &a));
  IRtEventQueue* first = client->GetEventQueue();
  EXPECT_NE(nullptr, first);

  // A later site from another thread still reports to the first queue.
  ISiteClient* b = nullptr;
  std::thread([&] {
    OwnerLoop other;
    EXPECT_EQ(0, client->InitSite("http://h/", &b));
    EXPECT_EQ(first, client->GetEventQueue());
    client->Destory();
    ISiteClient* c = nullptr;
    EXPECT_EQ(0, client->InitSite("http://h/", &c));
    EXPECT_NE(first, client->GetEventQueue());
    c->ReleaseReference();
    client->Destory();
  }).join();
  a->ReleaseReference();
  b->ReleaseReference();
}

TEST_F(HttpClientSitesTest, CloseSiteOnceThenNotFound) {
  CRtTraceCapture trace;
  OwnerLoop loop;
  CHttpClient* client = CHttpClient::Instance();
  ISiteClient* a = nullptr;
  ISiteClient* b = nullptr;
  ASSERT_EQ(0, client->InitSite("http://h/", "user", "secret", &a));
  EXPECT_TRUE(trace.Contains("CSiteClient::SetLogin, userName=user,password=*** this="));
  ASSERT_EQ(0, client->InitSite("http://h/", &b));
  EXPECT_EQ(2u, client->GetSiteCount());
  EXPECT_EQ(0, client->CloseSite(a));
  EXPECT_EQ(10011, client->CloseSite(a));
  EXPECT_TRUE(trace.Contains("CHttpClient::CloseSite, cann't find site. aSite="));
  EXPECT_EQ(1u, client->GetSiteCount());
  EXPECT_EQ(nullptr, client->FindRequest(1));
  a->ReleaseReference();  // the caller's reference: the site dies here
  b->ReleaseReference();
}

TEST_F(HttpClientSitesTest, PostEventFailuresLeaveTheEventWithTheCaller) {
  CRtTraceCapture trace;
  CHttpClient* client = CHttpClient::Instance();
  EXPECT_EQ(10008, client->PostEvent(nullptr));
  EXPECT_TRUE(trace.Contains("Assert failed: aEvent", RT_TRACE_LEVEL_ERROR));

  struct Probe : IRtEvent {
    int OnEventFire() override { return 0; }
  } probe;
  EXPECT_EQ(10015, client->PostEvent(&probe));
  EXPECT_TRUE(trace.Contains("Assert failed: m_curEventQueue", RT_TRACE_LEVEL_ERROR));
}

}  // namespace
