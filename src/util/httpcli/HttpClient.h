// The process-wide owner of HTTP sites.
#ifndef QMX_HTTPCLI_HTTPCLIENT_H
#define QMX_HTTPCLI_HTTPCLIENT_H

#include <atomic>
#include <vector>

#include "ConfWebaResults.h"
#include "RequestItem.h"
#include "SiteClient.h"
#include "qmxframework.h"
#include "windows.h"

class CSiteWininet;

// Hands out sites by URL and keeps each one (with one reference) until
// CloseSite or CloseAllSites. Binds to the event queue of the thread that
// makes the first site (the owner thread): every transport report is
// carried onto that queue. Created on the first Instance() and never
// destroyed. Everything but PostEvent runs on the owner thread.
class CHttpClient {
 public:
  static CHttpClient* Instance();

  // Creates a site for url; *site gets it with one reference for the caller.
  // QMX_ERR_WRONG_STATUS when the calling thread has no event queue.
  virtual int InitSite(const CRtString& url, const CRtString& userName, const CRtString& password, ISiteClient** site);
  virtual int InitSite(const CRtString& url, ISiteClient** site);
  // Drops the client's reference on site (not the caller's). QMX_ERR_NOT_FOUND if unknown.
  virtual int CloseSite(ISiteClient* site);
  virtual void CloseAllSites();
  // Form encoding: ASCII letters and digits kept, white space to "+", every
  // other byte to %XX. Stops at a zero byte.
  virtual CRtString UrlEncode(CRtString text);
  // English text of a result code; "unexpected error!" for any other code.
  virtual CRtString GetErrorText(int code);
  virtual ~CHttpClient();

  // Binds the client to the calling thread's event queue.
  int InitAsync();
  // Forgets the event queue; the next InitSite binds again.
  void Destory();
  // Posts onto the owner thread's queue; from any thread. On failure the
  // event stays with the caller. PRIORITY_LOW: an event that may wait for
  // the next wake of the owner thread (it still runs in post order).
  int PostEvent(IRtEvent* aEvent, int aPriority = IRtEventQueue::PRIORITY_NORMAL);
  // A pending request of any site by key, without a reference; null if none.
  CRequestItem* FindRequest(DWORD key);

  // For tests and diagnostics.
  size_t GetSiteCount() const { return m_sites.size(); }
  IRtEventQueue* GetEventQueue() const { return m_curEventQueue.load(); }

 protected:
  CHttpClient();

 private:
  CHttpClient(const CHttpClient&) = delete;
  CHttpClient& operator=(const CHttpClient&) = delete;

  std::vector<CSiteWininet*> m_sites;
  BOOL m_bInit;
  // Read by PostEvent on the transport's threads.
  std::atomic<IRtEventQueue*> m_curEventQueue;
  // Set by Destory: reports still arriving are dropped quietly.
  std::atomic<bool> m_bReleased{false};
};

#endif
