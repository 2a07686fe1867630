// The texts confweba prints: server texts escaped for the terminal, the
// causes of a failure, and the progress line's format.
#include <errno.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "ErrorText.h"
#include "Printable.h"
#include "ProgressBar.h"

namespace {

using confweba::FormatDuration;
using confweba::FormatProgress;
using confweba::Printable;

TEST(Printable, EscapesControlsAndKeepsTheRest) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain text, C:\\path & more", "plain text, C:\\path & more"},
      {"a\x1b[2Jb", "a\\x1b[2Jb"},
      {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
      {"line\r\nnext\ttab", "line\\r\\nnext\\ttab"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"del\x7f", "del\\x7f"},
      {"csi\xc2\x9b"
       "31m",
       "csi\\u009b31m"},                                         // U+009B in UTF-8
      {"c1 \xc2\x80\xc2\x9f", "c1 \\u0080\\u009f"},              // the ends of the C1 range
      {"caf\xc3\xa9 \xc2\xa0nbsp", "caf\xc3\xa9 \xc2\xa0nbsp"},  // other UTF-8 stays
      {"cut\xc2", "cut\xc2"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, Printable(c.in)) << c.in;
}

// Which of the transport's facts names the cause: a system error first, then
// the WinINet error, then an HTTP status of 400 or more.
TEST(CauseText, PicksTheCause) {
  const struct {
    unsigned internetError, httpStatus;
    int systemError;
    std::string text;
  } cases[] = {
      {0, 200, 0, ""},
      {0, 399, 0, ""},
      {0, 400, 0, "HTTP status 400"},
      {12029, 404, 0, "connection refused"},
      {12045, 0, 0, "certificate rejected: unknown issuer"},
      {12999, 0, 0, "WinINet error 12999"},
      {12029, 0, ENOSPC, "disk full"},
      {12029, 500, EACCES, strerror(EACCES)},
  };
  for (const auto& c : cases) {
    QmxConfWebaDiagnosis d = {c.internetError, c.httpStatus, c.systemError};
    EXPECT_EQ(c.text, confweba::CauseText(d)) << c.internetError << " " << c.httpStatus << " " << c.systemError;
  }
}

TEST(ProgressFormat, KnownAndUnknownLengths) {
  // Half of 2 KiB in one second: 1 KiB/s, one second left; the bar half full.
  const std::string line = FormatProgress(1024, 2048, 1.0, 80);
  EXPECT_EQ(0u, line.find(" 50% [")) << line;
  EXPECT_NE(std::string::npos, line.find("] 1.0 KiB / 2.0 KiB  1.0 KiB/s  0:01 left")) << line;
  EXPECT_EQ(80u, line.size()) << line;
  EXPECT_EQ((line.find(']') - line.find('[') - 1) / 2, line.find_last_of('=') - line.find('[')) << line;
  EXPECT_EQ(0u, FormatProgress(5000, 4000, 1.0, 80).find("100% ["));       // never more than all
  EXPECT_EQ("3.0 MiB  1.5 MiB/s", FormatProgress(3u << 20, -1, 2.0, 80));  // no length: size and rate
  EXPECT_EQ("0 B  --/s", FormatProgress(0, 0, 0.0, 80));                   // no time yet: no rate
  EXPECT_EQ("1:02:03", FormatDuration(3723));
}

}  // namespace
