// The C runtime subset: bounded printing with the Windows truncation result,
// case-insensitive compares, directories, deletion of open files, module path.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "qmxcrt.h"
#include "windows.h"

namespace {

TEST(SnprintfTest, WindowsTruncationResult) {
  char buf[8];
  memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(5, _snprintf(buf, sizeof(buf), "%d-%s", 12, "ab"));
  EXPECT_STREQ("12-ab", buf);

  // Exactly the size: every byte is text and there is no NUL.
  memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(8, _snprintf(buf, sizeof(buf), "%s", "12345678"));
  EXPECT_EQ(0, memcmp(buf, "12345678", 8));

  // Longer: -1, the first count bytes written, no NUL.
  memset(buf, 'x', sizeof(buf));
  EXPECT_EQ(-1, _snprintf(buf, sizeof(buf), "%s", "123456789abc"));
  EXPECT_EQ(0, memcmp(buf, "12345678", 8));

  EXPECT_EQ(0, _snprintf(buf, sizeof(buf), "%s", ""));
  EXPECT_EQ(-1, _snprintf(nullptr, 4, "%s", "a"));
}

TEST(StricmpTest, ComparesAsciiWithoutCase) {
  EXPECT_EQ(0, _stricmp("HTTPS", "https"));
  EXPECT_EQ(0, _stricmp("", ""));
  EXPECT_LT(_stricmp("abc", "ABD"), 0);
  EXPECT_GT(_stricmp("abcd", "ABC"), 0);
  // Both sides are lower-cased, so '_' (0x5F) sorts before 'A' (as 'a', 0x61)
  // though it comes after it in a plain compare.
  EXPECT_LT(_stricmp("_", "A"), 0);
  EXPECT_EQ(0, _strnicmp("TrueX", "trueY", 4));
  EXPECT_EQ(INT_MAX, _stricmp(nullptr, "a"));
  EXPECT_EQ(EINVAL, errno);
}

TEST(LocaltimeTest, WindowsArgumentOrderAndRefusals) {
  time_t t = 86400 * 365;
  struct tm expected;
  ASSERT_NE(nullptr, localtime_r(&t, &expected));
  struct tm got;
  EXPECT_EQ(0, localtime_s(&got, &t));
  EXPECT_EQ(expected.tm_year, got.tm_year);
  EXPECT_EQ(expected.tm_yday, got.tm_yday);
  EXPECT_EQ(expected.tm_hour, got.tm_hour);
  EXPECT_EQ(EINVAL, localtime_s(&got, nullptr));
  EXPECT_EQ(-1, got.tm_year);
  EXPECT_EQ(EINVAL, localtime_s(nullptr, &t));
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/qmx-crt-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    m_dir = dir;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + m_dir + "'";
    ASSERT_EQ(0, system(cmd.c_str()));
  }
  std::string Path(const char* name) const { return m_dir + "/" + name; }
  // The module's directory test.
  static bool DirExists(const std::string& path) {
    struct _finddata_t data;
    memset(&data, 0, sizeof(data));
    intptr_t h = _findfirst(path.c_str(), &data);
    if (h == -1) return false;
    bool dir = (data.attrib & _A_SUBDIR) != 0;
    EXPECT_EQ(0, _findclose(h));
    return dir;
  }
  std::string m_dir;
};

TEST_F(FileTest, MkdirAndDirectoryTest) {
  std::string sub = Path("a");
  EXPECT_FALSE(DirExists(sub));
  ASSERT_EQ(0, _mkdir(sub.c_str()));
  EXPECT_TRUE(DirExists(sub));
  EXPECT_EQ(-1, _mkdir(sub.c_str()));
  EXPECT_EQ(EEXIST, errno);
  EXPECT_EQ(-1, _mkdir(Path("missing/b").c_str()));
  EXPECT_EQ(ENOENT, errno);

  FILE* f = fopen(Path("file.rrr").c_str(), "w");
  ASSERT_NE(nullptr, f);
  fputs("abc", f);
  fclose(f);
  struct _finddata_t data;
  intptr_t h = _findfirst(Path("file.rrr").c_str(), &data);
  ASSERT_NE(-1, h);
  EXPECT_STREQ("file.rrr", data.name);
  EXPECT_EQ(3u, data.size);
  EXPECT_EQ(0u, data.attrib & _A_SUBDIR);
  EXPECT_EQ(0, _findclose(h));
  EXPECT_EQ(-1, _findclose(h));  // only once
  EXPECT_EQ(-1, _findfirst(Path("*.rrr").c_str(), &data));
}

TEST_F(FileTest, UnlinkRefusesAFileThisProcessHoldsOpen) {
  std::string path = Path("httpresponse.rrr");
  FILE* f = fopen(path.c_str(), "a+");
  ASSERT_NE(nullptr, f);
  // Another name for the same file is the same open file.
  ASSERT_EQ(0, link(path.c_str(), Path("alias.rrr").c_str()));
  EXPECT_EQ(-1, _unlink(path.c_str()));
  EXPECT_EQ(EACCES, errno);
  EXPECT_EQ(-1, _unlink(Path("alias.rrr").c_str()));
  EXPECT_EQ(0, access(path.c_str(), F_OK));
  fclose(f);
  EXPECT_EQ(0, _unlink(path.c_str()));
  EXPECT_NE(0, access(path.c_str(), F_OK));
  EXPECT_EQ(0, _unlink(Path("alias.rrr").c_str()));

  EXPECT_EQ(-1, _unlink(path.c_str()));
  EXPECT_EQ(ENOENT, errno);
  ASSERT_EQ(0, _mkdir(Path("d").c_str()));
  EXPECT_EQ(-1, _unlink(Path("d").c_str()));
  EXPECT_EQ(EACCES, errno);
}

// Only this process's handles keep a file: one another process holds open
// is deleted as before.
TEST_F(FileTest, UnlinkIgnoresAnotherProcessHoldingTheFile) {
  std::string path = Path("held-elsewhere.rrr");
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(nullptr, f);
  fclose(f);
  int ready[2], done[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(done));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    close(done[1]);
    int fd = open(path.c_str(), O_RDWR);
    char c = fd >= 0 ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    while (read(done[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(done[0]);
  char c = 0;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  EXPECT_EQ('y', c);
  EXPECT_EQ(0, _unlink(path.c_str()));
  EXPECT_NE(0, access(path.c_str(), F_OK));
  close(done[1]);
  close(ready[0]);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(ModuleFileNameTest, ExecutablePathAndTruncation) {
  char expected[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", expected, sizeof(expected) - 1);
  ASSERT_GT(n, 1);
  expected[n] = '\0';

  char path[MAX_PATH] = {0};
  EXPECT_EQ(static_cast<DWORD>(n), GetModuleFileNameA(nullptr, path, sizeof(path)));
  EXPECT_STREQ(expected, path);

  char small[5];
  SetLastError(0);
  EXPECT_EQ(5u, GetModuleFileNameA(nullptr, small, sizeof(small)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(std::string(expected, 4), small);

  int other = 0;
  EXPECT_EQ(0u, GetModuleFileNameA(&other, path, sizeof(path)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), GetLastError());
}

}  // namespace
