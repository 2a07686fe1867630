#include "ResponseRecord.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <vector>

#include "HttpcliTestUtil.h"
#include "RtTraceCapture.h"

using namespace httpcli_test;
namespace fs = std::filesystem;

namespace {

// The lines of a record file, each time stamp replaced by "@": the long
// "YYYY-MM-DD hh:mm:ss" of request entries, the short "mm-dd hh:mm:ss" of data
// entries. A stamp in the wrong form stays and makes the line differ.
std::vector<std::string> Lines(const std::string& text) {
  static const std::regex stamp(
      "^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d(?= requ:)|\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d(?=\\[))");
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(std::regex_replace(line, stamp, "@"));
  return out;
}

class ResponseRecordTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  CRtTraceCapture trace;
  std::string Path(const std::string& name) { return dir.path() + "/" + name; }
};

// Each row is written by a record of its own onto the same file: the file
// only grows, row after row.
TEST_F(ResponseRecordTest, EntryFormats) {
  const struct {
    bool data;  // a data entry of `request`, else a request/response entry
    DWORD key;
    std::string request, response;
    std::vector<std::string> lines;
  } cases[] = {
      {false, 7, "http://host/conf/x", "ok", {"@ requ:7, http://host/conf/x", "\tresp: ok"}},
      // Cut to 4095 bytes with its line break: 20 + 12 + 7 + 4055 + 1.
      {false, 3, "req", std::string(5000, 'x'), {"@ requ:3, req", "\tresp: " + std::string(4055, 'x')}},
      {true, 1, "/p", "", {"@[    1]:/p"}},
      // Stamp and key take 22 bytes: 4073 data bytes fill the 4096-byte line
      // buffer with the line break, one more does not; longer ones are whole.
      {true, 2, std::string(4073, 'f'), "", {"@[    2]:" + std::string(4073, 'f')}},
      {true, 4, std::string(4074, 'o'), "", {"@[    4]:" + std::string(4074, 'o')}},
      {true, 123456, std::string("a\0b", 3), "", {std::string("@[123456]:a\0b", 13)}},
  };
  const std::string path = Path("waresponse.rrr");
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    {
      CResponseRecord record(path);
      if (c.data) {
        record.Record(c.key, c.request.data(), (DWORD)c.request.size());
      } else {
        record.Record(c.key, c.request, c.response);
      }
    }
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(expected, Lines(ReadFile(path)));
  }
}

