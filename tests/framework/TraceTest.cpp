// The trace: levels, the bounded line, the assertion line, the private file
// that is never a link, and passwords hidden from every destination.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "RtTraceCapture.h"
#include "qmxframework.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(TraceTest, RecorderAndMacroLinesStopAtTheirBuffer) {
  char buf[16];
  memset(buf, 'X', sizeof buf);
  CRtTrace::CRtLogRecorder rec(buf, 8);
  rec << "abcd" << 123456 << "more";
  EXPECT_STREQ(buf, "abcd123");  // 7 characters and the terminator
  EXPECT_EQ(buf[8], 'X');        // nothing written past the size
  CRtTraceCapture trace;
  RT_INFO_TRACE(std::string(3000, 'x') << "tail");
  ASSERT_EQ(trace.Lines().size(), 1u);
  EXPECT_EQ(trace.Lines()[0].text, std::string(1023, 'x'));
}

int Guarded(int v) {
  RT_ASSERTE_RETURN(v > 0, 10008);
  return 0;
}

int g_formatted = 0;
int Counted(int v) { return ++g_formatted, v; }

TEST(TraceTest, LevelsFilterBeforeFormattingAndAssertionsTraceAtErrorLevel) {
  ASSERT_EQ(CRtTrace::SetOutput(nullptr), RT_OK);
  g_formatted = 0;
  RT_ERROR_TRACE("nowhere to go " << Counted(1));
  EXPECT_EQ(g_formatted, 0);
  {
    CRtTraceCapture trace(RT_TRACE_LEVEL_WARNING);
    RT_INFO_TRACE("info " << Counted(1));
    RT_WARNING_TRACE("warning " << Counted(2));
    RT_ERROR_TRACE("error " << Counted(3));
    EXPECT_EQ(g_formatted, 2);
    EXPECT_EQ(Guarded(-1), 10008);
    EXPECT_EQ(Guarded(1), 0);
    auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].level, RT_TRACE_LEVEL_WARNING);
    EXPECT_EQ(lines[0].text, "warning 2");
    EXPECT_EQ(lines[1].level, RT_TRACE_LEVEL_ERROR);
    EXPECT_EQ(lines[2].level, RT_TRACE_LEVEL_ERROR);
    EXPECT_NE(lines[2].text.find(" Assert failed: v > 0"), std::string::npos) << lines[2].text;
  }
  // The capture's sink is gone again, and with it every destination.
  RT_ERROR_TRACE("off again " << Counted(4));
  EXPECT_EQ(g_formatted, 2);
}

TEST(TraceTest, FileIsPrivateAppendedAndNeverALink) {
  char tmpl[] = "/tmp/qmxtraceXXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, file = dir + "/trace.log", target = dir + "/target.log", link = dir + "/link.log";
  CRtTrace::SetLevel(RT_TRACE_LEVEL_INFO);
  ASSERT_EQ(CRtTrace::SetOutput(file.c_str()), RT_OK);
  RT_WARNING_TRACE("first " << 1);
  ASSERT_EQ(CRtTrace::SetOutput(nullptr), RT_OK);
  RT_INFO_TRACE("not written");
  ASSERT_EQ(CRtTrace::SetOutput(file.c_str()), RT_OK);
  RT_INFO_TRACE("second, password=top");
  ASSERT_EQ(CRtTrace::SetOutput(nullptr), RT_OK);
  const std::string text = ReadFile(file);
  EXPECT_NE(text.find(" L10 T"), std::string::npos) << text;
  EXPECT_EQ(text.find("not written"), std::string::npos) << text;
  EXPECT_LT(text.find(" first 1\n"), text.find(" second, password=***\n")) << text;
  EXPECT_EQ(text.find("top"), std::string::npos) << text;
  struct stat st {};
  ASSERT_EQ(lstat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // A link planted at the name, to nowhere or to a file, is not followed.
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(CRtTrace::SetOutput(link.c_str()), RT_ERROR_FAILURE);
  EXPECT_NE(access(target.c_str(), F_OK), 0);
  std::ofstream(target) << "";
  EXPECT_EQ(CRtTrace::SetOutput(link.c_str()), RT_ERROR_FAILURE);
  RT_ERROR_TRACE("not written");
  EXPECT_EQ(ReadFile(target), "");
  EXPECT_EQ(CRtTrace::SetOutput((file + "/under-a-file.log").c_str()), RT_ERROR_FAILURE);
  CRtTrace::SetOutput(nullptr);
  EXPECT_EQ(0, system(("rm -rf '" + dir + "'").c_str()));
}

// QMX_TRACE and QMX_TRACE_LEVEL are read when the trace is first used, so
// this runs in a fresh process.
TEST(TraceEnvTest, EnvironmentChoosesOutputAndLevel) {
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

// What the output and every sink see of a line that carries passwords.
struct MaskCase {
  std::string line, shown;
};

const MaskCase kMaskCases[] = {
    // URL queries: the value ends at '&' or at the end of the line; empty stays empty.
    {"GET /x?method=JoinMeeting&confPass=%41%42&email=ann%40example",
     "GET /x?method=JoinMeeting&confPass=***&email=ann%40example"},
    {"q?user=&pass=&osName=vista64", "q?user=&pass=&osName=vista64"},
    {std::string(5000, 'x') + " pass=" + std::string(3000, 's') + "&end", std::string(5000, 'x') + " pass=***&end"},
    // Trace labels: a ',' ends the value only where the next label starts.
    {"CSiteClient::SetLogin, userName=bob,password=top,secret", "CSiteClient::SetLogin, userName=bob,password=***"},
    {"SetProxy, aName=n,aPassword=p w,aUrl=u", "SetProxy, aName=n,aPassword=***,aUrl=u"},
    // Any case, key is or ends in pass / password; other keys pass unchanged.
    {"PASSWORD=Zz\tnext=1", "PASSWORD=***\tnext=1"},
    {"ProxyPASS=1\nPass=2\r\nok", "ProxyPASS=***\nPass=***\r\nok"},
    {"passwordHint=h,passes=2,class=A,compassion=x", "passwordHint=h,passes=2,class=A,compassion=x"},
};

// Masking happens once, before any destination: the sink shows it here, the
// file in FileIsPrivateAppendedAndNeverALink.
TEST(TraceMaskTest, PasswordValuesAreHidden) {
  CRtTraceCapture trace(RT_TRACE_LEVEL_INFO);
  for (const MaskCase& c : kMaskCases) {
    CRtTrace::instance()->trace_string(RT_TRACE_LEVEL_WARNING, c.line.c_str());
    ASSERT_FALSE(trace.Lines().empty());
    EXPECT_EQ(c.shown, trace.Lines().back().text) << c.line.substr(0, 80);
  }
  EXPECT_EQ(std::size(kMaskCases), trace.Lines().size());
}

}  // namespace
