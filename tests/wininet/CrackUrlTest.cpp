// InternetCrackUrlA against the shared table of results.
#include <gtest/gtest.h>

#include <cstring>

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
    EXPECT_EQ(got.uc.nScheme, c.nScheme);
    EXPECT_STREQ(got.host, c.host);
    EXPECT_EQ(got.uc.nPort, c.port);
    EXPECT_STREQ(got.path, c.path);
    EXPECT_STREQ(got.extra, c.extra);
    EXPECT_STREQ(got.user, c.user);
    EXPECT_STREQ(got.password, c.password);
  }
}

}  // namespace
