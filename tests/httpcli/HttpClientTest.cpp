#include "HttpClient.h"

#include <set>

#include <gtest/gtest.h>

#include <thread>

#include "HttpcliTestUtil.h"
#include "SiteWininet.h"

using namespace httpcli_test;

namespace {

TEST(HttpClientTest, UrlEncode) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"aZ09", "aZ09"},
      {"a b\tc\nd", "a+b+c+d"},
      {"a=b&c", "a%3Db%26c"},
      {"-._~", "%2D%2E%5F%7E"},
      {"\xE9\xFF", "%E9%FF"},
      {std::string("ab\0cd", 5), "ab"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, CHttpClient::Instance()->UrlEncode(c.first)) << c.first;
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
  EXPECT_EQ("HTTPS=HTTPS://proxyhost:65535", BuildProxyList(2, "proxyhost", 65535));
  EXPECT_EQ("SOCKS=p:0", BuildProxyList(4, "p", 0));
  EXPECT_EQ("proxyhost:8080", BuildProxyList(5, "proxyhost", 8080));
}

class HttpClientSitesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    CHttpClient::Instance()->CloseAllSites();
    CHttpClient::Instance()->Destory();
  }
};

TEST_F(HttpClientSitesTest, ThreadWithoutQueueGetsNoSite) {
  ISiteClient* site = reinterpret_cast<ISiteClient*>(0x1);
  EXPECT_EQ(10015, CHttpClient::Instance()->InitSite("http://h/", &site));
  EXPECT_EQ(nullptr, site);
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
  OwnerLoop loop;
  CHttpClient* client = CHttpClient::Instance();
  ISiteClient* a = nullptr;
  ISiteClient* b = nullptr;
  ASSERT_EQ(0, client->InitSite("http://h/", "user", "secret", &a));
  ASSERT_EQ(0, client->InitSite("http://h/", &b));
  EXPECT_EQ(2u, client->GetSiteCount());
  EXPECT_EQ(0, client->CloseSite(a));
  EXPECT_EQ(10011, client->CloseSite(a));
  EXPECT_EQ(1u, client->GetSiteCount());
  EXPECT_EQ(nullptr, client->FindRequest(1));
  a->ReleaseReference();  // the caller's reference: the site dies here
  b->ReleaseReference();
}

TEST_F(HttpClientSitesTest, PostEventFailuresLeaveTheEventWithTheCaller) {
  CHttpClient* client = CHttpClient::Instance();
  EXPECT_EQ(10008, client->PostEvent(nullptr));

  struct Probe : IRtEvent {
    int OnEventFire() override { return 0; }
  } probe;
  EXPECT_EQ(10015, client->PostEvent(&probe));
}

}  // namespace
