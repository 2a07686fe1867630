// Process-wide settings and diagnostics of the conference module that a
// Linux host may use besides IConfWeba. None of them is needed: a host that
// never calls them gets checked certificates, the default time limits and no
// overall limit. Plain C types only, so that the header brings nothing of
// the platform onto the host's include path.
//
// Settings apply to requests sent after the call; call them from the thread
// that drives the module.
#ifndef QMX_CONFWEBA_EXT_H
#define QMX_CONFWEBA_EXT_H

#ifndef QMX_CONFWEBA_API
#define QMX_CONFWEBA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// HTTPS certificates are checked by default: an unknown issuer, a name that
// does not match the host, a certificate out of its dates, and a redirect
// from HTTPS to plain HTTP all fail the request. relaxed != 0 forgives all of
// these again for every later request of the process (the behaviour of the
// original Windows module); use it only against a test site.
QMX_CONFWEBA_API void QmxConfWebaSetRelaxedTls(int relaxed);
QMX_CONFWEBA_API int QmxConfWebaGetRelaxedTls(void);

// Adds a PEM file of certificate authorities trusted besides the system's
// (null removes it). 0, or -1 when the file cannot be read.
QMX_CONFWEBA_API int QmxConfWebaSetTrustedCertificates(const char* pemFile);

// The proxy of every later request of the process. proxy NULL or "": the
// system's settings again (the desktop's, then http_proxy, https_proxy,
// all_proxy and no_proxy). Otherwise "host", "host:port", "http://host:port"
// or "socks5://host:port" (also socks, socks4, socks4a, socks5h); the port
// defaults to 1080. No credentials in the address: a proxy that asks for
// them gets them from the credential prompt. noProxy (NULL or "": none) is a
// comma-separated list of hosts reached directly: "example.com" (the host and
// every name under it), ".example.com" (the same), "10.0.0.0/8" (IPv4
// networks of 8, 16, 24 or 32 bits), "*" (every host). 0, or QMX_ERR_INVALID_ARG
// for a malformed value, which changes nothing.
QMX_CONFWEBA_API int QmxConfWebaSetProxy(const char* proxy, const char* noProxy);

// What a server (401) or a proxy (407) asks credentials for. The strings are
// valid during the call only.
typedef struct QmxConfWebaCredentialRequest {
  int proxy;             // 1: the proxy asked; 0: the server
  const char* host;      // the server's or the proxy's host name
  unsigned short port;   // its port
  const char* realm;     // the challenge's realm, "" when none
  const char* scheme;    // "Basic", "Digest", "NTLM", ...; "" when unknown
  const char* lastUser;  // the name tried last, "" when none
} QmxConfWebaCredentialRequest;

// Fills user and password (NUL-terminated, at most userSize and
// passwordSize bytes with the NUL) and returns 1 to try again with them, or
// returns 0 to give up (the request then fails). Runs on the
// thread that drives the module, which it blocks while it runs.
typedef int (*QmxConfWebaCredentialPrompt)(void* context, const QmxConfWebaCredentialRequest* request, char* user,
                                           unsigned int userSize, char* password, unsigned int passwordSize);

// Installs the process-wide prompt (NULL removes it: challenges are then
// given up). Credentials that worked are remembered per host and port for
// the rest of the process, so the prompt is asked once per server or proxy.
QMX_CONFWEBA_API void QmxConfWebaSetCredentialPrompt(QmxConfWebaCredentialPrompt prompt, void* context);

// The folder of the traffic records. NULL: the default rules
// ($QMX_RECORD_DIR when set, "" there turning recording off, else
// $XDG_STATE_HOME/qmxconfweba/, else ~/.local/state/qmxconfweba/); "": no
// records; otherwise that folder (made 0700 when missing). Applies to the
// sites and module instances made after the call.
QMX_CONFWEBA_API void QmxConfWebaSetRecordDir(const char* dir);

