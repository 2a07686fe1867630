// InternetCrackUrlA against WinINet's results table, plus the buffer rules.
#include <gtest/gtest.h>

#include <string>

#include "wininet.h"

namespace {

struct CrackCase {
  const char* url;
  BOOL ok;
  DWORD error;
  const char* scheme;
  INTERNET_SCHEME nScheme;
  const char* host;
  INTERNET_PORT port;
  const char* path;
  const char* extra;
  const char* user;
  const char* password;
};

class CrackTable : public ::testing::TestWithParam<CrackCase> {};

TEST_P(CrackTable, SplitsLikeWinInet) {
  const CrackCase& c = GetParam();
  char scheme[64], host[64], path[64], extra[64], user[64], password[64];
  URL_COMPONENTSA uc{};
  uc.dwStructSize = sizeof uc;
  uc.lpszScheme = scheme;
  uc.dwSchemeLength = sizeof scheme;
  uc.lpszHostName = host;
  uc.dwHostNameLength = sizeof host;
  uc.lpszUrlPath = path;
  uc.dwUrlPathLength = sizeof path;
  uc.lpszExtraInfo = extra;
  uc.dwExtraInfoLength = sizeof extra;
  uc.lpszUserName = user;
  uc.dwUserNameLength = sizeof user;
  uc.lpszPassword = password;
  uc.dwPasswordLength = sizeof password;
  BOOL ok = InternetCrackUrlA(c.url, 0, 0, &uc);
  ASSERT_EQ(ok, c.ok);
  if (!ok) {
    EXPECT_EQ(GetLastError(), c.error);
    return;
  }
  EXPECT_STREQ(scheme, c.scheme);
  EXPECT_EQ(uc.dwSchemeLength, std::string(c.scheme).size());
  EXPECT_EQ(uc.nScheme, c.nScheme);
  EXPECT_STREQ(host, c.host);
  EXPECT_EQ(uc.nPort, c.port);
  EXPECT_STREQ(path, c.path);
  EXPECT_EQ(uc.dwUrlPathLength, std::string(c.path).size());
  EXPECT_STREQ(extra, c.extra);
  EXPECT_STREQ(user, c.user);
  EXPECT_STREQ(password, c.password);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CrackTable,
    ::testing::Values(
        CrackCase{"http://h", TRUE, 0, "http", INTERNET_SCHEME_HTTP, "h", 80, "", "", "", ""},
        CrackCase{"http://h/", TRUE, 0, "http", INTERNET_SCHEME_HTTP, "h", 80, "/", "", "", ""},
        CrackCase{"https://h:8443/p?x=1#f", TRUE, 0, "https", INTERNET_SCHEME_HTTPS, "h", 8443, "/p", "?x=1#f", "", ""},
        CrackCase{"HTTPS://H/", TRUE, 0, "HTTPS", INTERNET_SCHEME_HTTPS, "H", 443, "/", "", "", ""},
        CrackCase{"http://user:pass@h/x", TRUE, 0, "http", INTERNET_SCHEME_HTTP, "h", 80, "/x", "", "user", "pass"},
        CrackCase{"http://user@h/", TRUE, 0, "http", INTERNET_SCHEME_HTTP, "h", 80, "/", "", "user", ""},
        CrackCase{"foo://h/x", TRUE, 0, "foo", INTERNET_SCHEME_UNKNOWN, "h", 0, "/x", "", "", ""},
        CrackCase{"mailto:a@b", TRUE, 0, "mailto", INTERNET_SCHEME_MAILTO, "", 0, "a@b", "", "", ""},
        CrackCase{"C:\\file.txt", TRUE, 0, "C", INTERNET_SCHEME_UNKNOWN, "", 0, "\\file.txt", "", "", ""},
        CrackCase{"https://h/site/?a=1", TRUE, 0, "https", INTERNET_SCHEME_HTTPS, "h", 443, "/site/", "?a=1", "", ""},
        CrackCase{"http://h/a/../b;p#frag", TRUE, 0, "http", INTERNET_SCHEME_HTTP, "h", 80, "/a/../b;p", "#frag", "",
                  ""},
        CrackCase{"www.example.com/x", FALSE, ERROR_INTERNET_UNRECOGNIZED_SCHEME, "", INTERNET_SCHEME_UNKNOWN, "", 0,
                  "", "", "", ""},
        CrackCase{"", FALSE, ERROR_INTERNET_UNRECOGNIZED_SCHEME, "", INTERNET_SCHEME_UNKNOWN, "", 0, "", "", "", ""}));

TEST(CrackUrl, PointersIntoTheInputWhenNoBufferIsGiven) {
  const char* url = "http://host:81/path?q";
  URL_COMPONENTSA uc{};
  uc.dwStructSize = sizeof uc;
  uc.dwHostNameLength = 1;
  uc.dwUrlPathLength = 1;  // extra info not asked for: it stays in the path
  ASSERT_TRUE(InternetCrackUrlA(url, 0, 0, &uc));
  EXPECT_EQ(uc.lpszHostName, url + 7);
  EXPECT_EQ(std::string(uc.lpszHostName, uc.dwHostNameLength), "host");
  EXPECT_EQ(std::string(uc.lpszUrlPath, uc.dwUrlPathLength), "/path?q");
  EXPECT_EQ(uc.lpszScheme, nullptr);  // not asked for, not touched
  EXPECT_EQ(uc.nPort, 81);
}

TEST(CrackUrl, RejectsBadArguments) {
  char host[4];
  URL_COMPONENTSA uc{};
  uc.dwStructSize = sizeof uc;
  uc.lpszHostName = host;
  uc.dwHostNameLength = sizeof host;
  EXPECT_FALSE(InternetCrackUrlA("http://longhost/", 0, 0, &uc));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  uc.dwStructSize = 60;  // a 32-bit size is not this build's structure
  EXPECT_FALSE(InternetCrackUrlA("http://h/", 0, 0, &uc));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  uc.dwStructSize = sizeof uc;
  EXPECT_FALSE(InternetCrackUrlA(nullptr, 0, 0, &uc));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // A length limit stops parsing there.
  uc.dwHostNameLength = sizeof host;
  EXPECT_TRUE(InternetCrackUrlA("http://h/xyz", 10, 0, &uc));
  EXPECT_STREQ(host, "h");
}

}  // namespace
