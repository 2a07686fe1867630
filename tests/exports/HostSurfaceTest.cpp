// The host's settings through qmxconfweba_ext.h: the proxy and the
// hosts that bypass it, the credential prompt, the record folder. A second
// loopback server plays the proxy: it answers only requests in proxy form
// (an absolute target), so the downloaded text tells which way a request went.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ConfWebaResults.h"
#include "IConfWeba.h"
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
    ASSERT_NE(nullptr, QmxThreadAttach());
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

  // Downloads from the origin; the body ("direct" or "proxy"), or "" when
  // the download failed.
  std::string Fetch() {
    const std::string folder = m_dir + "/files";
    if (IConfWeba::Instance()->GetFileFromURL(m_origin.Url("/f.txt"), folder, "") != 0) return "";
    std::ifstream in(folder + "/f.txt");
    std::stringstream s;
    s << in.rdbuf();
    fs::remove(folder + "/f.txt");
    return s.str();
  }

  qmxloopback::LoopbackServer m_origin, m_proxy;
  bool m_proxyAuth = false;
  std::string m_proxyAddress, m_dir;
};

TEST_F(HostSurfaceTest, RequestsGoThroughTheProxyUnlessTheirHostIsExempt) {
  EXPECT_EQ("direct", Fetch());
  // A name stands for itself and the names under it, an address only for
  // itself (never by its tail); "/n" covers the leading octets.
  const std::pair<const char*, const char*> kCases[] = {
      {nullptr, "proxy"},     {"example.com, 127.0.0.1", "direct"}, {"127.0.0.0/24", "direct"}, {"0.0.1", "proxy"},
      {"localhost", "proxy"},
  };
  for (const auto& c : kCases) {
    ASSERT_EQ(QMX_OK, QmxConfWebaSetProxy(m_proxyAddress.c_str(), c.first));
    EXPECT_EQ(c.second, Fetch()) << (c.first ? c.first : "(null)");
  }
  ASSERT_EQ(QMX_OK, QmxConfWebaSetProxy(("http://" + m_proxyAddress + "/").c_str(), nullptr));
  EXPECT_EQ("proxy", Fetch());
  ASSERT_EQ(QMX_OK, QmxConfWebaSetProxy("", "127.0.0.1"));
  EXPECT_EQ("direct", Fetch());
}

TEST_F(HostSurfaceTest, AMalformedProxyIsRefusedAndChangesNothing) {
  ASSERT_EQ(QMX_OK, QmxConfWebaSetProxy(m_proxyAddress.c_str(), nullptr));
  const std::pair<const char*, const char*> kBad[] = {
      {"http://", nullptr},      {"ftp://h:21", nullptr},      {"h:0", nullptr},         {"h:65536", nullptr},
      {"h:8o", nullptr},         {"alice:pw@h:3128", nullptr}, {"h:3128/path", nullptr}, {"[::1:3128", nullptr},
      {"h:3128", "10.0.0.0/12"}, {"h:3128", "300.0.0.0/8"},
  };
  for (const auto& c : kBad)
    EXPECT_EQ(QMX_ERR_INVALID_ARG, QmxConfWebaSetProxy(c.first, c.second))
        << c.first << " / " << (c.second ? c.second : "");
  EXPECT_EQ("proxy", Fetch());
  for (const char* good : {"h", "h:8080", "HTTP://h:8080/", "socks5://h:1080", "socks4a://h", "[::1]:3128"})
    EXPECT_EQ(QMX_OK, QmxConfWebaSetProxy(good, nullptr)) << good;
}

// The host's prompt, with its context, is told what the proxy's challenge
// asked; it gives up the first time (the download fails) and answers the
// second.
TEST_F(HostSurfaceTest, ThePromptAnswersTheProxyOrGivesUp) {
  m_proxyAuth = true;
  ASSERT_EQ(QMX_OK, QmxConfWebaSetProxy(m_proxyAddress.c_str(), nullptr));
  std::vector<std::string> asked;  // "proxy host:port realm scheme" per call
  QmxConfWebaSetCredentialPrompt(
      [](void* context, const QmxConfWebaCredentialRequest* r, char* user, unsigned userSize, char* password,
         unsigned passwordSize) {
        auto* asked = static_cast<std::vector<std::string>*>(context);
        asked->push_back(std::to_string(r->proxy) + " " + r->host + ":" + std::to_string(r->port) + " " + r->realm +
                         " " + r->scheme);
        snprintf(user, userSize, "alice");
        snprintf(password, passwordSize, "s3cret");
        return static_cast<int>(asked->size() - 1);
      },
      &asked);
  EXPECT_EQ("", Fetch());
  EXPECT_EQ("proxy", Fetch());
  const std::string challenge = "1 127.0.0.1:" + std::to_string(m_proxy.Port()) + " px Basic";
  EXPECT_EQ((std::vector<std::string>{challenge, challenge}), asked);
}

TEST_F(HostSurfaceTest, TheRecordFolderIsTheHostsOffOrTheDefault) {
  const std::string chosen = m_dir + "/chosen", byEnv = m_dir + "/env";
  setenv("QMX_RECORD_DIR", byEnv.c_str(), 1);
  auto files = [](const std::string& dir) {
    std::error_code ec;  // a folder not there is not empty, but an error
    return !fs::is_empty(dir, ec) && !ec;
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
