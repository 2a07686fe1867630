// HTTPS: certificate errors refused with WinINet's codes, forgiven exactly
// by the matching security flags, relaxed connections kept apart, and
// redirects from https to plain http refused unless allowed.
#include <tuple>

#include "WininetTestSupport.h"

using namespace wintest;
using qmxloopback::LoopbackServer;
using qmxloopback::Reply;
using qmxloopback::ServerOptions;

namespace {

constexpr DWORD kPlain =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES;
constexpr DWORD kSecure = kPlain | INTERNET_FLAG_SECURE;

DWORD Send(LoopbackServer& s, const char* host, DWORD flags, DWORD security, DWORD* error) {
  Handles h = Open(false, host, s.Port(), "/", 1, flags);
  if (security) InternetSetOptionA(h.request, INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof security);
  DWORD status = 0;
  if (HttpSendRequestA(h.request, nullptr, 0, nullptr, 0)) {
    status = StatusCode(h.request);
    std::string body;
    ReadAllSync(h.request, body);
    EXPECT_EQ(body, "secret");
  } else {
    *error = GetLastError();
  }
  h.Close();
  return status;
}

class TlsTest : public ::testing::Test {
 protected:
  void Serve(LoopbackServer& s) {
    ASSERT_TRUE(s.Start());
    s.SetHandler([](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, "secret"); });
  }
};

TEST_F(TlsTest, UnknownIssuerRefusedUnlessIgnored) {
  LoopbackServer s(ServerOptions{true});
  Serve(s);
  DWORD err = 0;
  EXPECT_EQ(Send(s, "127.0.0.1", kSecure, 0, &err), 0u);
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
  // The module's way: the request flags plus 0xF180 in the security option.
  EXPECT_EQ(Send(s, "127.0.0.1", 0x84C83000, 0x84C8F180, &err), 200u);
  // The relaxed connection is not reused by a strict request.
  err = 0;
  EXPECT_EQ(Send(s, "127.0.0.1", kSecure, 0, &err), 0u);
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
}

TEST_F(TlsTest, NameAndDateErrorsEachNeedTheirFlag) {
  LoopbackServer other(ServerOptions{true, {"elsewhere.test"}, false});
  Serve(other);
  ASSERT_TRUE(QmxInternetSetTrustedCertificates(other.CertificateFile().c_str()));
  DWORD err = 0;
  EXPECT_EQ(Send(other, "127.0.0.1", kSecure, 0, &err), 0u);
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_CN_INVALID));
  EXPECT_EQ(Send(other, "127.0.0.1", kSecure | INTERNET_FLAG_IGNORE_CERT_CN_INVALID, 0, &err), 200u);

  LoopbackServer old(ServerOptions{true, {"127.0.0.1"}, true});
  Serve(old);
  ASSERT_TRUE(QmxInternetSetTrustedCertificates(old.CertificateFile().c_str()));
  err = 0;
  EXPECT_EQ(Send(old, "127.0.0.1", kSecure, SECURITY_FLAG_IGNORE_UNKNOWN_CA, &err), 0u);
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_INTERNET_SEC_CERT_DATE_INVALID));
  EXPECT_EQ(Send(old, "127.0.0.1", kSecure, SECURITY_FLAG_IGNORE_CERT_DATE_INVALID, &err), 200u);
  QmxInternetSetTrustedCertificates(nullptr);
}

TEST_F(TlsTest, TrustedServerAndSecureFlagQuery) {
  LoopbackServer s(ServerOptions{true});
  Serve(s);
  ASSERT_TRUE(QmxInternetSetTrustedCertificates(s.CertificateFile().c_str()));
  Handles h = Open(false, "127.0.0.1", s.Port(), "/", 1, kSecure);
  ASSERT_TRUE(HttpSendRequestA(h.request, nullptr, 0, nullptr, 0)) << GetLastError();
  DWORD flags = 0, size = sizeof flags;
  ASSERT_TRUE(InternetQueryOptionA(h.request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size));
  EXPECT_TRUE(flags & SECURITY_FLAG_SECURE);
  h.Close();
  // TLS spoken to a plain server fails as a channel error.
  LoopbackServer plain;
  Serve(plain);
  DWORD err = 0;
  EXPECT_EQ(Send(plain, "127.0.0.1", kSecure, 0, &err), 0u);
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_INTERNET_SECURITY_CHANNEL_ERROR));
  QmxInternetSetTrustedCertificates(nullptr);
}

