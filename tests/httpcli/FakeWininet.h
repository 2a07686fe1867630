// A scripted WinINet for the transport's unit tests. Linked into a test
// program, its definitions take the place of the real layer's. Requests
// never touch the network: each send takes the next scripted reply, reads
// hand out its body, and a test completes an asynchronous send or read by
// calling the status callback the module registered (CompleteAsync).
#ifndef QMX_TESTS_HTTPCLI_FAKEWININET_H
#define QMX_TESTS_HTTPCLI_FAKEWININET_H

#include <deque>
#include <string>
#include <vector>

#include "wininet.h"

namespace fakeinet {

struct Reply {
  DWORD status = 200;
  std::string body;
  bool withLength = true;                // Content-Length announced
  size_t failAfter = std::string::npos;  // reads fail (12030) once this many bytes went out
};

// What one send carried, and what was set up for it on its handles.
struct Send {
  std::string verb, object, host;
  INTERNET_PORT port;
  DWORD requestFlags;     // HttpOpenRequestA flags
  DWORD securityFlags;    // value of INTERNET_OPTION_SECURITY_FLAGS, 0 if never set
  DWORD openAccess;       // InternetOpenA access type
  std::string proxy;      // InternetOpenA proxy list
  std::string proxyUser;  // INTERNET_OPTION_PROXY_USERNAME set before this send
  std::string body;       // the optional data given to HttpSendRequestA
  bool bodyPointerNull;   // lpOptional was null
  DWORD bodyLength;       // dwOptionalLength as given
  DWORD_PTR context;
};

// The script and what the module did with it. Reset() starts afresh; Seen()
// hands out a copy taken under the fake's lock.
struct State {
  std::deque<Reply> replies;  // taken in order, one per send
  std::deque<DWORD> dialog;   // answers of InternetErrorDlg; ERROR_CANCELLED when none is left
  DWORD sendError = 0;        // HttpSendRequestA fails with this error when set
  std::vector<Send> sends;
  size_t dialogs = 0;
  DWORD connectTimeout = 0;  // the last connect time-out set on a root
  size_t openHandles = 0;
};

void Reset();
void PushReply(const Reply& reply);
void PushDialogAnswer(DWORD answer);
void FailSends(DWORD error);
State Seen();

// Runs the registered status callback for the last request handle with
// INTERNET_STATUS_REQUEST_COMPLETE {1, dwError}, as WinINet does on its own
// thread when a send or a pending read finishes. False when no asynchronous
// request is open.
bool CompleteAsync(DWORD dwError = 0);

}  // namespace fakeinet

#endif
