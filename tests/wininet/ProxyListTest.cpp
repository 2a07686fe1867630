// The proxy choice for one target host: WinINet proxy and bypass lists, and
// the environment's proxy variables with no_proxy (suffix matches on a dot
// boundary, as curl reads them). Proxy.cpp is compiled into this test.
#include <gtest/gtest.h>

#include "ProxyAuth.h"

namespace {

using qmxinet::ProxyConfig;

struct NoProxyCase {
  const char* list;
  const char* host;
  bool exempt;
};

TEST(ProxyList, NoProxyMatchesOnADotBoundary) {
  const NoProxyCase cases[] = {
      {"example.com", "example.com", true},
      {"example.com", "a.example.com", true},
      {"example.com", "a.b.EXAMPLE.com", true},
      {"example.com", "badexample.com", false},
      {"example.com", "example.com.evil", false},
      {".example.com", "a.example.com", true},
      {".example.com", "example.com", true},
      {"other.org, example.com", "a.example.com", true},
      {"other.org,\texample.com", "example.org", false},
      {"*", "anything.at.all", true},
      {"*.example.com", "a.example.com", false},  // no wild cards in no_proxy
      {"", "example.com", false},
  };
  for (const NoProxyCase& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " / " + c.host);
    EXPECT_EQ(qmxinet::NoProxyMatches(c.list, c.host), c.exempt);
    // The same answer decides the route.
    ProxyConfig cfg;
    cfg.mode = ProxyConfig::kEnvironment;
    cfg.envHttp = "http://proxy.test:3128";
    cfg.envNoProxy = c.list;
    EXPECT_EQ(qmxinet::ChooseProxy(cfg, false, c.host).none, c.exempt);
  }
}

struct BypassCase {
  const char* list;
  const char* host;
  bool direct;
};

TEST(ProxyList, BypassEntriesAreCaseBlindWildCards) {
  std::string many;
  for (int i = 0; i < 40; ++i) many += "*1";
  many += "*x";  // no match, after much backtracking
  const BypassCase cases[] = {
      {"<local>", "intranet", true},
      {"<LOCAL>", "localhost", true},
      {"<local>", "127.0.0.1", false},
      {"<local>", "host.local", false},
      {"10.*;127.0.*", "127.0.0.1", true},
      {"*.Example.com", "a.example.COM", true},
      {"*.example.com", "example.com", false},
      {"example.com", "a.example.com", false},
      {many.c_str(), "1111111111111111111111111111111111111111111111111111111111111", false},
      {"", "intranet", false},
  };
  for (const BypassCase& c : cases) {
    SCOPED_TRACE(std::string(c.list) + " / " + c.host);
    ProxyConfig cfg;
    cfg.mode = ProxyConfig::kList;
    ASSERT_TRUE(qmxinet::ParseProxyList("proxy.test:3128", cfg.entries));
    qmxinet::ParseBypassList(c.list, cfg.bypass);
    EXPECT_EQ(qmxinet::ChooseProxy(cfg, false, c.host).none, c.direct);
  }
}

struct ListCase {
  const char* list;
  bool https;
  const char* url;  // libcurl's proxy address; "" for direct
};

TEST(ProxyList, ListEntryForTheScheme) {
  const ListCase cases[] = {
      {"HTTP=HTTP://h:81", false, "http://h:81"},    {"HTTP=HTTP://h:81", true, ""},
      {"http=h:81 https=s:82", true, "http://s:82"}, {"h", false, "http://h:80"},
      {"https=s:82;h:81", false, "http://h:81"},     {"SOCKS=k", false, "socks4://k:1080"},
      {"SOCKS=k:9 h:81", true, "http://h:81"},       {"[::1]:81", false, "http://[::1]:81"},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.list);
    ProxyConfig cfg;
    cfg.mode = ProxyConfig::kList;
    ASSERT_TRUE(qmxinet::ParseProxyList(c.list, cfg.entries));
    EXPECT_EQ(qmxinet::ChooseProxy(cfg, c.https, "target.test").curlUrl, c.url);
  }
}

TEST(ProxyList, EnvironmentUrlCarriesSchemeCredentialsAndPort) {
  ProxyConfig cfg;
  cfg.mode = ProxyConfig::kEnvironment;
  cfg.envHttp = "alice:pw@proxy.test";
  cfg.envAll = "socks5://all.test:9";
  qmxinet::ProxyChoice c = qmxinet::ChooseProxy(cfg, false, "target.test");
  EXPECT_EQ(c.curlUrl, "http://proxy.test:1080");
  EXPECT_EQ(c.user, "alice");
  EXPECT_EQ(c.password, "pw");
  EXPECT_EQ(qmxinet::ChooseProxy(cfg, true, "target.test").curlUrl, "socks5://all.test:9");
  cfg.envHttps = "https://secure.test:3129/";
  EXPECT_EQ(qmxinet::ChooseProxy(cfg, true, "target.test").curlUrl, "http://secure.test:3129");
}

}  // namespace
