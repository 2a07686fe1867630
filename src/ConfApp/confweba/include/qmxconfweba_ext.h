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

#ifdef __cplusplus
}
#endif

#endif
