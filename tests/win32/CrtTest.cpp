// The C runtime subset: bounded printing with the Windows truncation result,
// case-insensitive compares, directories, deletion of open files.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "qmxcrt.h"
#include "windows.h"

namespace {

TEST(CrtTest, SnprintfGivesTheWindowsTruncationResult) {
  const struct {
    const char* text;
    int result;
    const char* written;  // the buffer's first 8 bytes; NUL-terminated only when shorter
  } cases[] = {{"12-ab", 5, "12-ab"}, {"12345678", 8, "12345678"}, {"123456789abc", -1, "12345678"}, {"", 0, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    char buf[9];
    memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(c.result, _snprintf(buf, 8, "%s", c.text));
    EXPECT_EQ(0, memcmp(buf, c.written, strlen(c.written) + (c.result >= 0 && c.result < 8)));
    EXPECT_EQ('x', buf[8]);
  }
}

TEST(CrtTest, StricmpComparesAsciiWithoutCase) {
  EXPECT_EQ(0, _stricmp("HTTPS", "https"));
  EXPECT_LT(_stricmp("abc", "ABD"), 0);
  EXPECT_GT(_stricmp("abcd", "ABC"), 0);
  // Both sides are lower-cased, so '_' (0x5F) sorts before 'A' (as 'a').
  EXPECT_LT(_stricmp("_", "A"), 0);
  EXPECT_EQ(0, _strnicmp("TrueX", "trueY", 4));
}

// Directories as the module makes and tests them, and deletion, which the
// module's record rotation relies on to refuse a file this process holds.
TEST(CrtTest, DirectoriesAndDeletionOfOpenFiles) {
  char tmpl[] = "/tmp/qmx-crt-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  const std::string dir = tmpl, sub = dir + "/a", file = dir + "/file.rrr", alias = dir + "/alias.rrr";
  ASSERT_EQ(0, _mkdir(sub.c_str()));
  EXPECT_EQ(-1, _mkdir(sub.c_str()));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_EQ(-1, _mkdir((dir + "/missing/b").c_str()));
  EXPECT_EQ(ENOENT, errno);
  FILE* f = fopen(file.c_str(), "a+");
  ASSERT_NE(nullptr, f);
  fputs("abc", f);
  fflush(f);
  struct _finddata_t data;
  for (const std::string& name : {sub, file}) {
    const intptr_t h = _findfirst(name.c_str(), &data);
    ASSERT_NE(-1, h);
    EXPECT_EQ(name == sub, (data.attrib & _A_SUBDIR) != 0);
    EXPECT_EQ(0, _findclose(h));
    EXPECT_EQ(-1, _findclose(h));  // only once
  }
  EXPECT_EQ(3u, data.size);
  EXPECT_EQ(-1, _findfirst((dir + "/*.rrr").c_str(), &data));
  // Another name for the same file is the same open file.
  ASSERT_EQ(0, link(file.c_str(), alias.c_str()));
  for (const std::string& name : {file, alias, sub}) {
    EXPECT_EQ(-1, _unlink(name.c_str()));
    EXPECT_EQ(EACCES, errno);
  }
  fclose(f);
  EXPECT_EQ(0, _unlink(file.c_str()));
  EXPECT_EQ(0, _unlink(alias.c_str()));
  EXPECT_EQ(-1, _unlink(file.c_str()));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(0, system(("rm -rf '" + dir + "'").c_str()));
}

}  // namespace
