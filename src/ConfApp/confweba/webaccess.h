// The web access base: one open site, the requests pending on it, the
// record file of their replies, the reply parser, and the text helpers the
// conference requests share.
#ifndef QMX_CONFWEBA_WEBACCESS_H
#define QMX_CONFWEBA_WEBACCESS_H

#include <list>

#include "SimpleParseXml.h"
#include "httpclient.h"
#include "qmxframework.h"
#include "windows.h"

// Request actions, as kept in HttpRequest::action.
enum {
  WA_ACTION_INVITE_BY_EMAILS = 1,
  WA_ACTION_JOIN_CONFERENCE = 2,
};

// One request that the site accepted and whose reply has not arrived yet.
// Made by CWebAccessBase::Request, freed by whoever takes it off the table.
struct HttpRequest {
  HttpRequest(int aAction, const CRtString& aObjName, void* aContext);
  ~HttpRequest();

  int action;
  CRtString objName;  // base path and object name, as sent
  DWORD hRequest;     // the site's key of the request
  int result;         // transport result, then the parse's outcome
  void* context;      // owned; allocated with ::operator new, or null

 private:
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;
};

// Base of the conference object. Opens one site for a site address, sends
// requests on it and remembers them, receives their completions as the
// site's sink, records each request and reply in "waresponse.rrr" and hands
// the reply to the derived class. Everything runs on the host's thread, the
// one whose event queue the HTTP client is bound to; there are no locks.
class CWebAccessBase : public ISiteClientSink {
 public:
  CWebAccessBase();

  // Completion of a request of the open site.
  int OnRequest(DWORD hRequest, int aResult, CRtString& aContent) override;
  virtual ~CWebAccessBase();
  // Cancels every pending request (no reply will follow) and empties the table.
  virtual void CancelAllRequests();
  // A reply for a request of the table; aRequest->result holds the transport's result.
  virtual int OnHttpResponse(HttpRequest* aRequest, const CRtString& aContent) = 0;
  // A file name per action.
  virtual CRtString GetActionFile(int action) = 0;

  // Creates the parser and the record object when missing. 0 or QMX_ERR_OUT_OF_MEMORY.
  int Init();
  // Closes the open site, if any, and opens one for siteURL with this object
  // as its sink. The scheme and host become m_siteURL, the rest m_basePath.
  int InitSite(const CRtString& siteURL);
  // Sends one asynchronous request for m_basePath + aObjName on aSite and
  // puts it in the table. aContext goes to the record, which owns it.
  int Request(ISiteClient* aSite, int aAction, const CRtString& aObjName, void* aContext, CRtString aHttpVerb);
  // Fetches a URL synchronously on a site of its own, handing the body to
  // aBody as it arrives; aHttpStatus gets the reply's status (0 without a
  // reply). The transport's result.
  int GetUrlFile(const CRtString& urlFile, ISiteBodySink* aBody, DWORD& aHttpStatus);
  // Splits a file's address into its site ("scheme://host") and the object
  // on it ("/path?query"); false when the address has no "//" or no path.
  static bool SplitFileUrl(const CRtString& urlFile, CRtString& siteURL, CRtString& objName);
  // Releases everything: pending requests, parser, record file, site.
  void Destory();

  // Where the path of an address starts: the index of the "/" that ends
  // "scheme://host" (for an address without "//", its first "/"); npos when
  // there is none.
  static size_t HostEnd(const CRtString& url);
  // The index of the "/" that ends the first path segment of an address,
  // "scheme://host/segment/"; npos when the address has no "//" or no such
  // "/".
  static size_t FirstSegmentEnd(const CRtString& url);

  // The directory of the host's executable, ending in "/".
  static CRtString GetWorkDir();
  // 1 when the text of element name of the index-th node of node is "true"
  // in any case, else 0.
  static int GetNodeBool(CSimpleParseXml* parser, const XML_NODE_LIST& node, unsigned int index, const char* name);
  // The text of element name of the index-th node of node, from UTF-8 to the
  // local code page; empty when absent.
  CRtString GetNodeValue(CSimpleParseXml* parser, const XML_NODE_LIST& node, unsigned int index, const char* name);
  // Local code page to UTF-8 and back. A zero byte ends the text.
  static CRtString AnsiToUtf8(const CRtString& text);
  static CRtString Utf8ToAnsi(const CRtString& text);

 protected:
  std::list<HttpRequest*> m_requestList;
  CRtAutoPtr<ISiteClient> m_site;
  CSimpleParseXml* m_xmlparser;
  CResponseRecord* m_resprecord;
  CRtString m_siteURL;   // scheme and host, ending in "/"
  CRtString m_basePath;  // the rest of the site address, ending in "/" when not empty

 private:
  CWebAccessBase(const CWebAccessBase&) = delete;
  CWebAccessBase& operator=(const CWebAccessBase&) = delete;
};

#endif
