#include "webaccess.h"

#include <new>

#include "qmxcrt.h"

HttpRequest::HttpRequest(int aAction, const CRtString& aObjName, void* aContext)
    : action(aAction),
      objName(aObjName),
      hRequest(static_cast<DWORD>(reinterpret_cast<uintptr_t>(this))),
      result(0),
      context(aContext) {}

HttpRequest::~HttpRequest() {
  if (context) ::operator delete(context);
}

CWebAccessBase::CWebAccessBase() : m_xmlparser(nullptr), m_resprecord(nullptr) {}

CWebAccessBase::~CWebAccessBase() {
  RT_INFO_TRACE_THIS("CWebAccessBase::~CWebAccessBase");
  Destory();
}

int CWebAccessBase::Init() {
  if (!m_xmlparser) {
    m_xmlparser = new (std::nothrow) CSimpleParseXml();
    RT_ASSERTE_RETURN(m_xmlparser, QMX_ERR_OUT_OF_MEMORY);
  }
  if (m_resprecord) return 0;
  m_resprecord = new (std::nothrow) CResponseRecord(GetRecordPath("waresponse.rrr"));
  RT_ASSERTE_RETURN(m_resprecord, QMX_ERR_OUT_OF_MEMORY);
  return 0;
}

int CWebAccessBase::InitSite(const CRtString& siteURL) {
  if (m_site) {
    CHttpClient::Instance()->CloseSite(m_site);
    m_site = static_cast<ISiteClient*>(nullptr);
    m_basePath = "";
    m_siteURL = "";
  }
  m_siteURL = siteURL;
  const size_t p2 = HostEnd(siteURL);
  if (p2 == CRtString::npos) {
    m_siteURL += "/";
  } else {
    m_siteURL = siteURL.substr(0, p2 + 1);
    m_basePath = siteURL.substr(p2 + 1);
    if (!m_basePath.empty() && m_basePath[m_basePath.size() - 1] != '/') m_basePath += "/";
  }
  const int rt = CHttpClient::Instance()->InitSite(m_siteURL, m_site.ParaOut());
  if (rt != 0) {
    RT_ERROR_TRACE_THIS("CWebAccessBase::InitSite, rt=" << rt << ",siteURL=" << m_siteURL);
    return rt;
  }
  return m_site->OpenWith(this);
}

int CWebAccessBase::Request(ISiteClient* aSite, int aAction, const CRtString& aObjName, void* aContext,
                            CRtString aHttpVerb) {
  const CRtString objName = m_basePath + aObjName;
  HttpRequest* aRequest = new (std::nothrow) HttpRequest(aAction, objName, aContext);
  RT_ASSERTE_RETURN(aRequest, QMX_ERR_OUT_OF_MEMORY);
  const int rt = aSite->Request(&aRequest->hRequest, objName, aHttpVerb, "", nullptr, 0);
  if (rt != 0) {
    RT_ERROR_TRACE_THIS("CWebAccessBase::Request, site request failed. rt=" << rt << ",action=" << aAction
                                                                            << ",objName=" << objName);
    delete aRequest;
    return rt;
  }
  m_requestList.push_back(aRequest);
  return 0;
}

int CWebAccessBase::OnRequest(DWORD hRequest, int aResult, CRtString& aContent) {
  HttpRequest* aRequest = nullptr;
  for (HttpRequest* r : m_requestList) {
    if (r->hRequest == hRequest) {
      aRequest = r;
      break;
    }
  }
  if (!aRequest) {
    RT_WARNING_TRACE_THIS("CWebAccessBase::OnRequest, cann't find request. hRequest="
                          << hRequest << ",aResult=" << aResult << ",aContent=" << aContent);
    return QMX_ERR_INVALID_ARG;
  }
  aRequest->result = aResult;
  if (m_resprecord) m_resprecord->Record(hRequest, m_siteURL + aRequest->objName, aContent);

  const int rt = OnHttpResponse(aRequest, aContent);

  // The handler may have emptied the table (CancelAllRequests), so look the
  // record up again by pointer before freeing it.
  for (auto it = m_requestList.begin(); it != m_requestList.end(); ++it) {
    if (*it == aRequest) {
      m_requestList.erase(it);
      delete aRequest;
      return rt;
    }
  }
  RT_INFO_TRACE_THIS("CWebAccessBase::OnRequest,  aRequest=" << static_cast<void*>(aRequest));
  return rt;
}

void CWebAccessBase::CancelAllRequests() {
  if (!m_site) return;
  for (HttpRequest* r : m_requestList) {
    m_site->Cancel(r->hRequest);
    delete r;
  }
  m_requestList.clear();
}

