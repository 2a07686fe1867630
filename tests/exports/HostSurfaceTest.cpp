// The host's settings through qmxconfweba_ext.h alone: the proxy and the
// hosts that bypass it, the credential prompt, the record folder. A second
// loopback server plays the proxy: it answers only requests in proxy form
// (an absolute target), so the downloaded text tells which way a request went.
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ConfWebaResults.h"
#include "qmxconfweba_ext.h"
#include "qmxframework.h"
#include "qmxloopback/LoopbackServer.h"

namespace {

namespace fs = std::filesystem;
using qmxloopback::Reply;

class HostSurfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("http_proxy");
    unsetenv("all_proxy");
    unsetenv("ALL_PROXY");
    m_queue = QmxThreadAttach();
    ASSERT_NE(nullptr, m_queue);
    m_origin.SetHandler([](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, "direct"); });
    m_proxy.SetHandler([this](const qmxloopback::ReceivedRequest& r) {
      if (r.target.compare(0, 7, "http://") != 0) return Reply::Text(400, "not a proxy request");
      if (m_proxyAuth && r.Header("Proxy-Authorization") != "Basic YWxpY2U6czNjcmV0")  // alice:s3cret
        return Reply::BasicChallenge("px", true);
      return Reply::Text(200, "proxy");
    });
    ASSERT_TRUE(m_origin.Start());
    ASSERT_TRUE(m_proxy.Start());
    m_proxyAddress = "127.0.0.1:" + std::to_string(m_proxy.Port());
    char tmpl[] = "/tmp/host-surface-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    m_dir = tmpl;
  }
  void TearDown() override {
    QmxConfWebaSetProxy(nullptr, nullptr);
    QmxConfWebaSetCredentialPrompt(nullptr, nullptr);
    QmxConfWebaSetRecordDir(nullptr);
    m_origin.Stop();
    m_proxy.Stop();
    QmxFrameworkShutdown();
    QmxThreadDetach();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  static void OnComplete(void* context, unsigned, int result, const char* path) {
    auto* self = static_cast<HostSurfaceTest*>(context);
    self->m_result = result;
    self->m_path = path ? path : "";
    self->m_done = true;
  }

  // Downloads from the origin; the body ("direct" or "proxy"), or "" when
  // the download failed.
  std::string Fetch() {
    m_done = false;
    const QmxDownloadSink sink = {this, nullptr, &OnComplete};
    const std::string folder = m_dir + "/files";
    if (QmxConfWebaStartDownload(m_origin.Url("/f.txt").c_str(), folder.c_str(), nullptr, &sink) == 0) return "";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!m_done && std::chrono::steady_clock::now() < deadline) QmxThreadRun(200);
    if (!m_done || m_result != 0) return "";
    std::ifstream in(m_path);
    std::stringstream s;
    s << in.rdbuf();
    fs::remove(m_path);
    return s.str();
  }

  IRtEventQueue* m_queue = nullptr;
  qmxloopback::LoopbackServer m_origin, m_proxy;
  bool m_proxyAuth = false;
  std::string m_proxyAddress, m_dir, m_path;
  bool m_done = false;
  int m_result = -1;
};

TEST_F(HostSurfaceTest, RequestsGoThroughTheProxyUnlessTheirHostIsExempt) {
  EXPECT_EQ("direct", Fetch());
  const struct {
    const char* noProxy;
    const char* way;
  } kCases[] = {
      {nullptr, "proxy"},        {"", "proxy"},
      {"127.0.0.1", "direct"},   {"example.com, 127.0.0.1", "direct"},
      {"127.0.0.0/8", "direct"}, {"127.0.0.0/24", "direct"},
      {"*", "direct"},           {"10.0.0.0/8", "proxy"},
      {"0.0.1", "proxy"},  // an address matches whole, never by its tail
      {"localhost", "proxy"},
  };
  for (const auto& c : kCases) {
    ASSERT_EQ(QMX_OK, QmxConfWebaSetProxy(m_proxyAddress.c_str(), c.noProxy));
    EXPECT_EQ(c.way, Fetch()) << (c.noProxy ? c.noProxy : "(null)");
  }
  ASSERT_EQ(QMX_OK, QmxConfWebaSetProxy(("http://" + m_proxyAddress + "/").c_str(), nullptr));
  EXPECT_EQ("proxy", Fetch());
  ASSERT_EQ(QMX_OK, QmxConfWebaSetProxy("", "127.0.0.1"));
  EXPECT_EQ("direct", Fetch());
}

