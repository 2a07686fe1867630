#include "ResponseRecord.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

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
  EXPECT_EQ(1u, trace.Count("CResponseRecord::Record, string will be truncated. request=3", RT_TRACE_LEVEL_WARNING));
}

TEST_F(ResponseRecordTest, StampedDataEntryWritesExactBytes) {
  std::string path = Path("httpresponse.rrr");
  CResponseRecord record(path);
  const char data[] = {'a', '\0', 'b'};
  record.Record(12, data, 3);
  record.Record(123456, "z", 1);
  std::string text = ReadFile(path);
  std::regex entry(std::string("\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\[   12\\]:a") + '\0' +
                   "b\n\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\[123456\\]:z\n");
  EXPECT_TRUE(std::regex_match(text, entry));
}

TEST_F(ResponseRecordTest, DataEntriesAroundTheLineBufferSizeAreWhole) {
  std::string path = Path("big.rrr");
  CResponseRecord record(path);
  // Stamp (14) and key (8) take 22 bytes: 4073 data bytes fill the
  // 4096-byte line with its line break, one more does not.
  const std::string fits(4073, 'f'), over(4074, 'o'), large(100000, 'l');
  record.Record(1, fits.data(), (DWORD)fits.size());
  record.Record(2, over.data(), (DWORD)over.size());
  record.Record(3, large.data(), (DWORD)large.size());
  record.Record(4, "end", 3);
  std::string text = ReadFile(path);
  // Each entry: the 14-byte stamp, the key, its data, a line break.
  std::regex stamp("\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d");
  size_t at = 0;
  for (const std::string& expected : {"[    1]:" + fits, "[    2]:" + over, "[    3]:" + large, std::string("[    4]:end")}) {
    ASSERT_LE(at + 14 + expected.size() + 1, text.size());
    EXPECT_TRUE(std::regex_match(text.substr(at, 14), stamp));
    EXPECT_EQ(expected + "\n", text.substr(at + 14, expected.size() + 1));
    at += 14 + expected.size() + 1;
  }
  EXPECT_EQ(4 * 23u + 4073 + 4074 + 100000 + 3, text.size());
}

TEST_F(ResponseRecordTest, MissingDirectoryDropsEntriesUntilItExists) {
  std::string path = Path("later/rec.rrr");
  CResponseRecord record(path);
  EXPECT_FALSE(record.IsOpen());
  EXPECT_TRUE(trace.Has("CResponseRecord::Open: can't open file:" + path, RT_TRACE_LEVEL_ERROR));
  record.Record(5, "lost", "x");
  record.Record(6, "lost", 4);
  EXPECT_TRUE(trace.Has("CResponseRecord::Record: empty file. request=5,response=x", RT_TRACE_LEVEL_ERROR));
  EXPECT_TRUE(trace.Has("CResponseRecord::Record: empty file. request=6", RT_TRACE_LEVEL_ERROR));

  fs::create_directory(Path("later"));
  record.Record(7, "kept", "y");
  EXPECT_TRUE(record.IsOpen());
  std::string text = ReadFile(path);
  EXPECT_EQ(std::string::npos, text.find("lost"));
  EXPECT_NE(std::string::npos, text.find("requ:7, kept"));
}

TEST_F(ResponseRecordTest, MakeDirCreatesMissingChainShortestFirst) {
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
}

TEST_F(ResponseRecordTest, MakeDirRejectsRelativePathWithoutExistingAncestor) {
  EXPECT_EQ(10008, MakeDir("no-such-httpcli-dir/b/"));
  EXPECT_TRUE(trace.Has("MakeDir, Error Dir String:no-such-httpcli-dir/b/", RT_TRACE_LEVEL_ERROR));
  EXPECT_FALSE(fs::exists("no-such-httpcli-dir"));
  EXPECT_EQ(10008, MakeDir(""));
}

TEST_F(ResponseRecordTest, MakeDirReportsTheLastDirectoryThatFailed) {
  std::string base = dir.path();
  std::ofstream(base + "/file") << "x";
  EXPECT_EQ(10006, MakeDir(base + "/file/sub/"));
  EXPECT_TRUE(trace.Contains("MakeDir, _mkdir Error." + base + "/file/sub", RT_TRACE_LEVEL_ERROR));
}

TEST_F(ResponseRecordTest, WorkDirIsTheExecutablesDirectory) {
  EXPECT_EQ(ExeDir(), GetWorkDir());
  std::regex stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d");
  EXPECT_TRUE(std::regex_match(GetTimeStamp(), stamp));
}