void CWebAccessBase::Destory() {
  RT_INFO_TRACE_THIS("CWebAccessBase::Destory begin");
  m_siteURL = "";
  m_basePath = "";
  for (HttpRequest* r : m_requestList) {
    if (m_site) m_site->Cancel(r->hRequest);
    delete r;
  }
  m_requestList.clear();
  if (m_xmlparser) {
    m_xmlparser->Clear();
    m_xmlparser->Close();
    delete m_xmlparser;
    m_xmlparser = nullptr;
  }
  if (m_resprecord) {
    delete m_resprecord;
    m_resprecord = nullptr;
  }
  if (m_site) {
    CHttpClient::Instance()->CloseSite(m_site);
    m_site = static_cast<ISiteClient*>(nullptr);
  }
  RT_INFO_TRACE_THIS("CWebAccessBase::Destory end");
}

int CWebAccessBase::GetUrlFile(const CRtString& urlFile, ISiteBodySink* aBody, DWORD& aHttpStatus) {
  RT_INFO_TRACE_THIS("CWebAccessBase::GetUrlFile, urlFile=" << urlFile);
  aHttpStatus = 0;
  CRtString siteURL, objName;
  if (!SplitFileUrl(urlFile, siteURL, objName)) return QMX_ERR_INVALID_ARG;
  CRtAutoPtr<ISiteClient> site;
  const int initRt = CHttpClient::Instance()->InitSite(siteURL, site.ParaOut());
  if (initRt != 0 && !site) {
    RT_WARNING_TRACE_THIS("CWebAccessBase::GetUrlFile, InitSite Failed. rt=" << initRt);
    return initRt;
  }
  if (!site) return QMX_ERR_NO_SITE;
  site->OpenWith(nullptr);
  int sync = 1;
  site->SetOption(SiteOptionSync, &sync);
  const int rt = site->RequestSyncTo(aBody, &aHttpStatus, objName, "GET");
  CHttpClient::Instance()->CloseSite(site);
  site = static_cast<ISiteClient*>(nullptr);
  if (rt != 0) RT_WARNING_TRACE_THIS("CWebAccessBase::GetUrlFile, RequestSync Failed. rt=" << rt);
  return rt;
}

bool CWebAccessBase::SplitFileUrl(const CRtString& urlFile, CRtString& siteURL, CRtString& objName) {
  if (urlFile.find("//") == CRtString::npos) return false;
  const size_t p2 = HostEnd(urlFile);
  if (p2 == CRtString::npos) return false;
  siteURL = urlFile.substr(0, p2);
  objName = urlFile.substr(p2);
  return true;
}

size_t CWebAccessBase::HostEnd(const CRtString& url) {
  const size_t scheme = url.find("//");
  return url.find('/', scheme == CRtString::npos ? 0 : scheme + 2);
}

size_t CWebAccessBase::FirstSegmentEnd(const CRtString& url) {
  if (url.find("//") == CRtString::npos) return CRtString::npos;
  const size_t hostEnd = HostEnd(url);
  return hostEnd == CRtString::npos ? CRtString::npos : url.find('/', hostEnd + 1);
}

CRtString CWebAccessBase::GetWorkDir() { return ::GetWorkDir(); }

int CWebAccessBase::GetNodeBool(CSimpleParseXml* parser, const XML_NODE_LIST& node, unsigned int index,
                                const char* name) {
  const char* value = parser->GetValue(node, index, name);
  return value && _stricmp(value, "true") == 0 ? 1 : 0;
}

CRtString CWebAccessBase::GetNodeValue(CSimpleParseXml* parser, const XML_NODE_LIST& node, unsigned int index,
                                       const char* name) {
  const char* value = parser->GetValue(node, index, name);
  return Utf8ToAnsi(value ? CRtString(value) : CRtString());
}

namespace {

// Converts through UTF-16, as the platform's code-page functions do.
CRtString ConvertCodePage(const CRtString& text, UINT from, UINT to) {
  const int n = MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n == 0) return CRtString();
  WCHAR* wide = new (std::nothrow) WCHAR[n + 1];
  if (!wide) return CRtString();
  MultiByteToWideChar(from, 0, text.data(), static_cast<int>(text.size()), wide, n);
  wide[n] = 0;
  char* out = nullptr;
  const int m = WideCharToMultiByte(to, 0, wide, n, nullptr, 0, nullptr, nullptr);
  if (m != 0) {
    out = new (std::nothrow) char[m + 1]();
    if (out) WideCharToMultiByte(to, 0, wide, n, out, m, nullptr, nullptr);
  }
  delete[] wide;
  // Taken as a NUL-terminated text: a zero byte in the input ends the result.
  CRtString result = out ? CRtString(out) : CRtString();
  delete[] out;
  return result;
}

}  // namespace

CRtString CWebAccessBase::AnsiToUtf8(const CRtString& text) { return ConvertCodePage(text, CP_ACP, CP_UTF8); }

CRtString CWebAccessBase::Utf8ToAnsi(const CRtString& text) { return ConvertCodePage(text, CP_UTF8, CP_ACP); }
