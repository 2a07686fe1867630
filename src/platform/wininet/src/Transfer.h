// One send as the worker runs it: the libcurl easy handle, the route and
// its cap, and where the reply stands (Hop). Worker thread only; owned by
// the engine's transfer map (MultiLoop.cpp), one per request at most.
#ifndef QMX_WININET_TRANSFER_H
#define QMX_WININET_TRANSFER_H

#include <curl/curl.h>

#include <string>
#include <vector>

#include "Handles.h"

namespace qmxinet {

// Where the reply of a transfer stands, between the status lines and
// header blocks libcurl hands over. Only kFinal and kFinalFromProxy are
// published to the request.
enum class Hop {
  kWaiting,         // nothing received yet: the next status line means the request went out
  kHeaders,         // inside a header block (status line seen, blank line not yet)
  kInterim,         // a 1xx block, or the proxy's 2xx to CONNECT: another block follows
  kAuthRetry,       // a 401/407 libcurl may answer with credentials: final unless it does
  kRedirect,        // a 3xx libcurl will follow: final unless it does; the next block is a new request
  kFinal,           // the final reply, published
  kFinalFromProxy,  // published, and it is the proxy's refusal of CONNECT (no TLS with the server)
};

struct Transfer {
  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  // Frees what the transfer still owns (an easy handle not handed on).
  ~Transfer();

  bool Published() const { return m_hop == Hop::kFinal || m_hop == Hop::kFinalFromProxy; }
  // A reply that is the final one unless libcurl follows it up.
  bool Candidate() const { return m_hop == Hop::kAuthRetry || m_hop == Hop::kRedirect; }
  // A status line begins a new header block.
  void BeginBlock(std::string line);
  // One header line of the current block (a folded line continues the last).
  void AddHeaderLine(std::string line);
  // The server sent something (or is not to blame for silence).
  void Touch(Millis now) { m_lastActivity = now; }
  // When the receive limit falls due, or kNever.
  Millis ReceiveDeadline() const {
    return (m_receiveTimeout == kInfinite || m_receiveTimeout == 0) ? kNever : m_lastActivity + m_receiveTimeout;
  }

  RequestPtr m_req;
  uint64_t m_gen = 0;
  CURL* m_easy = nullptr;
  curl_slist* m_headerList = nullptr;
  std::string m_url, m_postData, m_routeKey, m_connectHost;
  DWORD m_routeCap = 6;
  bool m_admitted = false;
  bool m_https = false;
  bool m_follow = true;
  // https through an HTTP proxy: the proxy's reply to CONNECT comes first.
  bool m_tunnelPending = false;
  bool m_relaxed = false;  // https with some certificate errors forgiven
  bool m_cookies = false;  // the cookie engine was on (no INTERNET_FLAG_NO_COOKIES)
  // Ended well with no system error recorded, so its easy handle can serve
  // again: curl_easy_reset keeps the last system error, which the error
  // mapping of a later transfer would read.
  bool m_reusable = false;
  DWORD m_errorMask = 0;
  // Set by a callback that stops the transfer itself (it returns an error to
  // libcurl): the request fails with this rather than libcurl's code.
  DWORD m_abortError = 0;
  // INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP or its security flag: an https
  // reply may send the request on to a plain http URL.
  bool m_allowHttpsToHttp = false;

  // Authentication offered to libcurl.
  bool m_serverCreds = false, m_proxyCreds = false;
  Credentials m_serverUsed, m_proxyUsed;
  std::string m_serverKey, m_proxyKey, m_serverScheme, m_proxyScheme;

  // The reply.
  Hop m_hop = Hop::kWaiting;
  DWORD m_code = 0;
  std::string m_versionText, m_statusText;
  std::vector<std::string> m_raw;
  std::vector<ResponseHeader> m_hdrs;
  size_t m_headerBytes = 0;
  bool m_socketOpened = false;
  std::string m_peerIp;

  DWORD m_receiveTimeout = kInfinite;
  Millis m_lastActivity = NowMs();
  // QMX_INTERNET_OPTION_TOTAL_TIMEOUT: the transfer ends here at the latest.
  Millis m_totalDeadline = kNever;

  // Progress of the final reply's body, for the progress observer.
  bool m_headRequest = false, m_decoding = false;
  uint64_t m_bodyReceived = 0;
  int64_t m_bodyExpected = -1;
  bool m_progressReported = false;
};

// ---------------------------------------------------------------------------
// Worker-side functions of the parts (worker thread).

// ReplyHeaders.cpp: libcurl's header callback; the publication of the final
// reply (fromProxy: the proxy refused the tunnel).
size_t HeaderCallback(char* data, size_t size, size_t count, void* ud);
void PublishReply(Transfer* t, bool fromProxy = false);
// BodySink.cpp: libcurl's write callback; the end of a transfer as the
// request sees it; the progress observer.
size_t WriteCallback(char* data, size_t size, size_t count, void* ud);
void DeliverEnd(Transfer* t, DWORD err);
void ReportProgress(Transfer* t);
// SocketReports.cpp: status reports of name resolution and connecting.
curl_socket_t OpenSocketCallback(void* ud, curlsocktype, struct curl_sockaddr* addr);
int PrereqCallback(void* ud, char*, char*, int, int);
// Tls.cpp: certificate checks as the security flags ask (throws, as
// MustSet, when libcurl refuses an option).
void ConfigureTls(Transfer* t, DWORD flags, DWORD securityFlags);
// Errors.cpp: libcurl's result as a WinINet error.
DWORD MapCurlError(int code, void* easy, DWORD errorMask, bool aborted);
// A libcurl option that must take: throws (mapped to
// ERROR_INTERNET_INTERNAL_ERROR or ERROR_NOT_ENOUGH_MEMORY) when it does not.
void MustSet(CURLcode rc);

}  // namespace qmxinet

#endif
