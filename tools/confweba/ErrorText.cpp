#include "ErrorText.h"

#include <errno.h>
#include <string.h>

namespace confweba {

namespace {

// The WinINet errors that end a transfer, as the user is told them.
struct InternetCause {
  unsigned int error;
  const char* text;
};

const InternetCause kInternetCauses[] = {
    {12002, "timed out"},
    {12007, "host not found"},
    {12029, "connection refused"},
    {12030, "connection lost"},
    {12031, "connection lost"},
    {12037, "certificate rejected: expired or not yet valid"},
    {12038, "certificate rejected: wrong host name"},
    {12040, "redirect from HTTPS to HTTP refused"},
    {12044, "certificate rejected"},
    {12045, "certificate rejected: unknown issuer"},
    {12055, "certificate rejected"},
    {12057, "certificate rejected"},
    {12152, "invalid reply from the server"},
    {12157, "TLS failure"},
    {12169, "certificate rejected"},
    {12170, "certificate rejected: revoked"},
    {12175, "certificate rejected"},
    {12179, "certificate rejected"},
};

std::string InternetErrorText(unsigned int error) {
  for (const InternetCause& c : kInternetCauses) {
    if (c.error == error) return c.text;
  }
  return "WinINet error " + std::to_string(error);
}

}  // namespace

std::string ErrorText(int result) {
  struct ResultText {
    int code;
    const char* text;
  };
  static const ResultText kTexts[] = {
#define QMX_RESULT(name, value, clientText, hostText) {value, hostText},
#include "ConfWebaResultList.h"
#undef QMX_RESULT
  };
  for (const ResultText& t : kTexts) {
    if (t.code == result && t.text) return t.text;
  }
  return "unexpected error";
}

std::string CauseText(const QmxConfWebaDiagnosis& d) {
  if (d.systemError == ENOSPC) return "disk full";
  if (d.systemError != 0) return strerror(d.systemError);
  if (d.internetError != 0) return InternetErrorText(d.internetError);
  if (d.httpStatus >= 400) return "HTTP status " + std::to_string(d.httpStatus);
  return "";
}

std::string LastCause() {
  QmxConfWebaDiagnosis d = {};
  QmxConfWebaGetLastDiagnosis(&d);
  return CauseText(d);
}

}  // namespace confweba
