// Trace lines: the recorder, the assertion line, levels, outputs.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
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
      << reinterpret_cast<const void*>(0x10) << " " << static_cast<void*>(nullptr) << RtThis(reinterpret_cast<void*>(0xabc0));
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
  unlink(path);
  std::string tid = std::to_string(static_cast<long>(syscall(SYS_gettid)));
  std::regex form("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} L10 T" + tid + " first 1\n" +
                  "[0-9-]+ [0-9:.]+ L20 T" + tid + " second\n");
  EXPECT_TRUE(std::regex_match(text, form)) << text;
  EXPECT_EQ(CRtTrace::SetOutput("/nonexistent-dir/trace.log"), RT_ERROR_FAILURE);
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