// Time limits in milliseconds; 0 leaves the default in force.
typedef struct QmxConfWebaTimeouts {
  // Connecting to the server. Default: 6000 for downloads, the transport's
  // own 60000 for joins and invitations.
  unsigned int connectMs;
  // A download that receives no byte for this long gives up. Default 30000.
  unsigned int stallMs;
  // Any request, from sending until its reply is whole. Default: none.
  unsigned int totalMs;
} QmxConfWebaTimeouts;

QMX_CONFWEBA_API void QmxConfWebaSetTimeouts(const QmxConfWebaTimeouts* timeouts);
QMX_CONFWEBA_API void QmxConfWebaGetTimeouts(QmxConfWebaTimeouts* timeouts);

// Why the last request of the process that finished ended as it did.
typedef struct QmxConfWebaDiagnosis {
  // The WinINet error that ended the transfer (12029 connection refused,
  // 12007 host not found, 12002 timed out, 12175/12045/12037/12038/12057
  // certificate rejected, 12157 TLS failure, ...), 0 when the transfer
  // itself went well.
  unsigned int internetError;
  // The reply's HTTP status, 0 when no reply arrived.
  unsigned int httpStatus;
  // The errno of a local file failure of a download (ENOSPC when the disk
  // was full), 0 when none.
  int systemError;
} QmxConfWebaDiagnosis;

QMX_CONFWEBA_API void QmxConfWebaGetLastDiagnosis(QmxConfWebaDiagnosis* diagnosis);

// How many of the addresses given to the last InviteByEmails went into its
// request (the request has room for a limited number); 0 when none did or
// the call failed before building it.
QMX_CONFWEBA_API int QmxConfWebaLastInviteCount(void);

// The name GetFileFromURL gives a file downloaded from url when the host
// names none: the address's last path segment without its query,
// percent-decoded, or "temp.tmp" when that is empty, "." or "..", starts
// with ".", or holds "/", "\\" or a control character. Copies it with its
// NUL into name (size bytes) and returns its length, or -1 when it does not
// fit.
QMX_CONFWEBA_API int QmxConfWebaFileNameFromUrl(const char* url, char* name, unsigned int size);

// Downloads without blocking the host's thread. A download streams into a
// temporary file beside its target under the rules of GetFileFromURL (the
// name from the address when none is given, only a whole body with a 2xx
// status takes the target's place, the stall limit of the time limits); the
// host hears of it through a sink, always on the thread that drives the
// module and never from inside StartDownload or CancelDownload:
//
// progress  (may be NULL) the body bytes written so far and the length the
//           reply announced (-1 when it announced none). Reports are
//           coalesced (one waits at a time), counts only grow, and a
//           successful download's last report has the whole count.
// complete  exactly once per started download: result 0 with the path of
//           the file, or the result of the failure (QMX_ERR_REFUSED,
//           QMX_ERR_FILE_NOT_WRITTEN, QMX_ERR_CANCELLED) with NULL.
//
// Several downloads may run at once. The framework's shutdown stops the
// downloads still running without a completion.
typedef struct QmxDownloadSink {
  void* context;
  void (*progress)(void* context, unsigned id, long long received, long long total);
  void (*complete)(void* context, unsigned id, int result, const char* path);
} QmxDownloadSink;

// Starts downloading url into folder (made when missing) under name (NULL
// or "": from the address). The sink is copied. Returns the download's id,
// or 0 when it was refused at once (not an http or https address, no plain
// file name, the folder not writable, the request not sent):
// QmxConfWebaGetLastDiagnosis tells more, and no completion follows.
QMX_CONFWEBA_API unsigned QmxConfWebaStartDownload(const char* url, const char* folder, const char* name,
                                                   const QmxDownloadSink* sink);

// Cancels a running download: the transfer stops, the temporary file is
// removed, and its completion follows with QMX_ERR_CANCELLED. 1, or 0 when
// no such download is running (unknown, or its completion already posted).
QMX_CONFWEBA_API int QmxConfWebaCancelDownload(unsigned id);

#ifdef __cplusplus
}
#endif

#endif
