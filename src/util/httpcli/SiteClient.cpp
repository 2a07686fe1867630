#include "SiteClient.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "ConfWebaResults.h"
#include "TransportSettings.h"
#include "qmxcrt.h"
#include "wininet.h"

namespace {

const char kSiteRecordName[] = "httpresponse.rrr";

}  // namespace

CSiteClient::CSiteClient()
    : m_pSink(nullptr), m_proxyPort(0), m_proxyType(1), m_bUseProxy(FALSE), m_bAsync(TRUE), m_pRecord(nullptr) {
  RT_INFO_TRACE_THIS("CSiteClient::CSiteClient, ");
  // Each site starts the traffic record afresh, in the record folder; with
  // recording off the path is empty and the record does nothing.
  CRtString path = GetRecordPath(kSiteRecordName);
  if (!path.empty()) _unlink(path.c_str());
  m_pRecord = new (std::nothrow) CResponseRecord(path);
}

CSiteClient::~CSiteClient() {
  RT_INFO_TRACE_THIS("CSiteClient::~CSiteClient, ");
  m_timer.Cancel();
  PendingList pending;
  pending.swap(m_requests);
  m_pendingByKey.clear();
  for (CRequestItem* item : pending) item->ReleaseReference();
  if (m_pRecord) {
    m_pRecord->Close();
    delete m_pRecord;
    m_pRecord = nullptr;
  }
}

int CSiteClient::OpenWith(ISiteClientSink* pSink) {
  RT_INFO_TRACE_THIS("CSiteClient::OpenWith, pSink=" << (void*)pSink);
  m_pSink = pSink;
  return QMX_OK;
}

void CSiteClient::SetLogin(const CRtString& userName, const CRtString& password) {
  RT_INFO_TRACE_THIS("CSiteClient::SetLogin, userName=" << userName << ",password=" << password);
  m_userName = userName;
  m_password = password;
}

int CSiteClient::SetProxy(CRtString aName, CRtString aPassword, CRtString aUrl, unsigned short aPort, DWORD aType) {
  RT_INFO_TRACE_THIS("CSiteClient::SetProxy, aName=" << aName << ",aPassword=" << aPassword << ",aUrl=" << aUrl
                                                     << ",aPort=" << aPort);
  m_proxyUserName = aName;
  m_proxyPassword = aPassword;
  m_proxyAddress = aUrl;
  m_proxyPort = aPort;
  m_proxyType = aType;
  return QMX_OK;
}

int CSiteClient::SetOption(SiteOption aOption, void* aValue) {
  RT_INFO_TRACE_THIS("CSiteClient::SetOption, SiteOption=" << (int)aOption);
  int32_t value = 0;
  if (aValue) memcpy(&value, aValue, sizeof(value));
  switch (aOption) {
    case SiteOptionSync:
      m_bAsync = (value == 0);
      break;
    case SiteOptionUseProxy:
      m_bUseProxy = value;
      break;
    default:
      return QMX_ERR_BAD_OPTION;
  }
  return QMX_OK;
}

int CSiteClient::TestProxy() {
  BOOL useProxy = m_bUseProxy;
  m_bUseProxy = TRUE;
  CRtString response;
  int ret = RequestSync(response, CRtString(), "GET", CRtString(), nullptr, 0);
  m_bUseProxy = useProxy;
  return ret;
}

void CSiteClient::Cancel(DWORD hRequest) {
  RT_INFO_TRACE_THIS("CSiteClient::Cancel, hRequest=" << (unsigned int)hRequest);
  Cancel_i(hRequest, false);
}

void CSiteClient::Cancel_i(DWORD hRequest, bool bNotify) {
  auto found = m_pendingByKey.find(hRequest);
  if (found == m_pendingByKey.end()) {
    RT_WARNING_TRACE_THIS("CSiteClient::Cancel_i, cann't find request. hRequest=" << (unsigned int)hRequest);
    return;
  }
  CRequestItem* item = *found->second;
  item->AddReference();  // outlives its removal and the sink call
  m_requests.erase(found->second);
  m_pendingByKey.erase(found);
  if (bNotify && !item->m_bNotified) NotifySink(item, QMX_ERR_REQUEST_FAILED);
  item->ReleaseReference();  // the table's
  item->ReleaseReference();
}

void CSiteClient::NotifySink(CRequestItem* aRequest, int aResult) {
  if (!aRequest || !aRequest->m_bAsync || !m_pSink || aRequest->m_bNotified) return;
  aRequest->AddReference();
  aRequest->m_bNotified = TRUE;
  TransportSettings::SetDiagnosis({aRequest->m_internetError, aRequest->m_httpStatus, 0});
  m_pSink->OnRequest(aRequest->m_key, aResult, aRequest->m_receiveMsg);
  aRequest->ReleaseReference();
}

void CSiteClient::OnTimer(CRtTimerWrapper* aId) {
  if (aId != &m_timer) return;
  // The sink may drop the last outside reference while it is told.
  AddReference();
  DWORD now = GetTickCount();
  auto it = std::find_if(m_requests.begin(), m_requests.end(),
                         [now](CRequestItem* item) { return (DWORD)(now - item->m_startTicks) > kRequestTimeoutMs; });
  if (it != m_requests.end()) {
    (*it)->m_internetError = ERROR_INTERNET_TIMEOUT;
    Cancel_i((*it)->m_key, true);
  }
  if (m_requests.empty()) m_timer.Cancel();
  ReleaseReference();
}

CRequestItem* CSiteClient::FindPending(DWORD hRequest) const {
  auto found = m_pendingByKey.find(hRequest);
  return found == m_pendingByKey.end() ? nullptr : *found->second;
}

void CSiteClient::AddPending(CRequestItem* aRequest) {
  PendingList::iterator it = m_requests.insert(m_requests.end(), aRequest);
  try {
    m_pendingByKey.emplace(aRequest->m_key, it);
  } catch (...) {
    m_requests.erase(it);
    throw;
  }
  aRequest->AddReference();
  if (!m_timer.IsScheduled()) {
    m_timer.Schedule(this, CRtTimeValue(kSweepIntervalSec, 0), 0);
  }
}
