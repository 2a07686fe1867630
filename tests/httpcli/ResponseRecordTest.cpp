#include "ResponseRecord.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <vector>

#include "qmxfiles.h"

#include "HttpcliTestUtil.h"
#include "RtTraceCapture.h"

using namespace httpcli_test;
namespace fs = std::filesystem;

class ResponseRecordTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  CRtTraceCapture trace;
  std::string Path(const std::string& name) { return dir.path() + "/" + name; }
};

TEST_F(ResponseRecordTest, RequestResponseEntryFormatAndOwnerOnlyFile) {
  std::string path = Path("waresponse.rrr");
  {
    CResponseRecord record(path);
    record.Record(7, "http://host/conf/x", "ok");
    record.Record(8, "http://host/y", "");
  }
  std::string text = ReadFile(path);
  std::regex entry(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d requ:7, http://host/conf/x\n\tresp: ok\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d requ:8, http://host/y\n\tresp: \n");
  EXPECT_TRUE(std::regex_match(text, entry)) << text;
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);

  // Reopening appends: the file grows across runs.
  CResponseRecord again(path);
  again.Record(9, "a", "b");
  EXPECT_NE(std::string::npos, ReadFile(path).find("requ:7"));
  EXPECT_NE(std::string::npos, ReadFile(path).find("requ:9"));
}

TEST_F(ResponseRecordTest, LongEntryIsCutTo4095BytesEndingInLineBreak) {
  std::string path = Path("cut.rrr");
  CResponseRecord record(path);
  record.Record(3, "req", std::string(5000, 'x'));
  std::string text = ReadFile(path);
  ASSERT_EQ(4095u, text.size());
  EXPECT_EQ('\n', text.back());
}

TEST_F(ResponseRecordTest, DataEntriesAroundTheLineBufferSizeAreWhole) {
  std::string path = Path("big.rrr");
  CResponseRecord record(path);
  // Stamp (14) and key (8) take 22 bytes: 4073 data bytes fill the
  // 4096-byte line with its line break, one more does not.
  const std::string fits(4073, 'f'), over(4074, 'o'), large(60000, 'l');
  record.Record(1, fits.data(), (DWORD)fits.size());
  record.Record(2, over.data(), (DWORD)over.size());
  record.Record(3, large.data(), (DWORD)large.size());
  record.Record(123456, "a\0b", 3);
  std::string text = ReadFile(path);
  // Each entry: the 14-byte stamp, the key, its data, a line break.
  std::regex stamp("\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d");
  size_t at = 0;
  for (const std::string& expected :
       {"[    1]:" + fits, "[    2]:" + over, "[    3]:" + large, std::string("[123456]:a\0b", 12)}) {
    ASSERT_LE(at + 14 + expected.size() + 1, text.size());
    EXPECT_TRUE(std::regex_match(text.substr(at, 14), stamp));
    EXPECT_EQ(expected + "\n", text.substr(at + 14, expected.size() + 1));
    at += 14 + expected.size() + 1;
  }
  EXPECT_EQ(3 * 23u + 4073 + 4074 + 60000 + 14 + 12 + 1, text.size());
}

TEST_F(ResponseRecordTest, MissingDirectoryDropsEntriesUntilItExists) {
  std::string path = Path("later/rec.rrr");
  CResponseRecord record(path);
  EXPECT_FALSE(record.IsOpen());
  record.Record(5, "lost", "x");
  record.Record(6, "lost", 4);

  fs::create_directory(Path("later"));
  record.Record(7, "kept", "y");
  EXPECT_TRUE(record.IsOpen());
  std::string text = ReadFile(path);
  EXPECT_EQ(std::string::npos, text.find("lost"));
  EXPECT_NE(std::string::npos, text.find("requ:7, kept"));
}

TEST_F(ResponseRecordTest, MakeDirCreatesTheMissingChainOrSaysWhyNot) {
  std::string base = dir.path();
  EXPECT_EQ(0, MakeDir(base + "/a/b/"));
  EXPECT_TRUE(fs::is_directory(base + "/a/b"));
  EXPECT_EQ(0, MakeDir(base + "/a/b/"));  // all there: nothing to do
  // What follows the last separator is a file name.
  EXPECT_EQ(0, MakeDir(base + "/c/d"));
  EXPECT_TRUE(fs::is_directory(base + "/c"));
  EXPECT_FALSE(fs::exists(base + "/c/d"));
  EXPECT_EQ(1, DirExists(base + "/a"));
  EXPECT_EQ(0, DirExists(base + "/c/d"));

  EXPECT_EQ(10008, MakeDir("no-such-httpcli-dir/b/"));  // relative, no existing ancestor
  EXPECT_FALSE(fs::exists("no-such-httpcli-dir"));
  EXPECT_EQ(10008, MakeDir(""));
  std::ofstream(base + "/file") << "x";
  EXPECT_EQ(10006, MakeDir(base + "/file/sub/"));
}

