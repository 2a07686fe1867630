#include "ErrorText.h"

namespace confweba {

std::string ErrorText(int result) {
  switch (result) {
    case 0: return "";
    // Replies.
    case 4002: return "the reply is not the site's XML";
    case 4003: return "the site sent an empty reply";
    case 4010: return "the site refused the request, or sent no file";
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

}  // namespace confweba
