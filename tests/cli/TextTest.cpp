// The texts confweba prints: server texts escaped for the terminal, and the
// transport's causes of a failure.
#include <errno.h>
#include <string.h>

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "ErrorText.h"
#include "Printable.h"

namespace {

using confweba::CauseText;
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
      {"caf\xc3\xa9 \xc2\xa0nbsp", "caf\xc3\xa9 \xc2\xa0nbsp"},  // other UTF-8 stays
      {"cut\xc2", "cut\xc2"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.out, Printable(c.in)) << c.in;
}

TEST(CauseText, OneTextPerKnownCause) {
  const struct {
    unsigned internetError, httpStatus;
    int systemError;
    std::string text;
  } cases[] = {
      {0, 200, 0, ""},
      {0, 0, 0, ""},
      {0, 302, 0, ""},
      {12029, 0, 0, "connection refused"},
      {12007, 0, 0, "host not found"},
      {12002, 0, 0, "timed out"},
      {12037, 0, 0, "certificate rejected: expired or not yet valid"},
      {12038, 0, 0, "certificate rejected: wrong host name"},
      {12045, 0, 0, "certificate rejected: unknown issuer"},
      {12170, 0, 0, "certificate rejected: revoked"},
      {12175, 0, 0, "certificate rejected"},
      {12157, 0, 0, "TLS failure"},
      {12040, 0, 0, "redirect from HTTPS to HTTP refused"},
      {12152, 0, 0, "invalid reply from the server"},
      {12030, 200, 0, "connection lost"},
      {12999, 0, 0, "WinINet error 12999"},
      {0, 404, 0, "HTTP status 404"},
      {0, 200, ENOSPC, "disk full"},
      {0, 200, EACCES, strerror(EACCES)},
  };
  for (const auto& c : cases) {
    QmxConfWebaDiagnosis d = {c.internetError, c.httpStatus, c.systemError};
    EXPECT_EQ(c.text, CauseText(d)) << c.internetError << " " << c.httpStatus << " " << c.systemError;
  }
}

TEST(ErrorText, OneTextPerReturnedCode) {
  const std::pair<int, const char*> cases[] = {
      {0, ""},
      {4002, "the reply is not the site's XML"},
      {4003, "the site sent an empty reply"},
      {4010, "the site refused the request, or sent no file"},
      {4011, "the file could not be written"},
      {4020, "conference not found"},
      {4021, "wrong conference password"},
      {4022, "the conference has not started"},
      {4023, "the conference has ended"},
      {4024, "the conference is locked"},
      {4025, "no such account at the site"},
      {4026, "wrong account password"},
      {5001, "the file could not be written"},
      {10001, "the transfer failed (connection or read error)"},
      {10002, "no connection to the site"},
      {10004, "unknown site option"},
      {10005, "the transport ended without a result"},
      {10006, "the request failed or timed out"},
      {10007, "out of memory"},
      {10008, "invalid argument"},
      {10009, "the connection was lost"},
      {10011, "site not found"},
      {10013, "a read is still pending"},
      {10015, "wrong state (no event queue, or the transport failed)"},
      // Nothing returns these.
      {4001, "unexpected error"},
      {10003, "unexpected error"},
      {10010, "unexpected error"},
      {10012, "unexpected error"},
      {10014, "unexpected error"},
      {-1, "unexpected error"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, confweba::ErrorText(c.first)) << c.first;
}

}  // namespace