// ---- files that are not ours to write ----

struct RefusedCase {
  const char* name;
  // Puts something at path; false when this run cannot (not root).
  bool (*plant)(const std::string& path, const std::string& dir);
};

bool PlantFile(const std::string& path, mode_t mode) {
  std::ofstream(path) << "";
  return chmod(path.c_str(), mode) == 0;
}

const RefusedCase kRefusedCases[] = {
    {"SymbolicLink",
     [](const std::string& path, const std::string& dir) {
       std::ofstream(dir + "/target") << "";
       return symlink((dir + "/target").c_str(), path.c_str()) == 0;
     }},
    {"ReadableByOthers", [](const std::string& path, const std::string&) { return PlantFile(path, 0666); }},
    {"GroupWritable", [](const std::string& path, const std::string&) { return PlantFile(path, 0620); }},
    {"Directory", [](const std::string& path, const std::string&) { return mkdir(path.c_str(), 0700) == 0; }},
    {"Fifo", [](const std::string& path, const std::string&) { return mkfifo(path.c_str(), 0600) == 0; }},
    {"OtherUsers",
     [](const std::string& path, const std::string&) {
       return geteuid() == 0 && PlantFile(path, 0600) && chown(path.c_str(), 65534, 65534) == 0;
     }},
};

class RefusedFileTest : public ::testing::TestWithParam<RefusedCase> {
 protected:
  ScratchDir dir;
  CRtTraceCapture trace;
};

TEST_P(RefusedFileTest, IsLeftAloneWithOneWarningUntilTheNextOpen) {
  const RefusedCase& c = GetParam();
  const std::string path = dir.path() + "/rec.rrr";
  if (!c.plant(path, dir.path())) GTEST_SKIP() << "cannot plant " << c.name << " here";
  struct stat before;
  ASSERT_EQ(0, lstat(path.c_str(), &before));

  CResponseRecord record(path);
  EXPECT_FALSE(record.IsOpen());
  for (DWORD i = 0; i < 3; ++i) {
    record.Record(i, "req", "resp");
    record.Record(i, "piece", 5);
    record.EndReply(i);
  }
  EXPECT_FALSE(record.IsOpen());
  // One warning, none per entry.
  EXPECT_EQ(1u, trace.Lines().size());

  struct stat after;
  ASSERT_EQ(0, lstat(path.c_str(), &after));
  EXPECT_EQ(before.st_mode, after.st_mode);
  EXPECT_EQ(before.st_uid, after.st_uid);
  if (S_ISREG(after.st_mode)) {
    EXPECT_EQ(0, after.st_size);
  }
  if (S_ISLNK(after.st_mode)) {
    EXPECT_EQ("", ReadFile(dir.path() + "/target"));
  }

  // The next Open asks again: with the thing gone, the file is made.
  fs::remove(path);
  EXPECT_TRUE(record.Open(path));
  record.Record(9, "now", "kept");
  EXPECT_NE(std::string::npos, ReadFile(path).find("requ:9, now"));
}

