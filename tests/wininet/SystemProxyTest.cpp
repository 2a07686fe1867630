// The preconfigured access type asks the desktop's proxy settings (libproxy)
// first: here a PAC file served from a loopback server, named through
// libproxy's environment module. QMX_NO_LIBPROXY turns that off, and then
// only the environment rules apply; explicit settings never ask.
#include <dlfcn.h>

#include <cstdlib>

#include "WininetTestSupport.h"
#include "qmxloopback/ProxyFixtures.h"

using namespace wintest;
using qmxloopback::ReceivedRequest;
using qmxloopback::Reply;

namespace {

enum class Env { kPac, kOffWithAllProxy, kOffNoProxy };

struct RouteCase {
  const char* name;
  Env env;
  DWORD access;
  const char* host;
  bool viaHttpProxy;
  bool pacAsked;  // the PAC file may be fetched (libproxy keeps it once it has it)
};

void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.name; }

class SystemProxyTest : public LayerTest, public ::testing::WithParamInterface<RouteCase> {
 protected:
  void SetUp() override {
    void* lib = dlopen("libproxy.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib) GTEST_SKIP() << "libproxy is not installed";
    dlclose(lib);
    for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                          "no_proxy", "NO_PROXY", "QMX_NO_LIBPROXY"})
      unsetenv(v);
    LayerTest::SetUp();
    m_server.SetHandler([](const ReceivedRequest&) { return Reply::Text(200, "origin"); });
    ASSERT_TRUE(m_proxy.Start()) << m_proxy.Log();
    ASSERT_TRUE(m_socks.Start()) << m_socks.Log();
    // localhost through the HTTP proxy, 127.1 through SOCKS, the rest direct.
    const std::string pac =
        "function FindProxyForURL(url, host) {\n  if (host == \"localhost\") return \"PROXY 127.0.0.1:" +
        std::to_string(m_proxy.Port()) +
        "\";\n  if (host == \"127.1\") return \"SOCKS 127.0.0.1:" + std::to_string(m_socks.Port()) +
        "\";\n  return \"DIRECT\";\n}\n";
    ASSERT_TRUE(m_pacServer.Start());
    m_pacServer.SetHandler([pac](const ReceivedRequest&) {
      Reply r = Reply::Text(200, pac);
      r.headers = {{"Content-Type", "application/x-ns-proxy-autoconfig"}};
      return r;
    });
  }
  void TearDown() override {
    m_pacServer.Stop();
    LayerTest::TearDown();
  }
  qmxloopback::LoopbackServer m_pacServer;
  qmxloopback::TinyProxy m_proxy;
  qmxloopback::DanteSocks m_socks;
};

TEST_P(SystemProxyTest, RouteForTheHost) {
  const RouteCase& c = GetParam();
  const std::string proxy = "127.0.0.1:" + std::to_string(m_proxy.Port());
  const std::string dead = "http://127.0.0.1:" + std::to_string(qmxloopback::UnusedPort());
  // libproxy's environment module takes a PAC address from http_proxy.
  setenv("http_proxy", ("pac+" + m_pacServer.Url("/proxy.pac")).c_str(), 1);
  // The desktop's answer, "DIRECT" included, wins over all_proxy; switched
  // off, a PAC address is no proxy and all_proxy is taken.
  if (c.env != Env::kOffNoProxy) setenv("all_proxy", c.env == Env::kOffWithAllProxy ? proxy.c_str() : dead.c_str(), 1);
  if (c.env == Env::kOffWithAllProxy || c.env == Env::kOffNoProxy) setenv("QMX_NO_LIBPROXY", "1", 1);
  Req q = At(c.name);
  q.host = c.host;
  q.access = c.access;
  q.proxy = c.access == INTERNET_OPEN_TYPE_PROXY ? proxy.c_str() : nullptr;
  m_handles = Open(q);
  Outcome o = Exchange(false, m_handles, 1);
  EXPECT_EQ(o.status, 200u) << o.sendError;
  EXPECT_EQ(o.body, "origin");
  EXPECT_EQ(m_proxy.Log().find(c.name) != std::string::npos, c.viaHttpProxy) << m_proxy.Log();
  if (!c.pacAsked) {
    EXPECT_EQ(m_pacServer.RequestCount(), 0u);
  }
}

constexpr DWORD kPre = INTERNET_OPEN_TYPE_PRECONFIG;
INSTANTIATE_TEST_SUITE_P(
    Routes, SystemProxyTest,
    ::testing::Values(RouteCase{"/PacProxy", Env::kPac, kPre, "localhost", true, true},
                      RouteCase{"/PacDirect", Env::kPac, kPre, "127.0.0.1", false, true},
                      RouteCase{"/PacSocks", Env::kPac, kPre, "127.1", false, true},
                      RouteCase{"/DirectIgnoresThePac", Env::kPac, INTERNET_OPEN_TYPE_DIRECT, "localhost", false,
                                false},
                      RouteCase{"/ListIgnoresThePac", Env::kPac, INTERNET_OPEN_TYPE_PROXY, "127.0.0.1", true, false},
                      RouteCase{"/OffTakesAllProxy", Env::kOffWithAllProxy, kPre, "127.0.0.1", true, false},
                      RouteCase{"/OffWithoutProxyGoesDirect", Env::kOffNoProxy, kPre, "localhost", false, false}),
    [](const auto& info) { return std::string(info.param.name + 1); });

}  // namespace