// Things at the record's path that are not the user's private file are left
// alone.
TEST_F(ResponseRecordTest, RefusedFilesAreLeftAlone) {
  const std::string path = Path("rec.rrr"), target = Path("target");
  const struct {
    const char* name;
    std::function<bool()> plant;
  } cases[] = {
      {"symbolic link", [&] { return (std::ofstream(target) << "", symlink(target.c_str(), path.c_str()) == 0); }},
      {"readable by others", [&] { return (std::ofstream(path) << "", chmod(path.c_str(), 0644) == 0); }},
      {"fifo", [&] { return mkfifo(path.c_str(), 0600) == 0; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.plant());
    struct stat before, after;
    ASSERT_EQ(0, lstat(path.c_str(), &before));
    CResponseRecord record(path);
    for (DWORD i = 0; i < 3; ++i) {
      record.Record(i, "req", "resp");
      record.Record(i, "piece", 5);
      record.EndReply(i);
    }
    EXPECT_FALSE(record.IsOpen());
    ASSERT_EQ(0, lstat(path.c_str(), &after));
    EXPECT_EQ(before.st_mode, after.st_mode);
    if (!fs::is_fifo(path)) {
      EXPECT_EQ(0u, fs::file_size(path));  // a link's target included
    }
    fs::remove(path);
  }
}

// The home folder is read once per process, so the rows run in a child that
// sets HOME (the scratch folder's "home") before anything reads it; the real
// home is never touched. In the table "@" stands for the scratch folder, null
// for an unset variable; an expected "" turns recording off and makes nothing,
// so those rows come first.
TEST_F(ResponseRecordTest, RecordFolderIsChosenByTheEnvironmentAndMadePrivate) {
  const struct {
    const char *recordDir, *stateHome, *expected;
  } cases[] = {
      {"", "@/state", ""},
      {"@/file/sub", nullptr, ""},  // cannot be made
      {"@/mine", "@/state", "@/mine/"},
      {"@/a/b/c/", nullptr, "@/a/b/c/"},
      {nullptr, "@/state", "@/state/qmxconfweba/"},
      {nullptr, "state", "@/home/.local/state/qmxconfweba/"},  // a relative one is ignored
      {nullptr, nullptr, "@/home/.local/state/qmxconfweba/"},
  };
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const std::string scratch = dir.path();
        auto expand = [&](const char* text) { return text[0] == '@' ? scratch + (text + 1) : std::string(text); };
        setenv("HOME", (scratch + "/home").c_str(), 1);
        std::ofstream(scratch + "/file") << "x";
        std::string problems;
        for (const auto& c : cases) {
          c.recordDir ? setenv("QMX_RECORD_DIR", expand(c.recordDir).c_str(), 1) : unsetenv("QMX_RECORD_DIR");
          c.stateHome ? setenv("XDG_STATE_HOME", expand(c.stateHome).c_str(), 1) : unsetenv("XDG_STATE_HOME");
          const std::string expected = expand(c.expected);
          const std::string got = GetWorkDir();
          struct stat st;
          const bool made = expected.empty() ? !fs::exists(scratch + "/state") && !fs::exists(scratch + "/home")
                                             : stat(expected.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                                                   (st.st_mode & 07777) == 0700;
          if (got != expected || GetRecordPath("x.rrr") != (expected.empty() ? "" : expected + "x.rrr") || !made) {
            problems += " [" + got + "] for " + c.expected;
          }
        }
        std::error_code ec;
        fs::remove_all(scratch, ec);
        fprintf(stderr, "folders%s\n", problems.empty() ? " ok" : problems.c_str());
        fflush(stderr);
        _exit(problems.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "folders ok");
}

// ---- bounded records ----

TEST_F(ResponseRecordTest, PiecesOfOneReplyAreHeldTo64KiBAndTheRestIsCounted) {
  const std::string path = Path("httpresponse.rrr");
  CResponseRecord record(path);
  const std::string piece(10000, 'p'), other(300, 'o');
  record.Record(1, "/conf/big", 9);
  record.Record(2, "/conf/small", 11);
  for (int i = 0; i < 10; ++i) {
    record.Record(1, piece.data(), (DWORD)piece.size());
    if (i == 3) record.Record(2, other.data(), (DWORD)other.size());  // replies interleave
  }
  record.EndReply(2);  // nothing left out: no line
  record.EndReply(1);
  record.EndReply(7);  // unknown: nothing
  // An oversized opening entry is cut and counted alike.
  record.Record(4, std::string(70000, 'n').data(), 70000);
  record.EndReply(4);

  // Key 1's body: 6 whole pieces and 5536 bytes of the seventh make 64 KiB.
  std::vector<std::string> expected = {"@[    1]:/conf/big", "@[    2]:/conf/small"};
  for (int i = 0; i < 7; ++i) {
    expected.push_back("@[    1]:" + (i < 6 ? piece : std::string(65536 - 60000, 'p')));
    if (i == 3) expected.push_back("@[    2]:" + other);
  }
  expected.push_back("@[    1]:... 34464 bytes left out");
  expected.push_back("@[    4]:" + std::string(65536, 'n'));
  expected.push_back("@[    4]:... 4464 bytes left out");
  EXPECT_EQ(expected, Lines(ReadFile(path)));
}

// A data entry takes 23 bytes and its data. An entry that brings the file to
// the cap stays in it; one byte more starts the file afresh, the full one kept
// as "<name>.1". An older file that cannot be replaced stops the record.
TEST_F(ResponseRecordTest, FileIsStartedAfreshPastTheSizeCapKeepingOneOlder) {
  struct CapGuard {
    ~CapGuard() { CResponseRecord::SetMaxFileBytes(0); }
  } capGuard;
  CResponseRecord::SetMaxFileBytes(1000);
  const std::string path = Path("waresponse.rrr"), older = path + ".1";
  // A file kept from an earlier run counts towards the cap.
  { std::ofstream(path) << std::string(900, 'k'); }
  chmod(path.c_str(), 0600);

  CResponseRecord record(path);
  record.Record(1, std::string(77, 'a').data(), 77);  // 900 + 100: at the cap
  EXPECT_EQ(1000u, fs::file_size(path));
  record.Record(2, "b", 1);  // 1024: over
  EXPECT_EQ(1000u, fs::file_size(older));
  EXPECT_EQ(std::string(900, 'k'), ReadFile(older).substr(0, 900));
  EXPECT_EQ(std::vector<std::string>{"@[    2]:b"}, Lines(ReadFile(path)));
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);

  fs::remove(older);
  fs::create_directory(older);
  std::ofstream(older + "/keep") << "x";
  trace.Clear();
  for (DWORD i = 3; i < 60; ++i) record.Record(i, std::string(100, 'c').data(), 100);
  EXPECT_LE(fs::file_size(path), 1000u);
  EXPECT_EQ(1u, trace.Lines().size());
}

}  // namespace