INSTANTIATE_TEST_SUITE_P(Planted, RefusedFileTest, ::testing::ValuesIn(kRefusedCases),
                         [](const ::testing::TestParamInfo<RefusedCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- the record folder ----

struct FolderCase {
  const char* name;
  const char* recordDir;  // null: unset; "@" stands for the scratch folder
  const char* stateHome;  // likewise
  const char* expected;   // likewise
};

// HOME is the scratch folder's "home" in every case.
// An empty expected folder: recording is off and nothing is made.
const FolderCase kFolderCases[] = {
    {"RecordDir", "@/mine", "@/state", "@/mine/"},
    {"RecordDirWithSlash", "@/mine/", nullptr, "@/mine/"},
    {"RecordDirNested", "@/a/b/c", nullptr, "@/a/b/c/"},
    {"StateHome", nullptr, "@/state", "@/state/qmxconfweba/"},
    {"StateHomeRelativeIsIgnored", nullptr, "state", "@/home/.local/state/qmxconfweba/"},
    {"StateHomeEmptyIsIgnored", nullptr, "", "@/home/.local/state/qmxconfweba/"},
    {"Home", nullptr, nullptr, "@/home/.local/state/qmxconfweba/"},
    {"EmptyRecordDirTurnsRecordingOff", "", "@/state", ""},
    {"FolderThatCannotBeMadeTurnsRecordingOff", "@/file/sub", nullptr, ""},
};

std::string Expand(const char* text, const std::string& scratch) {
  std::string s(text);
  if (!s.empty() && s[0] == '@') s = scratch + s.substr(1);
  return s;
}

// What is wrong with the folder GetWorkDir chose for the case, "" when nothing.
std::string CheckFolder(const FolderCase& c, const std::string& scratch) {
  const std::string expected = Expand(c.expected, scratch);
  if (GetWorkDir() != expected) return "folder " + std::string(GetWorkDir()) + ", not " + expected;
  if (GetRecordPath("x.rrr") != (expected.empty() ? "" : expected + "x.rrr")) return "record path";
  if (expected.empty()) {
    CResponseRecord record(GetRecordPath("waresponse.rrr"));
    record.Record(1, "a", "b");
    if (record.IsOpen() || record.Open(CRtString())) return "recording";
    return fs::exists(scratch + "/state") || fs::exists(scratch + "/home") ? "something was made" : "";
  }
  struct stat st;
  if (stat(expected.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "no folder";
  if ((st.st_mode & 07777) != 0700) return "folder mode " + std::to_string(st.st_mode & 07777);
  {
    CResponseRecord record(GetRecordPath("waresponse.rrr"));
    record.Record(1, "a", "b");
  }
  if (stat((expected + "waresponse.rrr").c_str(), &st) != 0) return "no record file";
  if ((st.st_mode & 07777) != 0600) return "file mode " + std::to_string(st.st_mode & 07777);
  return "";
}

class RecordFolderTest : public ::testing::TestWithParam<FolderCase> {
 protected:
  ScratchDir dir;
};

// The home folder is read once per process, so each case runs in a child
// that sets HOME before anything reads it; the real home is never touched.
TEST_P(RecordFolderTest, IsChosenByTheEnvironmentAndMadePrivate) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const FolderCase& c = GetParam();
  EXPECT_EXIT(
      {
        const std::string scratch = dir.path();
        const std::string home = scratch + "/home";
        const std::string recordDir = c.recordDir ? Expand(c.recordDir, scratch) : "";
        const std::string stateHome = c.stateHome ? Expand(c.stateHome, scratch) : "";
        setenv("HOME", home.c_str(), 1);
        std::ofstream(scratch + "/file") << "x";
        if (c.recordDir) {
          setenv("QMX_RECORD_DIR", recordDir.c_str(), 1);
        } else {
          unsetenv("QMX_RECORD_DIR");
        }
        if (c.stateHome) {
          setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
        } else {
          unsetenv("XDG_STATE_HOME");
        }
        const std::string problem = CheckFolder(c, scratch);
        std::error_code ec;
        fs::remove_all(scratch, ec);
        fprintf(stderr, "%s\n", problem.empty() ? "folder ok" : problem.c_str());
        fflush(stderr);
        _exit(problem.empty() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "folder ok");
}

INSTANTIATE_TEST_SUITE_P(Environment, RecordFolderTest, ::testing::ValuesIn(kFolderCases),
                         [](const ::testing::TestParamInfo<FolderCase>& info) { return std::string(info.param.name); });

// ---- bounded records ----

// The stamped entries of a data record file, stamp removed: "[key]:data".
std::vector<std::string> Entries(const std::string& text) {
  std::vector<std::string> out;
  std::regex stamp("^\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d");
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    EXPECT_TRUE(std::regex_search(line.substr(0, 14), stamp)) << line.substr(0, 40);
    out.push_back(line.size() >= 14 ? line.substr(14) : line);
    at = end + 1;
  }
  return out;
}

TEST_F(ResponseRecordTest, PiecesOfOneReplyAreHeldTo64KiBAndTheRestIsCounted) {
  ASSERT_EQ(64u * 1024, CResponseRecord::kMaxReplyBytes);
  std::string path = Path("httpresponse.rrr");
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
  // The key's next entry opens a new reply, with its own allowance.
  record.Record(1, "/conf/again", 11);
  record.Record(1, piece.data(), (DWORD)piece.size());
  record.EndReply(1);
  record.EndReply(7);  // unknown: nothing
  // An oversized opening entry is cut and counted alike.
  record.Record(4, std::string(70000, 'n').data(), 70000);
  record.EndReply(4);

  std::vector<std::string> e = Entries(ReadFile(path));
  ASSERT_GE(e.size(), 5u);
  EXPECT_EQ("[    1]:/conf/big", e[0]);
  EXPECT_EQ("[    2]:/conf/small", e[1]);
  // Key 1's body: 6 whole pieces (60000 bytes) and 5536 bytes of the seventh
  // make 64 KiB; then the count of what was left out.
  std::vector<std::string> body1, body2;
  for (size_t i = 2; i + 5 < e.size(); ++i) (e[i].compare(0, 8, "[    1]:") == 0 ? body1 : body2).push_back(e[i]);
  ASSERT_EQ(7u, body1.size());
  size_t written = 0;
  for (const std::string& b : body1) written += b.size() - 8;
  EXPECT_EQ(CResponseRecord::kMaxReplyBytes, written);
  EXPECT_EQ("[    1]:" + std::string(65536 - 60000, 'p'), body1.back());
  EXPECT_EQ(std::vector<std::string>{"[    2]:" + other}, body2);
  EXPECT_EQ("[    1]:... " + std::to_string(100000 - 65536) + " bytes left out", e[e.size() - 5]);
  EXPECT_EQ("[    1]:/conf/again", e[e.size() - 4]);
  EXPECT_EQ("[    1]:" + piece, e[e.size() - 3]);
  EXPECT_EQ("[    4]:" + std::string(65536, 'n'), e[e.size() - 2]);
  EXPECT_EQ("[    4]:... 4464 bytes left out", e[e.size() - 1]);
}

TEST_F(ResponseRecordTest, FileIsStartedAfreshPastTheSizeCapKeepingOneOlder) {
  ASSERT_EQ(16ull * 1024 * 1024, CResponseRecord::kMaxFileBytes);
  struct CapGuard {
    ~CapGuard() { CResponseRecord::SetMaxFileBytes(0); }
  } capGuard;
  CResponseRecord::SetMaxFileBytes(1000);
  const std::string path = Path("waresponse.rrr");
  const std::string older = path + ".1";
  // A file kept from an earlier run counts towards the cap.
  { std::ofstream(path) << std::string(900, 'k'); }
  chmod(path.c_str(), 0600);
  { std::ofstream(older) << "oldest"; }

  CResponseRecord record(path);
  const std::string body(150, 'b');
  record.Record(1, "req", body);  // 900 + ~190 > 1000: the kept file becomes .1
  EXPECT_EQ(std::string(900, 'k'), ReadFile(older));
  for (int i = 2; i <= 12; ++i) record.Record(i, "req", body);
  const std::string current = ReadFile(path);
  const std::string previous = ReadFile(older);
  EXPECT_LE(current.size(), 1000u);
  EXPECT_LE(previous.size(), 1000u);
  // Whole entries only: the latest in the current file, the ones just before
  // them in the older file, none lost between the two.
  std::regex number("requ:(\\d+),");
  std::vector<int> seen;
  for (const std::string* text : {&previous, &current}) {
    EXPECT_EQ('\n', text->back());
    for (std::sregex_iterator it(text->begin(), text->end(), number), end; it != end; ++it)
      seen.push_back(std::stoi((*it)[1]));
  }
  ASSERT_GE(seen.size(), 6u);
  EXPECT_EQ(12, seen.back());
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_EQ(seen[i - 1] + 1, seen[i]);
  EXPECT_EQ(std::count(previous.begin(), previous.end(), '\t') + std::count(current.begin(), current.end(), '\t'),
            (long)seen.size());
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);

  // Data records are held to the cap the same way.
  const std::string data = Path("httpresponse.rrr");
  CResponseRecord pieces(data);
  const std::string piece(400, 'p');
  for (int i = 0; i < 5; ++i) pieces.Record(3, piece.data(), (DWORD)piece.size());
  EXPECT_LE(ReadFile(data).size(), 1000u);
  EXPECT_LE(ReadFile(data + ".1").size(), 1000u);
  // 2 pieces of 423 bytes fit in 1000; the fifth starts a third file.
  EXPECT_EQ(1u, Entries(ReadFile(data)).size());
  EXPECT_EQ(2u, Entries(ReadFile(data + ".1")).size());
}

TEST_F(ResponseRecordTest, OlderFileThatCannotBeReplacedStopsTheRecord) {
  struct CapGuard {
    ~CapGuard() { CResponseRecord::SetMaxFileBytes(0); }
  } capGuard;
  CResponseRecord::SetMaxFileBytes(300);
  const std::string path = Path("waresponse.rrr");
  fs::create_directory(path + ".1");
  std::ofstream(path + ".1/keep") << "x";
  CResponseRecord record(path);
  for (int i = 0; i < 5; ++i) record.Record(i, "req", std::string(100, 'b'));
  EXPECT_LE(ReadFile(path).size(), 300u);
  EXPECT_EQ(1u, trace.Lines().size());
}
