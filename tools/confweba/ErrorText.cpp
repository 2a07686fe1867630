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
  switch (result) {
    case 0: return "";
    // Replies.
    case 4002: return "the reply is not the site's XML";
    case 4003: return "the site sent an empty reply";
    case 4010: return "the site refused the request, or sent no file";
    case 4011: return "the file could not be written";
    // The site's refusals of a join or an invitation.
    case 4020: return "conference not found";
    case 4021: return "wrong conference password";
    case 4022: return "the conference has not started";
    case 4023: return "the conference has ended";
    case 4024: return "the conference is locked";
    case 4025: return "no such account at the site";
    case 4026: return "wrong account password";
    // The HTTP client and its transport.
    case 10001: return "the transfer failed (connection or read error)";
    case 10002: return "no connection to the site";
    case 10003: return "transport error";
    case 10004: return "unknown site option";
    case 10005: return "the transport ended without a result";
    case 10006: return "the request failed or timed out";
    case 10007: return "out of memory";
    case 10008: return "invalid argument";
    case 10009: return "the connection was lost";
    case 10010: return "transport error";
    case 10011: return "site not found";
    case 10012: return "transport error";
    case 10013: return "a read is still pending";
    case 10014: return "transport error";
    case 10015: return "wrong state (no event queue, or the transport failed)";
    // The host's own check.
    case kResultFileNotWritten: return "the file could not be written";
    default: return "unexpected error";
  }
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
