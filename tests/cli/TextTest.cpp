// The texts confweba prints: server texts escaped for the terminal and the
// causes of a failure.
#include <errno.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "ErrorText.h"
#include "Printable.h"

namespace {

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

}  // namespace
