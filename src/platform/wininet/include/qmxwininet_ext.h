// Linux-only additions to the WinINet layer: an overall time limit per
// request, the credential prompt that stands in for the logon dialog of
// InternetErrorDlg, the trust anchors used to verify HTTPS servers, and an
// observer of transfer progress.
#ifndef QMX_WININET_QMXWININET_EXT_H
#define QMX_WININET_QMXWININET_EXT_H

#include "wininet.h"

#ifdef __cplusplus
extern "C" {
#endif

// Option (InternetSetOptionA / InternetQueryOptionA, a DWORD of
// milliseconds): the longest one exchange may take, from HttpSendRequestA to
// the last byte of the reply body, whatever the server's pace. 0 (the
// default) and 0xFFFFFFFF set no limit. Settable on a root, connect or request handle (and
// with a null handle, as the default of roots made afterwards); a new handle
// copies its parent's value when it is made, as with the other time-outs,
// and a request uses the value it has when it is sent. When the limit passes
// the transfer is ended and the request fails with ERROR_INTERNET_TIMEOUT
// (12002): the send if its reply had not come yet, else the read that waits
// for the rest of the body (body bytes already received are still handed
// out first). Time spent waiting for a free connection and while the
// transfer is held because nobody reads counts too.
#define QMX_INTERNET_OPTION_TOTAL_TIMEOUT 0x51000001

// What the prompt is asked for. Strings are valid during the call only.
typedef struct {
  DWORD dwStructSize;   // sizeof(QMX_CREDENTIAL_REQUEST)
  BOOL fProxy;          // TRUE: the proxy asked (407); FALSE: the server (401)
  LPCSTR lpszHost;      // server or proxy host name
  INTERNET_PORT nPort;  // its port
  LPCSTR lpszRealm;     // realm from the challenge, "" when none was given
  LPCSTR lpszScheme;    // "Basic", "Digest", "NTLM", ... as challenged; "" if unknown
  LPCSTR lpszUserName;  // name tried last, "" when none
} QMX_CREDENTIAL_REQUEST, *LPQMX_CREDENTIAL_REQUEST;

// Fills lpszUserName/lpszPassword (NUL-terminated, at most cchUserName and
// cchPassword bytes including the NUL) and returns TRUE, or returns FALSE to
// cancel. Runs on the thread that called InternetErrorDlg and blocks it.
typedef BOOL(CALLBACK* QMX_CREDENTIAL_PROMPT)(const QMX_CREDENTIAL_REQUEST* lpRequest, LPSTR lpszUserName,
                                              DWORD cchUserName, LPSTR lpszPassword, DWORD cchPassword,
                                              LPVOID lpUserData);

// Installs the process-wide prompt (NULL removes it) and returns the previous
// one. Without a prompt InternetErrorDlg answers logons with ERROR_CANCELLED.
QMX_WININET_API QMX_CREDENTIAL_PROMPT WINAPI QmxInternetSetCredentialPrompt(QMX_CREDENTIAL_PROMPT lpfnPrompt,
                                                                            LPVOID lpUserData);

// Adds a PEM file of certificates trusted besides the system's store (NULL
// removes it). Applies to requests sent afterwards. Returns FALSE with
// ERROR_FILE_NOT_FOUND if the file cannot be read.
QMX_WININET_API BOOL WINAPI QmxInternetSetTrustedCertificates(LPCSTR lpszPemFile);

// Transfer progress of a request handle's reply body: the bytes received so
// far (as InternetReadFile will hand them out, after any content decoding)
// and the length the reply announced, -1 when it announced none (a chunked
// or close-delimited reply, or a decoded one whose length on the wire says
// nothing of its decoded size) and 0 when the reply has no body (HEAD, 204,
// 304). Counts grow monotonically within one send; the last report of a
// complete reply carries the body's full length, and a reply with an empty
// body is reported once with 0. A new send of the same handle (an
// authentication retry) starts again from 0.
//
// The observer runs on the layer's own transfer thread, while the bytes
// arrive and before the reads that return them complete: it must return
// quickly and must not call into the layer. Nothing of it changes what the
// WinINet calls or the status callback do.
typedef void(CALLBACK* QMX_PROGRESS_OBSERVER)(HINTERNET hRequest, ULONGLONG ullReceived, int64_t llExpected,
                                              LPVOID lpUserData);

// Installs the process-wide observer (NULL removes it) and returns the
// previous one. Once this returns, the previous observer is not called again.
QMX_WININET_API QMX_PROGRESS_OBSERVER WINAPI QmxInternetSetProgressObserver(QMX_PROGRESS_OBSERVER lpfnObserver,
                                                                            LPVOID lpUserData);

#ifdef __cplusplus
}
#endif

#endif
