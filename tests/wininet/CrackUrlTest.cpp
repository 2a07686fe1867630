// InternetCrackUrlA against the shared table of results, plus the buffer
// rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "wininet.h"
// After wininet.h: the table names its constants.
#include "CrackUrlCases.h"

namespace {

TEST(CrackUrl, SplitsLikeWinInet) {
  for (const CrackUrlCase& c : kCrackUrlCases) {
    SCOPED_TRACE(c.url);
    CrackedUrl got;
    const BOOL ok = CrackInto(c.url, &got);
    ASSERT_EQ(ok, c.error == 0);
    if (!ok) {
      EXPECT_EQ(GetLastError(), c.error);
      continue;
    }
    EXPECT_STREQ(got.scheme, c.scheme);
    EXPECT_EQ(got.uc.dwSchemeLength, std::string(c.scheme).size());
    EXPECT_EQ(got.uc.nScheme, c.nScheme);
    EXPECT_STREQ(got.host, c.host);
    EXPECT_EQ(got.uc.nPort, c.port);
    EXPECT_STREQ(got.path, c.path);
    EXPECT_EQ(got.uc.dwUrlPathLength, std::string(c.path).size());
    EXPECT_STREQ(got.extra, c.extra);
    EXPECT_STREQ(got.user, c.user);
    EXPECT_STREQ(got.password, c.password);
  }
}

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
