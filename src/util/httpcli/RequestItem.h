// One HTTP request from creation until its completion has been delivered.
#ifndef QMX_HTTPCLI_REQUESTITEM_H
#define QMX_HTTPCLI_REQUESTITEM_H

#include "qmxframework.h"
#include "windows.h"

class CSiteClient;

// Where a request stands in its exchange. The numbers are fixed: they show
// in GetDetail's "status=" and in traces.
enum RequestStatus : DWORD {
  // Made, or reset by Clear(true) to be opened and sent anew.
  REQUEST_NEW = 0,
  // Sent asynchronously; waits for the transport's completion report.
  REQUEST_SENT = 1,
  // Its completion is being handled: status checked, a challenge answered.
  REQUEST_COMPLETING = 2,
  // The reply's body is being read.
  REQUEST_READING = 3,
  // Sent synchronously; its completion is handled at once, on this call.
  REQUEST_SENT_SYNC = 4,
  // Finished: the body read whole, or the transfer failed.
  REQUEST_DONE = 5,
};

// A request carries what to send (verb, object name, extra headers, body),
// the login, its mode and what came back, under a key that is unique in the
// process (the first request of the process has key 1). Reference counted:
// the transport's handle while it works on it, the site's pending table and
// anyone who looked it up each hold one reference. Created and used on the
// owner thread only; the key counter relies on that.
class CRequestItem : public CReferenceControl {
 public:
  // A POST without a body sends the query of aObjectName (after the first
  // "?") as a form body with its terminating zero byte, and requests only the
  // part before the "?". The body bytes are copied.
  CRequestItem(const CRtString& aObjectName, CSiteClient* aSite, CRtString aHttpVerb, CRtString aHeaders,
               const char* aOptional, DWORD aOptLength);
  ~CRequestItem() override;

  virtual uint32_t AddReference() { return CReferenceControl::AddReference(); }
  virtual uint32_t ReleaseReference() { return CReferenceControl::ReleaseReference(); }
  // Restarts the clock; with bAll also resets the status and frees the body.
  virtual void Clear(bool bAll);
  // One line for logs: key, object name, response text and status.
  virtual CRtString GetDetail();

  // Restarts the clock the time-out sweep counts from; returns the new tick.
  DWORD RefreshStartTime();

  DWORD m_key;
  RequestStatus m_status;
  CRtString m_httpVerb;
  CRtString m_headers;
  CRtString m_objectName;
  char* m_optional;
  DWORD m_optLength;
  CSiteClient* m_site;  // not counted
  BOOL m_bAsync;
  BOOL m_bNotified;
  DWORD m_startTicks;
  CRtString m_receiveMsg;
  // What ended the request, for the host's diagnosis: the reply's HTTP
  // status (0 without a reply) and the WinINet error of a failed transfer.
  DWORD m_httpStatus;
  DWORD m_internetError;
  BOOL m_bUseProxy;
  CRtString m_userName;
  CRtString m_password;

 private:
  CRequestItem(const CRequestItem&) = delete;
  CRequestItem& operator=(const CRequestItem&) = delete;
};

#endif
