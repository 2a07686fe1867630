// A site: the server of one URL with the login, proxy and mode its requests
// use, the table of pending asynchronous requests, the sink that receives
// their results, a record file of its traffic and the time-out sweep.
#ifndef QMX_HTTPCLI_SITECLIENT_H
#define QMX_HTTPCLI_SITECLIENT_H

#include <list>
#include <unordered_map>

#include "RequestItem.h"
#include "ResponseRecord.h"
#include "qmxframework.h"
#include "windows.h"

enum SiteOption {
  SiteOptionSync = 0,      // value: 32-bit int, non-zero makes the site synchronous
  SiteOptionUseProxy = 1,  // value: 32-bit int, non-zero sends through the proxy
};

// Receives the results of a site's asynchronous requests, on the owner
// thread, at most once per request.
class ISiteClientSink {
 public:
  virtual int OnRequest(DWORD hRequest, int aResult, CRtString& aContent) = 0;

 protected:
  virtual ~ISiteClientSink() {}
};

// Takes the body of a synchronous request piece by piece as it arrives,
// instead of the reply text, so that a download of any size needs one read
// block of memory.
class ISiteBodySink {
 public:
  // A piece of the body, in order; false stops the transfer and the request
  // fails.
  virtual bool OnBody(const char* aData, DWORD aLength) = 0;
  // The length the reply announces, -1 when it announces none; told once,
  // before the first piece, to the receiver of an asynchronous request.
  virtual void OnBodyLength(long long /*aLength*/) {}

 protected:
  virtual ~ISiteBodySink() {}
};

// The site as callers see it. Obtained from CHttpClient::InitSite with one
// reference that the caller releases. Every call is made on the owner thread.
class ISiteClient : public IReferenceControl {
 public:
  // Sets the receiver of asynchronous results (null detaches).
  virtual int OpenWith(ISiteClientSink* pSink) = 0;
  // Asynchronous request; on 0, *hRequest is the key its result comes under.
  // An empty aObjectName requests the path of the site's URL.
  virtual int Request(DWORD* hRequest, const CRtString& aObjectName, CRtString aHttpVerb, CRtString aHeaders,
                      const char* aOptional, DWORD aOptLength) = 0;
  // Forgets a pending request without telling the sink.
  virtual void Cancel(DWORD hRequest) = 0;
  // Synchronous request (site in synchronous mode); aResponse gets the reply.
  virtual int RequestSync(CRtString& aResponse, const CRtString& aObjectName, CRtString aHttpVerb, CRtString aHeaders,
                          const char* aOptional, DWORD aOptLength) = 0;
  // Synchronous GET-like request whose body goes to aBody as it arrives;
  // *pHttpStatus (when given) gets the reply's status, 0 without a reply.
  virtual int RequestSyncTo(ISiteBodySink* aBody, DWORD* pHttpStatus, const CRtString& aObjectName,
                            CRtString aHttpVerb) = 0;
  // Asynchronous GET-like request whose body goes to aBody as it arrives,
  // with the download limits (the short connect limit, the stall limit);
  // its result comes to the sink as Request's does, with an empty text.
  virtual int RequestTo(DWORD* hRequest, ISiteBodySink* aBody, const CRtString& aObjectName, CRtString aHttpVerb) = 0;
  // Stores the proxy (aType 1 HTTP, 2 HTTPS, 3 and 4 SOCKS); does not switch
  // it on: SetOption(SiteOptionUseProxy) does.
  virtual int SetProxy(CRtString aName, CRtString aPassword, CRtString aUrl, unsigned short aPort, DWORD aType) = 0;
  // One synchronous GET of the site's URL through the proxy.
  virtual int TestProxy() = 0;
  // aValue points to a 32-bit int. QMX_ERR_BAD_OPTION for an unknown option.
  virtual int SetOption(SiteOption aOption, void* aValue) = 0;
};

// What every site shares; the transport derives from it and supplies the
// request operations and the completion handler. Lives while anybody holds a
// reference (the client's list, each caller, a status event while it runs).
// Everything runs on the owner thread; only reference counts are atomic.
class CSiteClient : public CReferenceControl, public CRtTimerWrapperSink, public ISiteClient {
 public:
  CSiteClient();
  ~CSiteClient() override;

  uint32_t AddReference() override { return CReferenceControl::AddReference(); }
  uint32_t ReleaseReference() override { return CReferenceControl::ReleaseReference(); }

  // Removes a pending request; with bNotify the sink hears QMX_ERR_REQUEST_FAILED unless it
  // already had the request's result.
  virtual void Cancel_i(DWORD hRequest, bool bNotify);
  // Handles a completion report of the transport for a pending request.
  virtual int OnRequestComplete(int aResult, CRequestItem* aRequest) = 0;

  // ISiteClient
  int OpenWith(ISiteClientSink* pSink) override;
  void Cancel(DWORD hRequest) override;
  int SetProxy(CRtString aName, CRtString aPassword, CRtString aUrl, unsigned short aPort, DWORD aType) override;
  int TestProxy() override;
  int SetOption(SiteOption aOption, void* aValue) override;

  // The login given to every request made afterwards.
  void SetLogin(const CRtString& userName, const CRtString& password);
  // Gives the sink a request's result, at most once, and only for an
  // asynchronous request.
  void NotifySink(CRequestItem* aRequest, int aResult);

  // The time-out sweep: every 20 s while requests are pending, cancels the
  // first request idle for more than 120000 ms, telling the sink QMX_ERR_REQUEST_FAILED.
  void OnTimer(CRtTimerWrapper* aId) override;

  // Read-only views for the owner of the site and for tests.
  BOOL IsAsync() const { return m_bAsync; }
  BOOL IsUseProxy() const { return m_bUseProxy; }
  size_t GetPendingCount() const { return m_requests.size(); }
  bool IsTimerScheduled() const { return m_timer.IsScheduled(); }
  // The pending request with this key, without a reference; null if none.
  CRequestItem* FindPending(DWORD hRequest) const;

  static const DWORD kSweepIntervalSec = 20;
  static const DWORD kRequestTimeoutMs = 120000;

 protected:
  // Issues a prepared request.
  virtual int Request(CRequestItem* aRequest) = 0;
  using ISiteClient::Request;
  // Puts a sent asynchronous request into the table and starts the sweep.
  void AddPending(CRequestItem* aRequest);

  // The pending table: requests in the order they were sent (the sweep
  // takes the first idle one), each holding the table's reference, and an
  // index by key for the lookups every status report makes.
  typedef std::list<CRequestItem*> PendingList;
  PendingList m_requests;
  std::unordered_map<DWORD, PendingList::iterator> m_pendingByKey;

  ISiteClientSink* m_pSink;
  CRtString m_proxyUserName;
  CRtString m_proxyPassword;
  CRtString m_proxyAddress;
  unsigned short m_proxyPort;
  DWORD m_proxyType;
  BOOL m_bUseProxy;
  BOOL m_bAsync;
  CRtString m_userName;
  CRtString m_password;
  CRtTimerWrapper m_timer;
  CResponseRecord* m_pRecord;

 private:
  CSiteClient(const CSiteClient&) = delete;
  CSiteClient& operator=(const CSiteClient&) = delete;
};

#endif
