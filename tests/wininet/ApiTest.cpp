// Bad input gives FALSE or NULL with WinINet's error code; option rules and
// handle bookkeeping that need no network.
#include <gtest/gtest.h>

#include "qmxwininet_ext.h"
#include "wininet.h"

namespace {

HINTERNET kBogus = reinterpret_cast<HINTERNET>(static_cast<uintptr_t>(0x7fff1234));

// The call failed with err.
void ExpectError(bool ok, DWORD err) {
  const DWORD got = GetLastError();
  EXPECT_FALSE(ok);
  EXPECT_EQ(got, err);
}

TEST(Api, InvalidHandlesAndWrongKinds) {
  ExpectError(InternetCloseHandle(kBogus), ERROR_INVALID_HANDLE);
  EXPECT_EQ(InternetErrorDlg(nullptr, kBogus, ERROR_INTERNET_INCORRECT_PASSWORD, 3, nullptr),
            static_cast<DWORD>(ERROR_INVALID_HANDLE));

  HINTERNET root = InternetOpenA("a", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  ASSERT_NE(root, nullptr);
  ExpectError(HttpSendRequestA(root, nullptr, 0, nullptr, 0), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  ExpectError(InternetConnectA(root, "", 80, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1) != nullptr,
              ERROR_INVALID_PARAMETER);

  HINTERNET conn = InternetConnectA(root, "h.invalid", 0, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 1);
  ASSERT_NE(conn, nullptr);
  HINTERNET req = HttpOpenRequestA(conn, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 1);
  ASSERT_NE(req, nullptr);
  // Reading before sending is out of order; a wrong structure size (a 32-bit
  // build's) is refused.
  char buf[8];
  DWORD got = 0;
  ExpectError(InternetReadFile(req, buf, sizeof buf, &got), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  INTERNET_BUFFERSA ib{};
  ib.dwStructSize = 40;
  ExpectError(InternetReadFileExA(req, &ib, IRF_NO_WAIT, 0), ERROR_INVALID_PARAMETER);
  // Status code before any reply is 0; other headers are absent.
  DWORD n = 1, size = sizeof n;
  ASSERT_TRUE(HttpQueryInfoA(req, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE, &n, &size, nullptr));
  EXPECT_EQ(n, 0u);
  // Closing the root invalidates the subtree.
  EXPECT_TRUE(InternetCloseHandle(root));
  ExpectError(InternetCloseHandle(req), ERROR_INVALID_HANDLE);
}

TEST(Api, OptionRules) {
  DWORD v = 5000, got = 1, size = sizeof got;
  // The overall time limit (a Linux extension) is off by default.
  ASSERT_TRUE(InternetQueryOptionA(nullptr, QMX_INTERNET_OPTION_TOTAL_TIMEOUT, &got, &size));
  EXPECT_EQ(got, 0u);
  ExpectError(InternetSetOptionA(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, &v, 2), ERROR_INTERNET_BAD_OPTION_LENGTH);
  // The null handle sets the default that roots made afterwards start from.
  ASSERT_TRUE(InternetSetOptionA(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, &v, sizeof v));
  HINTERNET root = InternetOpenA(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, INTERNET_FLAG_ASYNC);
  ASSERT_NE(root, nullptr);
  ASSERT_TRUE(InternetQueryOptionA(root, INTERNET_OPTION_CONNECT_TIMEOUT, &got, &size));
  EXPECT_EQ(got, 5000u);
  ExpectError(InternetSetOptionA(root, INTERNET_OPTION_PROXY_USERNAME, const_cast<char*>("u"), 2),
              ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
  // Children copy the parent's values when they are made, not later.
  v = 2500;
  ASSERT_TRUE(InternetSetOptionA(root, QMX_INTERNET_OPTION_TOTAL_TIMEOUT, &v, sizeof v));
  HINTERNET conn = InternetConnectA(root, "h", 0, "", "", INTERNET_SERVICE_HTTP, 0, 1);
  v = 777;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, QMX_INTERNET_OPTION_TOTAL_TIMEOUT}) {
    ASSERT_TRUE(InternetSetOptionA(root, option, &v, sizeof v));
    ASSERT_TRUE(InternetQueryOptionA(conn, option, &got, &size));
    EXPECT_EQ(got, option == QMX_INTERNET_OPTION_TOTAL_TIMEOUT ? 2500u : 5000u);
  }
  // Security flags only ever gain bits.
  HINTERNET req =
      HttpOpenRequestA(conn, "GET", "/", nullptr, nullptr, nullptr, INTERNET_FLAG_IGNORE_CERT_CN_INVALID, 1);
  // The redirect exemptions are kept among them.
  DWORD sec = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP;
  ASSERT_TRUE(InternetSetOptionA(req, INTERNET_OPTION_SECURITY_FLAGS, &sec, sizeof sec));
  sec = 0;
  ASSERT_TRUE(InternetSetOptionA(req, INTERNET_OPTION_SECURITY_FLAGS, &sec, sizeof sec));
  ASSERT_TRUE(InternetQueryOptionA(req, INTERNET_OPTION_SECURITY_FLAGS, &got, &size));
  EXPECT_EQ(got, static_cast<DWORD>(SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                    SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP));
  // The overall limit set to 0 on a request removes it there only.
  v = 0;
  ASSERT_TRUE(InternetSetOptionA(req, QMX_INTERNET_OPTION_TOTAL_TIMEOUT, &v, sizeof v));
  ASSERT_TRUE(InternetQueryOptionA(req, QMX_INTERNET_OPTION_TOTAL_TIMEOUT, &got, &size));
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(InternetQueryOptionA(conn, QMX_INTERNET_OPTION_TOTAL_TIMEOUT, &got, &size));
  EXPECT_EQ(got, 2500u);
  InternetCloseHandle(root);
}

}  // namespace
