// The preconfigured access type asks the desktop's proxy settings (libproxy)
// first: here a PAC file served from a loopback server, named through
// libproxy's environment module. QMX_NO_LIBPROXY turns that off, and then
// only the environment rules apply.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "qmxloopback/LoopbackServer.h"
#include "qmxloopback/ProxyFixtures.h"
#include "wininet.h"

using qmxloopback::LoopbackServer;
using qmxloopback::ReceivedRequest;
using qmxloopback::Reply;

namespace {

constexpr DWORD kFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES;

// One synchronous GET with the preconfigured access type: the status, or 0
// and the error when the send fails.
struct Outcome {
  DWORD status = 0, error = 0;
  std::string body;
};

Outcome PreconfigGet(const std::string& host, INTERNET_PORT port, const std::string& path) {
  Outcome o;
  HINTERNET root = InternetOpenA("sysproxy", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  HINTERNET conn = InternetConnectA(root, host.c_str(), port, "", "", INTERNET_SERVICE_HTTP, 0, 1);
  HINTERNET req = HttpOpenRequestA(conn, "GET", path.c_str(), nullptr, nullptr, nullptr, kFlags, 1);
  EXPECT_TRUE(root && conn && req) << GetLastError();
  if (!HttpSendRequestA(req, nullptr, 0, nullptr, 0)) {
    o.error = GetLastError();
  } else {
    DWORD len = sizeof o.status;
    HttpQueryInfoA(req, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &o.status, &len, nullptr);
    char buf[512];
    DWORD got = 0;
    while (InternetReadFile(req, buf, sizeof buf, &got) && got > 0) o.body.append(buf, got);
  }
  InternetCloseHandle(req);
  InternetCloseHandle(conn);
  InternetCloseHandle(root);
  return o;
}

class SystemProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    void* lib = dlopen("libproxy.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib) GTEST_SKIP() << "libproxy is not installed";
    dlclose(lib);
    for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                          "no_proxy", "NO_PROXY", "QMX_NO_LIBPROXY"})
      unsetenv(v);
    ASSERT_TRUE(m_origin.Start());
    m_origin.SetHandler([](const ReceivedRequest&) { return Reply::Text(200, "origin"); });
    ASSERT_TRUE(m_proxy.Start()) << m_proxy.Log();
    ASSERT_TRUE(m_socks.Start()) << m_socks.Log();
    // localhost through the HTTP proxy, 127.1 through SOCKS, the rest direct.
    const std::string pac =
        "function FindProxyForURL(url, host) {\n"
        "  if (host == \"localhost\") return \"PROXY 127.0.0.1:" +
        std::to_string(m_proxy.Port()) +
        "\";\n"
        "  if (host == \"127.1\") return \"SOCKS 127.0.0.1:" +
        std::to_string(m_socks.Port()) +
        "\";\n"
        "  return \"DIRECT\";\n}\n";
    ASSERT_TRUE(m_pacServer.Start());
    m_pacServer.SetHandler([pac](const ReceivedRequest&) {
      Reply r = Reply::Text(200, pac);
      r.headers = {{"Content-Type", "application/x-ns-proxy-autoconfig"}};
      return r;
    });
    // libproxy's environment module takes a PAC address from http_proxy.
    setenv("http_proxy", ("pac+" + m_pacServer.Url("/proxy.pac")).c_str(), 1);
  }
  void TearDown() override {
    m_pacServer.Stop();
    m_origin.Stop();
  }
  bool ProxySaw(const std::string& path) const { return m_proxy.Log().find(path) != std::string::npos; }

  LoopbackServer m_origin, m_pacServer;
  qmxloopback::TinyProxy m_proxy;
  qmxloopback::DanteSocks m_socks;
};

