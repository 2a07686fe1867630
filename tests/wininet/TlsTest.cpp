// HTTPS: certificate errors refused with WinINet's codes, forgiven exactly
// by the matching flags, relaxed connections kept apart, and redirects from
// https to plain http refused unless allowed; the extra trust anchors are
// read when they are set.
#include "WininetTestSupport.h"

using namespace wintest;
using qmxloopback::LoopbackServer;
using qmxloopback::Reply;
using qmxloopback::ServerOptions;

namespace {

constexpr DWORD kSecure = kFlags | INTERNET_FLAG_SECURE;
// The module's HTTPS request flags and its security option (0xF180 added).
constexpr DWORD kModuleFlags = 0x84C83000, kModuleSecurity = 0x84C8F180;

Outcome Send(LoopbackServer& s, bool async, DWORD flags, DWORD security) {
  Req q;
  q.async = async;
  q.port = s.Port();
  q.ctx = async ? 2 : 1;
  q.flags = flags;
  if (security) q.settings = {{INTERNET_OPTION_SECURITY_FLAGS, security, false}};
  Handles h = Open(q);
  Outcome o = Exchange(async, h, q.ctx);
  EXPECT_EQ(o.body, o.sendError ? "" : "secret");
  h.Close();
  return o;
}

struct CertCase {
  const char* name;
  ServerOptions server;
  bool trusted;  // the server's certificate is a trust anchor
  DWORD flags;
  DWORD security;
  DWORD error;  // expected failure of the send; 0: 200 and the body
};

const ServerOptions kSelf{true}, kOtherName{true, {"elsewhere.test"}, false}, kExpired{true, {"127.0.0.1"}, true};
constexpr DWORD kIgnoreName = INTERNET_FLAG_IGNORE_CERT_CN_INVALID,
                kIgnoreDate = SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
constexpr DWORD kInvalidCa = ERROR_INTERNET_INVALID_CA, kBadName = ERROR_INTERNET_SEC_CERT_CN_INVALID,
                kBadDate = ERROR_INTERNET_SEC_CERT_DATE_INVALID;

const CertCase kCertCases[] = {
    {"UnknownIssuer", kSelf, false, kSecure, 0, kInvalidCa},
    {"UnknownIssuerForgivenTheModulesWay", kSelf, false, kModuleFlags, kModuleSecurity, 0},
    {"UnknownIssuerNotForgivenByNameFlag", kSelf, false, kSecure | kIgnoreName, 0, kInvalidCa},
    {"Trusted", kSelf, true, kSecure, 0, 0},
    {"NameMismatch", kOtherName, true, kSecure, 0, kBadName},
    {"NameMismatchForgivenByRequestFlag", kOtherName, true, kSecure | kIgnoreName, 0, 0},
    {"NameMismatchForgivenBySecurityFlag", kOtherName, true, kSecure, SECURITY_FLAG_IGNORE_CERT_CN_INVALID, 0},
    {"NameMismatchNotForgivenByDateFlag", kOtherName, true, kSecure, kIgnoreDate, kBadName},
    {"Expired", kExpired, true, kSecure, 0, kBadDate},
    {"ExpiredNotForgivenByIssuerFlag", kExpired, true, kSecure, SECURITY_FLAG_IGNORE_UNKNOWN_CA, kBadDate},
    {"ExpiredForgivenByDateFlag", kExpired, true, kSecure, kIgnoreDate, 0},
    {"TlsToAPlainServer", {false}, false, kSecure, 0, ERROR_INTERNET_SECURITY_CHANNEL_ERROR},
};

TEST(Tls, CertificateErrorsAndTheFlagsThatForgiveThem) {
  for (const CertCase& c : kCertCases) {
    SCOPED_TRACE(c.name);
    LoopbackServer s(c.server);
    ASSERT_TRUE(s.Start());
    s.SetHandler([](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, "secret"); });
    ASSERT_TRUE(QmxInternetSetTrustedCertificates(c.trusted ? s.CertificateFile().c_str() : nullptr));
    for (bool async : {false, true}) {
      Outcome o = Send(s, async, c.flags, c.security);
      EXPECT_EQ(o.sendError, c.error) << (async ? "async" : "sync");
      EXPECT_EQ(o.status, c.error ? 0u : 200u);
    }
    s.Stop();
  }
  QmxInternetSetTrustedCertificates(nullptr);
}

TEST(Tls, RelaxedConnectionIsNotReusedByAStrictRequest) {
  LoopbackServer s(ServerOptions{true});
  ASSERT_TRUE(s.Start());
  s.SetHandler([](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, "secret"); });
  EXPECT_EQ(Send(s, false, kModuleFlags, kModuleSecurity).status, 200u);
  EXPECT_EQ(Send(s, false, kSecure, 0).sendError, static_cast<DWORD>(ERROR_INTERNET_INVALID_CA));
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

TEST(Tls, RedirectFromHttpsToHttpNeedsPermission) {
  LoopbackServer tls{ServerOptions{true}}, plain;
  ASSERT_TRUE(tls.Start());
  ASSERT_TRUE(plain.Start());
  ASSERT_TRUE(QmxInternetSetTrustedCertificates(tls.CertificateFile().c_str()));
  for (LoopbackServer* s : {&tls, &plain}) {
    LoopbackServer* other = s == &tls ? &plain : &tls;
    s->Route("/go", [other](const qmxloopback::ReceivedRequest&) {
      Reply r = Reply::Text(302, "moved");
      r.headers.push_back({"Location", other->Url("/landed")});
      return r;
    });
    s->Route("/landed", [](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, "landed"); });
  }
  const RedirectCase cases[] = {
      {"HttpsToHttpRefused", true, 0, 0, ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR},
      {"AllowedByRequestFlag", true, INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP, 0, 0},
      {"AllowedBySecurityFlag", true, 0, SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP, 0},
      {"OtherFlagDoesNotAllow", true, INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS, 0, ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR},
      {"HttpToHttpsFollowed", false, 0, 0, 0},
  };
  DWORD_PTR ctx = 10;
  for (const RedirectCase& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder::Get().Clear();
    LoopbackServer& target = c.fromHttps ? plain : tls;
    const size_t before = target.RequestCount(), connections = target.ConnectionCount();
    Req q;
    q.async = true;
    q.port = (c.fromHttps ? tls : plain).Port();
    q.path = "/go";
    q.ctx = ++ctx;
    q.flags = kFlags | c.flags | (c.fromHttps ? INTERNET_FLAG_SECURE : 0);
    if (c.security) q.settings = {{INTERNET_OPTION_SECURITY_FLAGS, c.security, false}};
    Handles h = Open(q);
    Outcome o = Exchange(true, h, ctx);
    h.Close();
    EXPECT_EQ(o.sendError, c.error);
    if (c.error) {
      EXPECT_EQ(target.ConnectionCount(), connections) << "nothing may be sent to the http URL";
      EXPECT_EQ(Recorder::Get().Completions(ctx), 1u) << "one REQUEST_COMPLETE";
    } else {
      EXPECT_EQ(o.body, "landed");
      EXPECT_EQ(target.RequestCount(), before + 1);
    }
  }
  QmxInternetSetTrustedCertificates(nullptr);
}

// A file that holds no certificate is refused when it is set, not at every
// later handshake.
TEST(Tls, OnlyAFileWithACertificateIsTrusted) {
  EXPECT_FALSE(QmxInternetSetTrustedCertificates("/dev/null"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_FALSE(QmxInternetSetTrustedCertificates("/nonexistent/qmx-trusted.pem"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
