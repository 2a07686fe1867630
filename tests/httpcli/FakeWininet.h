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
  size_t filler = 0;                     // with no body: this many 'x' bytes, made as they are read
  bool withLength = true;                // Content-Length announced
  size_t failAfter = std::string::npos;  // reads fail (12030) once this many bytes went out
};

struct Send {
  std::string verb;
  std::string object;
  std::string body;      // the optional data given to HttpSendRequestA
  bool bodyPointerNull;  // lpOptional was null
  DWORD bodyLength;      // dwOptionalLength as given
  DWORD requestFlags;    // HttpOpenRequestA flags
  DWORD securityFlags;   // value of INTERNET_OPTION_SECURITY_FLAGS, 0 if never set
  DWORD openAccess;      // InternetOpenA access type
  std::string proxy;     // InternetOpenA proxy list
  std::string host;
  INTERNET_PORT port;
  std::string proxyUser;  // INTERNET_OPTION_PROXY_USERNAME set before this send
  DWORD_PTR context;
};

// Resets everything; replies are taken in order, one per send.
void Reset();
void PushReply(const Reply& reply);
// Answers of InternetErrorDlg, in order; ERROR_CANCELLED when none is left.
void PushDialogAnswer(DWORD answer);
// Makes a call fail with the given error: "InternetOpenA", "InternetConnectA",
// "HttpOpenRequestA", "HttpSendRequestA".
void FailCall(const std::string& name, DWORD error);

std::vector<Send> Sends();
size_t DialogCount();
// Handles closed, in order, as the names "request", "connect", "root".
std::vector<std::string> Closed();
// The last process-wide connect time-out set with a null handle (0 if none).
DWORD DefaultConnectTimeout();

// Runs the registered status callback for the last request handle with
// INTERNET_STATUS_REQUEST_COMPLETE {1, dwError}, as WinINet does on its own
// thread when a send or a pending read finishes. False when no asynchronous
// request is open.
bool CompleteAsync(DWORD dwError = 0);
// Open handles of any kind.
size_t OpenHandles();

}  // namespace fakeinet

#endif