TEST_F(HostSurfaceTest, AMalformedProxyIsRefusedAndChangesNothing) {
  ASSERT_EQ(QMX_OK, QmxConfWebaSetProxy(m_proxyAddress.c_str(), nullptr));
  const struct {
    const char* proxy;
    const char* noProxy;
  } kBad[] = {
      {"http://", nullptr},      {"ftp://h:21", nullptr},      {"h:0", nullptr},          {"h:65536", nullptr},
      {"h:8o", nullptr},         {"alice:pw@h:3128", nullptr}, {"h:3128/path", nullptr},  {"[::1:3128", nullptr},
      {"a b:3128", nullptr},     {"https://h:3128", nullptr},  {"h:3128", "10.0.0.0/12"}, {"h:3128", "a b"},
      {"h:3128", "300.0.0.0/8"},
  };
  for (const auto& c : kBad)
    EXPECT_EQ(QMX_ERR_INVALID_ARG, QmxConfWebaSetProxy(c.proxy, c.noProxy))
        << c.proxy << " / " << (c.noProxy ? c.noProxy : "(null)");
  EXPECT_EQ("proxy", Fetch());
  for (const char* good : {"h", "h:8080", "HTTP://h:8080/", "socks5://h:1080", "socks4a://h", "[::1]:3128"})
    EXPECT_EQ(QMX_OK, QmxConfWebaSetProxy(good, nullptr)) << good;
}

// The host's prompt is told what the proxy's challenge asked; it gives up
// the first time (the download fails) and answers the second.
struct Asked {
  int calls;
  unsigned short port;
};

int Prompt(void* context, const QmxConfWebaCredentialRequest* r, char* user, unsigned userSize, char* password,
           unsigned passwordSize) {
  auto* asked = static_cast<Asked*>(context);
  EXPECT_EQ(1, r->proxy);
  EXPECT_EQ(asked->port, r->port);
  EXPECT_STREQ("127.0.0.1", r->host);
  EXPECT_STREQ("px", r->realm);
  EXPECT_STREQ("Basic", r->scheme);
  snprintf(user, userSize, "alice");
  snprintf(password, passwordSize, "s3cret");
  return asked->calls++;
}

TEST_F(HostSurfaceTest, ThePromptAnswersTheProxyOrGivesUp) {
  m_proxyAuth = true;
  ASSERT_EQ(QMX_OK, QmxConfWebaSetProxy(m_proxyAddress.c_str(), nullptr));
  Asked asked{0, m_proxy.Port()};
  QmxConfWebaSetCredentialPrompt(&Prompt, &asked);
  EXPECT_EQ("", Fetch());
  EXPECT_EQ("proxy", Fetch());
  EXPECT_EQ(2, asked.calls);
}

TEST_F(HostSurfaceTest, TheRecordFolderIsTheHostsOffOrTheDefault) {
  const std::string chosen = m_dir + "/chosen", byEnv = m_dir + "/env";
  setenv("QMX_RECORD_DIR", byEnv.c_str(), 1);
  auto files = [](const std::string& dir) {
    std::error_code ec;
    return fs::exists(dir, ec) && !fs::is_empty(dir, ec);
  };
  QmxConfWebaSetRecordDir(chosen.c_str());
  EXPECT_EQ("direct", Fetch());
  EXPECT_TRUE(files(chosen));
  EXPECT_FALSE(files(byEnv));
  QmxConfWebaSetRecordDir("");
  EXPECT_EQ("direct", Fetch());
  EXPECT_FALSE(files(byEnv));
  QmxConfWebaSetRecordDir(nullptr);
  EXPECT_EQ("direct", Fetch());
  EXPECT_TRUE(files(byEnv));
}

}  // namespace
