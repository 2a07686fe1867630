#include "HttpClient.h"

#include <algorithm>
#include <new>

#include "RtHttpProxyInfo.h"  // emits the exported proxy record with the client
#include "SiteWininet.h"

namespace {

// ASCII only, so that a host's setlocale cannot change what is encoded.
bool IsAsciiAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsAsciiSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

const char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

CHttpClient* CHttpClient::Instance() {
  static CHttpClient* s_instance = new CHttpClient();
  return s_instance;
}

CHttpClient::CHttpClient() : m_bInit(FALSE), m_curEventQueue(nullptr) {}

CHttpClient::~CHttpClient() {
  RT_INFO_TRACE_THIS("CHttpClient::~CHttpClient, ");
  CloseAllSites();
  Destory();
  RT_INFO_TRACE_THIS("CHttpClient::~CHttpClient, END");
}

int CHttpClient::InitAsync() {
  if (m_bInit) {
    RT_ASSERTE(!m_bInit);
    return QMX_OK;
  }
  if (!m_curEventQueue) {
    m_curEventQueue = CRtThreadManager::Instance()->GetThreadEventQueue(CRtThreadManager::TT_CURRENT);
    if (!m_curEventQueue) {
      RT_WARNING_TRACE("CHttpClient::InitAsync, Get current EventQueue Failed.");
      return QMX_ERR_WRONG_STATUS;
    }
  }
  m_bReleased = false;
  m_bInit = TRUE;
  return QMX_OK;
}

int CHttpClient::InitSite(const CRtString& url, ISiteClient** site) {
  RT_ASSERTE_RETURN(site, QMX_ERR_INVALID_ARG);
  *site = nullptr;
  if (!m_bInit && InitAsync() != QMX_OK) {
    RT_INFO_TRACE_THIS("CHttpClient::InitSite, InitAsync failed.");
    return QMX_ERR_WRONG_STATUS;
  }
  CSiteWininet* pSite = new (std::nothrow) CSiteWininet(url);
  RT_ASSERTE_RETURN(pSite, QMX_ERR_OUT_OF_MEMORY);
  pSite->AddReference();
  m_sites.push_back(pSite);
  *site = pSite;
  (*site)->AddReference();
  return QMX_OK;
}

int CHttpClient::InitSite(const CRtString& url, const CRtString& userName, const CRtString& password,
                          ISiteClient** site) {
  int ret = InitSite(url, site);
  if (ret != QMX_OK) return ret;
  static_cast<CSiteWininet*>(*site)->SetLogin(userName, password);
  return QMX_OK;
}

int CHttpClient::CloseSite(ISiteClient* site) {
  auto it = std::find_if(m_sites.begin(), m_sites.end(),
                         [site](CSiteWininet* s) { return s && static_cast<ISiteClient*>(s) == site; });
  if (it == m_sites.end()) {
    RT_INFO_TRACE_THIS("CHttpClient::CloseSite, cann't find site. aSite=" << (void*)site);
    return QMX_ERR_NOT_FOUND;
  }
  CSiteWininet* pSite = *it;
  m_sites.erase(it);
  pSite->ReleaseReference();
  return QMX_OK;
}

void CHttpClient::CloseAllSites() {
  RT_INFO_TRACE_THIS("CHttpClient::CloseAllSites, begin");
  std::vector<CSiteWininet*> sites;
  sites.swap(m_sites);
  for (CSiteWininet* s : sites) {
    if (s) s->ReleaseReference();
  }
  RT_INFO_TRACE_THIS("CHttpClient::CloseAllSites, end");
}

void CHttpClient::Destory() {
  RT_INFO_TRACE_THIS("CHttpClient::Destory ");
  m_bReleased = true;
  m_curEventQueue = nullptr;
  m_bInit = FALSE;
}

int CHttpClient::PostEvent(IRtEvent* aEvent, int aPriority) {
  RT_ASSERTE_RETURN(aEvent, QMX_ERR_INVALID_ARG);
  IRtEventQueue* queue = m_curEventQueue.load();
  if (!queue) {
    // After Destory a report may still be on its way from the transport's
    // thread: it is dropped without a word. Before any binding it is a fault.
    if (m_bReleased.load()) return QMX_ERR_WRONG_STATUS;
    RtAssertFailed(__FILE__, __LINE__, "m_curEventQueue");
    return QMX_ERR_WRONG_STATUS;
  }
  return queue->PostEvent(aEvent, aPriority);
}

CRequestItem* CHttpClient::FindRequest(DWORD key) {
  for (CSiteWininet* s : m_sites) {
    if (!s) continue;
    CRequestItem* item = s->FindPending(key);
    if (item) return item;
  }
  return nullptr;
}

CRtString CHttpClient::UrlEncode(CRtString text) {
  CRtString out;
  out.reserve(text.size() * 3 + 3);
  for (char ch : text) {
    unsigned char c = (unsigned char)ch;
    if (c == 0) break;
    if (IsAsciiAlnum(c)) {
      out += (char)c;
    } else if (IsAsciiSpace(c)) {
      out += '+';
    } else {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0x0F];
    }
  }
  return out;
}

CRtString CHttpClient::GetErrorText(int code) {
  struct ResultText {
    int code;
    const char* text;
  };
  static const ResultText kTexts[] = {
#define QMX_RESULT(name, value, clientText, hostText) {value, clientText},
#include "ConfWebaResultList.h"
#undef QMX_RESULT
  };
  for (const ResultText& t : kTexts) {
    if (t.code == code && t.text) return t.text;
  }
  return "unexpected error!";
}
