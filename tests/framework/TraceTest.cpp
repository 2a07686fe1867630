// Trace lines: the recorder, the assertion line, levels, outputs.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "RtTraceCapture.h"
#include "qmxframework.h"

namespace {

TEST(LogRecorderTest, FormatsEachSupportedType) {
  char buf[1024];
  CRtTrace::CRtLogRecorder rec(buf, sizeof buf);
  const char* nothing = nullptr;
  rec << "a" << -5 << " " << 7u << " " << -8L << " " << 9UL << " " << static_cast<unsigned short>(65535) << " "
      << CRtString("str") << " " << nothing << " " << (-9223372036854775807LL - 1) << " "
      << reinterpret_cast<const void*>(0x10) << " " << static_cast<void*>(nullptr)
      << RtThis(reinterpret_cast<void*>(0xabc0));
  EXPECT_STREQ(static_cast<char*>(rec), "a-5 7 -8 9 65535 str (null) -9223372036854775808 0x10 0x0 this=0xabc0");
  EXPECT_EQ(rec.size(), strlen(buf));
}

TEST(LogRecorderTest, CutsSilentlyAtItsSize) {
  char buf[16];
  memset(buf, 'X', sizeof buf);
  CRtTrace::CRtLogRecorder rec(buf, 8);
  rec << "abcd" << 123456 << "more" << CRtString("and more");
  EXPECT_STREQ(buf, "abcd123");  // 7 characters and the terminator
  EXPECT_EQ(rec.size(), 7u);
  EXPECT_EQ(buf[8], 'X');  // nothing written past the size

  CRtTrace::CRtLogRecorder none(nullptr, 100);
  none << "abc" << 5;
  EXPECT_EQ(none.size(), 0u);

  // The macros' stack buffer is 1024 bytes.
  CRtTraceCapture trace;
  RT_INFO_TRACE(std::string(3000, 'x') << "tail");
  ASSERT_EQ(trace.Lines().size(), 1u);
  EXPECT_EQ(trace.Lines()[0].text, std::string(1023, 'x'));
}

const int kGuardedAssertLine = __LINE__ + 2;
int Guarded(int v) {
  RT_ASSERTE_RETURN(v > 0, 10008);
  return 0;
}

TEST(AssertTest, WritesExactLineAtErrorLevelAndReturns) {
  CRtTraceCapture trace;
  // Level 0 passes even when only errors are traced.
  CRtTrace::SetLevel(RT_TRACE_LEVEL_ERROR);
  EXPECT_EQ(Guarded(-1), 10008);
  EXPECT_EQ(Guarded(1), 0);
  auto lines = trace.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, RT_TRACE_LEVEL_ERROR);
  EXPECT_EQ(lines[0].text, std::string(__FILE__) + ":" + std::to_string(kGuardedAssertLine) + " Assert failed: v > 0");
}

TEST(TraceTest, LevelFiltersSinkAndMacrosCarryTheirLevel) {
  CRtTraceCapture trace(RT_TRACE_LEVEL_WARNING);
  RT_INFO_TRACE("info " << 1);
  RT_WARNING_TRACE("warning " << 2);
  RT_ERROR_TRACE("error " << 3);
  auto lines = trace.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, RT_TRACE_LEVEL_WARNING);
  EXPECT_EQ(lines[0].text, "warning 2");
  EXPECT_EQ(lines[1].level, RT_TRACE_LEVEL_ERROR);
  EXPECT_EQ(lines[1].text, "error 3");
}

int g_formatted = 0;
int Counted(int v) {
  ++g_formatted;
  return v;
}

TEST(TraceTest, NothingIsFormattedWhileLinesGoNowhere) {
  ASSERT_EQ(CRtTrace::SetOutput(nullptr), RT_OK);
  g_formatted = 0;
  RT_ERROR_TRACE("off " << Counted(1));
  EXPECT_EQ(g_formatted, 0);
  {
    CRtTraceCapture trace(RT_TRACE_LEVEL_WARNING);
    RT_INFO_TRACE("above the level " << Counted(2));
    EXPECT_EQ(g_formatted, 0);
    RT_WARNING_TRACE("on " << Counted(3));
    EXPECT_EQ(g_formatted, 1);
    EXPECT_TRUE(trace.Has("on 3", RT_TRACE_LEVEL_WARNING));
  }
  // The capture's sink is gone again, and with it every destination.
  RT_ERROR_TRACE("off again " << Counted(4));
  EXPECT_EQ(g_formatted, 1);
}

