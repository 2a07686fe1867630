// The site of the WinINet transport.
#ifndef QMX_HTTPCLI_SITEWININET_H
#define QMX_HTTPCLI_SITEWININET_H

#include "SiteClient.h"
#include "WininetItem.h"
#include "wininet.h"

// The WinINet proxy list for a proxy kind (1 HTTP, 2 HTTPS, 3 and 4 SOCKS,
// anything else bare), address and port, e.g. "HTTP=HTTP://proxyhost:8080".
CRtString BuildProxyList(DWORD aProxyType, const CRtString& aAddress, unsigned short aPort);

// How far proxy authentication has come on a site. The numbers are fixed:
// GetProxyAuthState reports them.
enum ProxyAuthState {
  // No challenge answered yet, or the last answer did not get through: a
  // request through the proxy goes without its body until one does.
  PROXY_AUTH_NONE = 0,
  // A challenge of a synchronous request was answered and the request sent
  // again; its next status tells whether the answer worked.
  PROXY_AUTH_ANSWERED = 1,
  // A reply that was no challenge came after an answer: the proxy takes
  // this site's requests, bodies included.
  PROXY_AUTH_PASSED = 2,
};

// Every site CHttpClient hands out. The URL is cracked once at construction;
// requests are issued asynchronously (replies through the sink, on the owner
// thread, after WinINet's reports are carried there) or synchronously
// (RequestSync blocks the owner thread for the whole exchange). Answers
// 401/407 challenges with the proxy credentials or the credential prompt,
// within one retry budget for the whole process.
// The proxy list and bypass list every later site opens with (an empty list:
// the system's settings), as the host set them.
void SetHostProxy(const CRtString& aList, const CRtString& aBypass);

class CSiteWininet : public CSiteClient {
 public:
  explicit CSiteWininet(const CRtString& aUrl);
  ~CSiteWininet() override;

  int Request(DWORD* phRequest, const CRtString& aObjectName, CRtString aHttpVerb, CRtString aHeaders,
              const char* aOptional, DWORD aOptLength) override;
  int RequestSync(CRtString& aResponse, const CRtString& aObjectName, CRtString aHttpVerb, CRtString aHeaders,
                  const char* aOptional, DWORD aOptLength) override;
  int RequestSyncTo(ISiteBodySink* aBody, DWORD* pHttpStatus, const CRtString& aObjectName,
                    CRtString aHttpVerb) override;
  int RequestTo(DWORD* phRequest, ISiteBodySink* aBody, const CRtString& aObjectName, CRtString aHttpVerb) override;
  // Checks the reply's status, answers a challenge, then reads the body.
  int OnRequestComplete(int aResult, CRequestItem* aRequest) override;

  BOOL IsHttps() const { return m_bHttps; }
  const CRtString& GetHost() const { return m_host; }
  INTERNET_PORT GetPort() const { return m_port; }
  const CRtString& GetUrlPath() const { return m_urlPath; }
  int GetProxyAuthState() const { return m_proxyAuthState; }

  // The challenges the process may still answer (401 and 407 together).
  static int GetProxyRetries();

  static const DWORD kFlagsHttp = 0x84480000;
  // With the certificate checks relaxed (the host's explicit choice):
  // forgives a wrong host name and bad dates, and in the security flags an
  // unknown issuer, revocation and redirects between HTTPS and HTTP.
  static const DWORD kFlagsHttps = 0x84C83000;
  static const DWORD kSecurityFlagsAdded = 0xF180;
  // By default: nothing of the certificate is forgiven, and only a redirect
  // from HTTP up to HTTPS goes through.
  static const DWORD kFlagsHttpsStrict = 0x84C80000;
  static const DWORD kSecurityFlagsStrict = 0x4000;
  static const DWORD kSyncTimeoutMs = 6000;
  // The most a join or invitation reply may hold; a longer one fails the
  // request. The XML reader takes no more either.
  static constexpr size_t kMaxReplyBytes = 16u << 20;
  // The read block of synchronous requests.
  static constexpr DWORD kSyncReadBlock = 64u << 10;
  // An asynchronous read into a body receiver hands the host's thread back
  // after this many bytes, so that its other work runs between the pieces
  // of a long download.
  static constexpr size_t kAsyncBodySlice = 1u << 20;

 protected:
  // Builds a request item with the site's mode, login and proxy, and records it.
  CWininetItem* CreateRequest(const CRtString& aObjectName, CRtString aHttpVerb, CRtString aHeaders,
                              const char* aOptional, DWORD aOptLength);
  // Opens what the item lacks and sends it.
  int Request(CRequestItem* aRequest) override;
  int InternetRead_sync(CWininetItem* aRequest);
  int InternetRead_async(CWininetItem* aRequest);
  // Hands the host's thread back in the middle of a long body: posts the
  // report that resumes the read. False when it could not be posted.
  bool YieldRead(CWininetItem* aRequest);
  // Makes room in the reply text for the length the reply announces (at
  // most kMaxReplyBytes), so that its pieces are appended without moving it.
  void ReserveReply(CWininetItem* aRequest);

  BOOL m_bHttps;
  CRtString m_host;
  INTERNET_PORT m_port;
  CRtString m_urlPath;
  ProxyAuthState m_proxyAuthState;

 private:
  // The steps of handling a request's completion, one Do-function each;
  // DoCompletionLoop runs them until one ends the request or hands it to
  // the transport.
  enum CompletionState {
    STATE_NONE,
    // Read the reply's status code; a challenge goes to STATE_ANSWER_CHALLENGE,
    // anything else (or a failed query) to STATE_READ.
    STATE_QUERY_STATUS,
    // Spend one of the process's challenge answers: the proxy credentials
    // or the credential prompt. Given up, the challenge page is the reply.
    STATE_ANSWER_CHALLENGE,
    // Send the request again: opened anew (asynchronous), or on the same
    // handle followed by STATE_QUERY_STATUS (synchronous).
    STATE_RESEND,
    // Read the body.
    STATE_READ,
  };
  int DoCompletionLoop(CWininetItem* aRequest, CompletionState aState);
  int DoQueryStatus(CWininetItem* aRequest, CompletionState& aNext);
  int DoAnswerChallenge(CWininetItem* aRequest, CompletionState& aNext);
  int DoResend(CWininetItem* aRequest, CompletionState& aNext);
  int DoRead(CWininetItem* aRequest, CompletionState& aNext);
  // Ends an asynchronous read with aResult: closes the reply's record,
  // marks the request done, tells the sink of a success and drops the
  // request from the pending table (which tells it of a failure).
  int EndAsyncRead(CWininetItem* aRequest, int aResult);
  // Remembers what ended the request, for the host's diagnosis.
  void Diagnose(CWininetItem* aRequest, DWORD aInternetError);
  // Reads the status code into dwCode; false when the query failed.
  bool QueryStatusCode(CWininetItem* aRequest, DWORD& dwCode, DWORD& dwSize);
};

#endif
