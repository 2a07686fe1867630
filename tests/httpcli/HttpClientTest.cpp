#include "HttpClient.h"

#include <gtest/gtest.h>

#include "HttpcliTestUtil.h"

using namespace httpcli_test;

namespace {

TEST(HttpClientTest, UrlEncode) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"aZ09 b\tc\nd", "aZ09+b+c+d"},
      {"a=b&c", "a%3Db%26c"},
      {"-._~", "%2D%2E%5F%7E"},
      {"\xE9\xFF", "%E9%FF"},
      {std::string("ab\0cd", 5), "ab"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, CHttpClient::Instance()->UrlEncode(c.first)) << c.first;
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

TEST_F(HttpClientSitesTest, CloseSiteOnceThenNotFound) {
  OwnerLoop loop;
  CHttpClient* client = CHttpClient::Instance();
  ISiteClient* a = nullptr;
  ASSERT_EQ(0, client->InitSite("http://h/", "user", "secret", &a));
  EXPECT_EQ(0, client->CloseSite(a));
  EXPECT_EQ(10011, client->CloseSite(a));
  EXPECT_EQ(0u, client->GetSiteCount());
  a->ReleaseReference();  // the caller's reference: the site dies here
}

}  // namespace