TEST_F(SystemProxyTest, PacFileChoosesTheRoutePerHost) {
  struct Row {
    const char* host;
    const char* path;
    bool viaHttpProxy;
  };
  // The desktop's answer, "DIRECT" included, wins over the environment's.
  setenv("all_proxy", ("http://127.0.0.1:" + std::to_string(qmxloopback::UnusedPort())).c_str(), 1);
  const Row rows[] = {
      {"localhost", "/via-proxy", true},
      {"127.0.0.1", "/direct", false},
      {"127.1", "/via-socks", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.host);
    Outcome o = PreconfigGet(row.host, m_origin.Port(), row.path);
    EXPECT_EQ(o.status, 200u) << o.error;
    EXPECT_EQ(o.body, "origin");
    EXPECT_EQ(ProxySaw(row.path), row.viaHttpProxy) << m_proxy.Log();
  }
  EXPECT_EQ(m_origin.RequestCount(), 3u);
  EXPECT_GE(m_pacServer.RequestCount(), 1u);
}

// Explicit settings never consult the desktop's: DIRECT goes direct and a
// proxy list is used as given, whatever the PAC file says.
TEST_F(SystemProxyTest, DirectAndExplicitListsIgnoreThePac) {
  const std::string list = "127.0.0.1:" + std::to_string(m_proxy.Port());
  struct Row {
    DWORD access;
    const char* list;
    const char* path;
    bool viaHttpProxy;
  };
  const Row rows[] = {
      {INTERNET_OPEN_TYPE_DIRECT, nullptr, "/explicit-direct", false},
      {INTERNET_OPEN_TYPE_PROXY, list.c_str(), "/explicit-list", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    // The PAC file sends localhost to the proxy and 127.0.0.1 direct.
    const char* host = row.viaHttpProxy ? "127.0.0.1" : "localhost";
    HINTERNET root = InternetOpenA("sysproxy", row.access, row.list, nullptr, 0);
    HINTERNET conn = InternetConnectA(root, host, m_origin.Port(), "", "", INTERNET_SERVICE_HTTP, 0, 1);
    HINTERNET req = HttpOpenRequestA(conn, "GET", row.path, nullptr, nullptr, nullptr, kFlags, 1);
    EXPECT_TRUE(HttpSendRequestA(req, nullptr, 0, nullptr, 0)) << GetLastError();
    InternetCloseHandle(root);
    EXPECT_EQ(ProxySaw(row.path), row.viaHttpProxy) << m_proxy.Log();
  }
  EXPECT_EQ(m_pacServer.RequestCount(), 0u);
}

// Switched off, the environment rules alone apply: a PAC address is not a
// proxy, so all_proxy is used, even for a host the PAC file sends direct.
TEST_F(SystemProxyTest, SwitchedOffTheEnvironmentRulesApply) {
  setenv("QMX_NO_LIBPROXY", "1", 1);
  setenv("all_proxy", ("http://127.0.0.1:" + std::to_string(m_proxy.Port())).c_str(), 1);
  Outcome o = PreconfigGet("127.0.0.1", m_origin.Port(), "/env-rules");
  EXPECT_EQ(o.status, 200u) << o.error;
  EXPECT_TRUE(ProxySaw("/env-rules")) << m_proxy.Log();
  EXPECT_EQ(m_pacServer.RequestCount(), 0u);
  // Without any proxy variable the route is direct.
  unsetenv("all_proxy");
  o = PreconfigGet("localhost", m_origin.Port(), "/no-proxy-at-all");
  EXPECT_EQ(o.status, 200u) << o.error;
  EXPECT_FALSE(ProxySaw("/no-proxy-at-all"));
}

// A PAC file that cannot be had leaves libproxy with "direct": the request
// goes direct rather than failing.
TEST_F(SystemProxyTest, UnreachablePacGoesDirect) {
  setenv("http_proxy", ("pac+http://127.0.0.1:" + std::to_string(qmxloopback::UnusedPort()) + "/proxy.pac").c_str(), 1);
  Outcome o = PreconfigGet("localhost", m_origin.Port(), "/pac-gone");
  EXPECT_EQ(o.status, 200u) << o.error;
  EXPECT_FALSE(ProxySaw("/pac-gone"));
}

}  // namespace