void TracingSink(int, const char* text, void* user) {
  ++*static_cast<int*>(user);
  // A sink that traces must not deadlock; its own line is dropped.
  CRtTrace::instance()->trace_string(RT_TRACE_LEVEL_ERROR, text);
}

TEST(TraceTest, SinkThatTracesDoesNotRecurse) {
  int calls = 0;
  CRtTrace::SetSink(&TracingSink, &calls);
  RT_ERROR_TRACE("once");
  CRtTrace::SetSink(nullptr, nullptr);
  EXPECT_EQ(calls, 1);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(TraceTest, FileOutputIsAppendedAndCanBeTurnedOff) {
  char path[] = "/tmp/qmxtraceXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  CRtTrace::SetLevel(RT_TRACE_LEVEL_INFO);
  ASSERT_EQ(CRtTrace::SetOutput(path), RT_OK);
  RT_WARNING_TRACE("first " << 1);
  RT_INFO_TRACE("second");
  ASSERT_EQ(CRtTrace::SetOutput(nullptr), RT_OK);
  RT_INFO_TRACE("not written");
  std::string text = ReadFile(path);
  std::string tid = std::to_string(static_cast<long>(syscall(SYS_gettid)));
  std::regex form("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} L10 T" + tid + " first 1\n" +
                  "[0-9-]+ [0-9:.]+ L20 T" + tid + " second\n");
  EXPECT_TRUE(std::regex_match(text, form)) << text;
  // A file cannot be a folder: this path can never be opened.
  EXPECT_EQ(CRtTrace::SetOutput((std::string(path) + "/trace.log").c_str()), RT_ERROR_FAILURE);
  unlink(path);
}

// QMX_TRACE and QMX_TRACE_LEVEL are read when the trace is first used, so
// this runs in a fresh process.
TEST(TraceDeathTest, EnvironmentChoosesOutputAndLevel) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("QMX_TRACE", "stderr", 1);
        setenv("QMX_TRACE_LEVEL", "10", 1);
        RT_INFO_TRACE("dropped");
        RT_WARNING_TRACE("kept " << 10);
        fflush(stderr);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "^[0-9-]+ [0-9:.]+ L10 T[0-9]+ kept 10\n$");
}

}  // namespace

