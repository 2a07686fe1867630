// HTTPS: certificate errors refused with WinINet's codes, forgiven exactly
// by the matching security flags, and relaxed connections kept apart.
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

}  // namespace