// An https reply that redirects to a plain http URL fails the request with
// 12040 before anything goes to the http server, unless the request flag or
// the security flag allows it; http to https is always followed.
struct RedirectCase {
  const char* name;
  bool fromHttps;  // the first request goes to the https server
  DWORD flags;     // added to the request flags
  DWORD security;  // INTERNET_OPTION_SECURITY_FLAGS
  DWORD error;     // expected failure of the send; 0: 200 from the target
};

void PrintTo(const RedirectCase& c, std::ostream* os) { *os << c.name; }

class SchemeRedirectTest : public ::testing::TestWithParam<std::tuple<RedirectCase, bool>> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_tls.Start());
    ASSERT_TRUE(m_plain.Start());
    ASSERT_TRUE(QmxInternetSetTrustedCertificates(m_tls.CertificateFile().c_str()));
    for (LoopbackServer* s : {&m_tls, &m_plain}) {
      LoopbackServer* other = s == &m_tls ? &m_plain : &m_tls;
      s->Route("/go", [other](const qmxloopback::ReceivedRequest&) {
        Reply r = Reply::Text(302, "moved");
        r.headers.push_back({"Location", other->Url("/landed")});
        return r;
      });
      s->Route("/landed", [](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, "landed"); });
    }
  }
  void TearDown() override {
    m_handles.Close();
    QmxInternetSetTrustedCertificates(nullptr);
    m_tls.Stop();
    m_plain.Stop();
  }
  LoopbackServer m_tls{ServerOptions{true}}, m_plain;
  Completions m_done;
  Handles m_handles;
};

TEST_P(SchemeRedirectTest, HttpsToHttpNeedsPermission) {
  const RedirectCase& c = std::get<0>(GetParam());
  const bool async = std::get<1>(GetParam());
  LoopbackServer& first = c.fromHttps ? m_tls : m_plain;
  LoopbackServer& target = c.fromHttps ? m_plain : m_tls;
  std::vector<Setting> settings;
  if (c.security) settings.push_back({INTERNET_OPTION_SECURITY_FLAGS, c.security, false});
  m_handles = OpenWith(async, "127.0.0.1", first.Port(), "/go", m_done, settings,
                       kPlain | c.flags | (c.fromHttps ? INTERNET_FLAG_SECURE : 0));
  Outcome o = Exchange(async, m_handles.request, m_done);
  EXPECT_EQ(o.sendError, c.error);
  ASSERT_TRUE(first.WaitForRequests(1));
  if (c.error) {
    EXPECT_EQ(target.RequestCount(), 0u) << "nothing may be sent to the http URL";
    EXPECT_EQ(target.ConnectionCount(), 0u);
    EXPECT_EQ(m_done.Redirects(), 0u) << "a refused redirect is not reported as one";
  } else {
    EXPECT_EQ(o.status, 200u);
    EXPECT_EQ(o.body, "landed");
    EXPECT_EQ(target.RequestCount(), 1u);
  }
  if (async && c.error) {
    EXPECT_EQ(m_done.Count(), 1u) << "one REQUEST_COMPLETE";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Schemes, SchemeRedirectTest,
    ::testing::Combine(
        ::testing::Values(RedirectCase{"HttpsToHttpRefused", true, 0, 0, ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR},
                          RedirectCase{"AllowedByRequestFlag", true, INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP, 0, 0},
                          RedirectCase{"AllowedBySecurityFlag", true, 0, SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP, 0},
                          RedirectCase{"OtherFlagDoesNotAllow", true, INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS, 0,
                                       ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR},
                          RedirectCase{"HttpToHttpsFollowed", false, 0, 0, 0}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<RedirectCase, bool>>& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_async" : "_sync");
    });

}  // namespace
