// The request item of the WinINet transport.
#ifndef QMX_HTTPCLI_WININETITEM_H
#define QMX_HTTPCLI_WININETITEM_H

#include "RequestItem.h"
#include "SiteClient.h"
#include "wininet.h"

// Adds what WinINet needs for one request: its three handles (owned, closed
// request first by Clear(true) and by the destructor, which is how a
// cancelled or timed-out request is stopped), the proxy list and proxy
// credentials, the block and buffer of the asynchronous read, and the last
// status WinINet reported. Used on the owner thread only.
class CWininetItem : public CRequestItem {
 public:
  CWininetItem(const CRtString& aObjectName, CSiteClient* aSite, CRtString aHttpVerb, CRtString aHeaders,
               const char* aOptional, DWORD aOptLength);
  ~CWininetItem() override;

  // Frees the read buffer; with bAll also closes the handles.
  void Clear(bool bAll) override;
  CRtString GetDetail() override;

  static const DWORD kReadBufferSize = 2048;

  CRtString m_proxy;
  CRtString m_proxyUserName;
  CRtString m_proxyPassword;
  HINTERNET hOpen;
  HINTERNET hConnect;
  HINTERNET hRequest;
  INTERNET_BUFFERSA m_buffers;
  char* m_readBuffer;
  // The body is being read asynchronously: a completion report for this
  // request is for a read that was pending and goes straight back to
  // reading. Set with the read buffer, cleared with it by Clear.
  bool m_bReadStarted;
  DWORD m_internetStatus;
  // Where a synchronous request's body goes as it arrives; null: into
  // m_receiveMsg. Not owned.
  ISiteBodySink* m_bodySink;
};

#endif