namespace {

// What the output and every sink see of a line that carries passwords.
struct MaskCase {
  const char* line;
  const char* shown;
};

const MaskCase kMaskCases[] = {
    // URL queries: the value ends at '&' or at the end of the line.
    {"GET /x?method=JoinMeeting&confPass=%41%42&email=ann%40example",
     "GET /x?method=JoinMeeting&confPass=***&email=ann%40example"},
    {"q?user=bob&pass=secret", "q?user=bob&pass=***"},
    {"q?user=&pass=&osName=vista64", "q?user=&pass=&osName=vista64"},  // nothing to hide
    // Trace labels: a ',' ends the value only where the next label starts.
    {"CSiteClient::SetLogin, userName=bob,password=top,secret", "CSiteClient::SetLogin, userName=bob,password=***"},
    {"confPass=a,b,eMail=x", "confPass=***,eMail=x"},
    {"SetProxy, aName=n,aPassword=p w,aUrl=u", "SetProxy, aName=n,aPassword=***,aUrl=u"},
    {"m_proxyPassword=x1 this=0x10", "m_proxyPassword=*** this=0x10"},
    // Any case, key is or ends in pass / password.
    {"PASSWORD=Zz\tnext=1", "PASSWORD=***\tnext=1"},
    {"ProxyPASS=1\nPass=2\r\nok", "ProxyPASS=***\nPass=***\r\nok"},
    {"a=1,pass=2,password=3,b=4", "a=1,pass=***,password=***,b=4"},
    // Not secret keys, and lines with nothing to hide, pass unchanged.
    {"passwordHint=h,passes=2,class=A,compassion=x", "passwordHint=h,passes=2,class=A,compassion=x"},
    {"no equals sign: password secret", "no equals sign: password secret"},
    {"password", "password"},
    {"=pass", "=pass"},
    {"pass=", "pass="},
    {"", ""},
};

class TraceMaskTest : public ::testing::TestWithParam<MaskCase> {};

TEST_P(TraceMaskTest, PasswordValuesAreHiddenFromSinkAndFile) {
  const MaskCase& c = GetParam();
  char path[] = "/tmp/qmxtracemaskXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  ASSERT_EQ(CRtTrace::SetOutput(path), RT_OK);
  {
    CRtTraceCapture trace(RT_TRACE_LEVEL_INFO);
    CRtTrace::instance()->trace_string(RT_TRACE_LEVEL_WARNING, c.line);
    ASSERT_EQ(trace.Lines().size(), 1u);
    EXPECT_EQ(trace.Lines()[0].text, c.shown);
  }
  ASSERT_EQ(CRtTrace::SetOutput(nullptr), RT_OK);
  std::string text = ReadFile(path);
  unlink(path);
  const std::string tail = std::string(" ") + c.shown + "\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

INSTANTIATE_TEST_SUITE_P(Lines, TraceMaskTest, ::testing::ValuesIn(kMaskCases));

TEST(TraceMaskLongTest, LongLinesAndMacroLinesAreMaskedToo) {
  CRtTraceCapture trace;
  std::string line = std::string(5000, 'x') + " pass=" + std::string(3000, 's') + "&end";
  CRtTrace::instance()->trace_string(RT_TRACE_LEVEL_ERROR, line.c_str());
  RT_INFO_TRACE("SetLogin, userName=" << CRtString("u") << ",password=" << CRtString("hunter2"));
  auto lines = trace.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, std::string(5000, 'x') + " pass=***&end");
  EXPECT_EQ(lines[1].text, "SetLogin, userName=u,password=***");
}

struct stat StatOf(const std::string& path) {
  struct stat st;
  memset(&st, 0, sizeof st);
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

TEST(TraceFileTest, FileIsPrivateAndALinkIsRefused) {
  char dir[] = "/tmp/qmxtracedirXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/trace.log";
  const std::string target = std::string(dir) + "/target.log";
  const std::string link = std::string(dir) + "/link.log";

  ASSERT_EQ(CRtTrace::SetOutput(file.c_str()), RT_OK);
  RT_ERROR_TRACE("made");
  ASSERT_EQ(CRtTrace::SetOutput(nullptr), RT_OK);
  EXPECT_EQ(StatOf(file).st_mode & 07777, 0600u);

  // A link planted at the name, to a file or to nowhere, is not followed.
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(CRtTrace::SetOutput(link.c_str()), RT_ERROR_FAILURE);
  RT_ERROR_TRACE("not written");
  EXPECT_NE(access(target.c_str(), F_OK), 0);
  { std::ofstream(target) << ""; }
  EXPECT_EQ(CRtTrace::SetOutput(link.c_str()), RT_ERROR_FAILURE);
  RT_ERROR_TRACE("not written");
  EXPECT_EQ(ReadFile(target), "");
  EXPECT_TRUE(S_ISLNK(StatOf(link).st_mode));

  unlink(link.c_str());
  unlink(target.c_str());
  unlink(file.c_str());
  rmdir(dir);
}

TEST(TraceDeathTest, EnvironmentFileThatIsALinkIsRefusedOnStderr) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  char dir[] = "/tmp/qmxtracelinkXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string target = std::string(dir) + "/target.log";
  const std::string link = std::string(dir) + "/link.log";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EXIT(
      {
        setenv("QMX_TRACE", link.c_str(), 1);
        RT_ERROR_TRACE("dropped");
        _exit(access(target.c_str(), F_OK) == 0 ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "QMX_TRACE file is a symbolic link");
  unlink(link.c_str());
  rmdir(dir);
}

}  // namespace
