#include "SiteWininet.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "ConfWebaResults.h"
#include "InternetCallback.h"
#include "TransportSettings.h"
#include "qmxwininet_ext.h"
#include "qmxcrt.h"

namespace {

const char kUserAgent[] = "talvoraAgent";
const char kProxyBypass[] = "<local>";
const char kHttpVersion[] = "HTTP/1.1";
const DWORD kUrlPartSize = 2048;
const DWORD kQueryStatusCode = HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE;
const DWORD kDialogFlags = FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS;

// 401 and 407 challenges the whole process may still answer; only falls.
int s_proxyRetries = 4;

bool IsChallenge(DWORD code) { return code == HTTP_STATUS_DENIED || code == HTTP_STATUS_PROXY_AUTH_REQ; }

// The proxy the host chose for the process (QmxConfWebaSetProxy) in WinINet's
// list form, and its bypass list; an empty list leaves the system's settings.
// A host may set it from any thread, so it is read under the lock.
std::mutex s_hostProxyLock;
CRtString s_hostProxy;
CRtString s_hostBypass;

}  // namespace

void SetHostProxy(const CRtString& aList, const CRtString& aBypass) {
  std::lock_guard<std::mutex> lock(s_hostProxyLock);
  s_hostProxy = aList;
  s_hostBypass = aBypass;
}

CRtString BuildProxyList(DWORD aProxyType, const CRtString& aAddress, unsigned short aPort) {
  CRtString list;
  switch (aProxyType) {
    case 1:
      list = "HTTP=HTTP://";
      break;
    case 2:
      list = "HTTPS=HTTPS://";
      break;
    case 3:
    case 4:
      list = "SOCKS=";
      break;
    default:
      break;
  }
  list += aAddress;
  char port[10];
  memset(port, 0, sizeof(port));
  _snprintf(port, sizeof(port), ":%d", (int)aPort);
  list += port;
  return list;
}

int CSiteWininet::GetProxyRetries() { return s_proxyRetries; }

CSiteWininet::CSiteWininet(const CRtString& aUrl) : m_bHttps(FALSE), m_port(0), m_proxyAuthState(PROXY_AUTH_NONE) {
  RT_INFO_TRACE_THIS("CSiteWininet::CSiteWininet, aUrl=" << aUrl);

  std::vector<char> scheme(kUrlPartSize, 0), host(kUrlPartSize, 0), path(kUrlPartSize, 0), extra(kUrlPartSize, 0);
  URL_COMPONENTSA parts;
  memset(&parts, 0, sizeof(parts));
  parts.dwStructSize = sizeof(parts);
  parts.lpszScheme = scheme.data();
  parts.dwSchemeLength = kUrlPartSize;
  parts.lpszHostName = host.data();
  parts.dwHostNameLength = kUrlPartSize;
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = kUrlPartSize;
  parts.lpszExtraInfo = extra.data();
  parts.dwExtraInfoLength = kUrlPartSize;
  if (!InternetCrackUrlA(aUrl.c_str(), (DWORD)aUrl.size(), 0, &parts)) {
    RT_ERROR_TRACE_THIS("CSiteWininet::CSiteWininet, InternetCrackUrl failed. error=" << (unsigned int)GetLastError());
    // The site is made all the same, without a host: its requests fail when
    // they are sent.
    memset(&parts, 0, sizeof(parts));
    scheme[0] = host[0] = path[0] = extra[0] = '\0';
  }
  scheme[kUrlPartSize - 1] = host[kUrlPartSize - 1] = path[kUrlPartSize - 1] = extra[kUrlPartSize - 1] = '\0';
  m_bHttps = (_stricmp(scheme.data(), "https") == 0) ? TRUE : FALSE;
  m_port = parts.nPort;
  if (m_port == 0) m_port = m_bHttps ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  m_host = host.data();
  m_urlPath = CRtString(path.data()) + extra.data();
}

CSiteWininet::~CSiteWininet() {}

CWininetItem* CSiteWininet::CreateRequest(const CRtString& aObjectName, CRtString aHttpVerb, CRtString aHeaders,
                                          const char* aOptional, DWORD aOptLength) {
  CWininetItem* aRequest = new (std::nothrow)
      CWininetItem(aObjectName.empty() ? m_urlPath : aObjectName, this, aHttpVerb, aHeaders, aOptional, aOptLength);
  RT_ASSERTE_RETURN(aRequest, nullptr);
  aRequest->m_bAsync = m_bAsync;
  aRequest->m_bUseProxy = m_bUseProxy;
  if (m_bUseProxy) aRequest->m_proxy = BuildProxyList(m_proxyType, m_proxyAddress, m_proxyPort);
  aRequest->m_proxyUserName = m_proxyUserName;
  aRequest->m_proxyPassword = m_proxyPassword;
  aRequest->m_userName = m_userName;
  aRequest->m_password = m_password;
  if (m_pRecord) {
    m_pRecord->Record(aRequest->m_key, aRequest->m_objectName.data(), (DWORD)aRequest->m_objectName.size());
    if (aRequest->m_optional && aRequest->m_optLength > 0) {
      m_pRecord->Record(aRequest->m_key, aRequest->m_optional, aRequest->m_optLength);
    }
  }
  return aRequest;
}

int CSiteWininet::Request(DWORD* phRequest, const CRtString& aObjectName, CRtString aHttpVerb, CRtString aHeaders,
                          const char* aOptional, DWORD aOptLength) {
  RT_INFO_TRACE_THIS("CSiteWininet::Request, aObjectName=" << aObjectName << ",aHttpVerb=" << aHttpVerb
                                                           << ",aOptLength=" << (unsigned int)aOptLength);
  RT_ASSERTE_RETURN(phRequest, QMX_ERR_INVALID_ARG);
  *phRequest = 0;
  RT_ASSERTE_RETURN(m_bAsync, QMX_ERR_WRONG_STATUS);
  try {
    CRtAutoPtr<CWininetItem> aRequest(CreateRequest(aObjectName, aHttpVerb, aHeaders, aOptional, aOptLength));
    RT_ASSERTE_RETURN(aRequest.Get(), QMX_ERR_OUT_OF_MEMORY);
    aRequest->m_bAsync = TRUE;
    int ret = Request(aRequest.Get());
    if (ret == QMX_OK) {
      *phRequest = aRequest->m_key;
      AddPending(aRequest.Get());
    }
    return ret;
  } catch (const std::bad_alloc&) {
    return QMX_ERR_OUT_OF_MEMORY;
  }
}

int CSiteWininet::RequestSync(CRtString& aResponse, const CRtString& aObjectName, CRtString aHttpVerb,
                              CRtString aHeaders, const char* aOptional, DWORD aOptLength) {
  RT_INFO_TRACE_THIS("CSiteWininet::RequestSync, aObjectName=" << aObjectName << ",aHttpVerb=" << aHttpVerb
                                                               << ",aOptLength=" << (unsigned int)aOptLength);
  RT_ASSERTE_RETURN(!m_bAsync, QMX_ERR_WRONG_STATUS);
  try {
    CRtAutoPtr<CWininetItem> aRequest(CreateRequest(aObjectName, aHttpVerb, aHeaders, aOptional, aOptLength));
    RT_ASSERTE_RETURN(aRequest.Get(), QMX_ERR_OUT_OF_MEMORY);
    aRequest->m_bAsync = FALSE;
    int ret = Request(aRequest.Get());
    Diagnose(aRequest.Get(), ret == QMX_OK ? 0 : GetLastError());
    aResponse = std::move(aRequest->m_receiveMsg);
    RT_INFO_TRACE_THIS("CSiteWininet::RequestSync, ret=" << ret << ", sync resp: " << aResponse);
    return ret;
  } catch (const std::bad_alloc&) {
    return QMX_ERR_OUT_OF_MEMORY;
  }
}

int CSiteWininet::RequestSyncTo(ISiteBodySink* aBody, DWORD* pHttpStatus, const CRtString& aObjectName,
                                CRtString aHttpVerb) {
  RT_INFO_TRACE_THIS("CSiteWininet::RequestSyncTo, aObjectName=" << aObjectName << ",aHttpVerb=" << aHttpVerb);
  if (pHttpStatus) *pHttpStatus = 0;
  RT_ASSERTE_RETURN(aBody, QMX_ERR_INVALID_ARG);
  RT_ASSERTE_RETURN(!m_bAsync, QMX_ERR_WRONG_STATUS);
  try {
    CRtAutoPtr<CWininetItem> aRequest(CreateRequest(aObjectName, aHttpVerb, CRtString(), nullptr, 0));
    RT_ASSERTE_RETURN(aRequest.Get(), QMX_ERR_OUT_OF_MEMORY);
    aRequest->m_bAsync = FALSE;
    aRequest->m_bodySink = aBody;
    const int ret = Request(aRequest.Get());
    Diagnose(aRequest.Get(), ret == QMX_OK ? 0 : GetLastError());
    if (pHttpStatus) *pHttpStatus = aRequest->m_httpStatus;
    RT_INFO_TRACE_THIS("CSiteWininet::RequestSyncTo, ret=" << ret
                                                           << ",status=" << (unsigned int)aRequest->m_httpStatus);
    return ret;
  } catch (const std::bad_alloc&) {
    return QMX_ERR_OUT_OF_MEMORY;
  }
}

int CSiteWininet::RequestTo(DWORD* phRequest, ISiteBodySink* aBody, const CRtString& aObjectName, CRtString aHttpVerb) {
  RT_INFO_TRACE_THIS("CSiteWininet::RequestTo, aObjectName=" << aObjectName << ",aHttpVerb=" << aHttpVerb);
  RT_ASSERTE_RETURN(phRequest && aBody, QMX_ERR_INVALID_ARG);
  *phRequest = 0;
  RT_ASSERTE_RETURN(m_bAsync, QMX_ERR_WRONG_STATUS);
  try {
    CRtAutoPtr<CWininetItem> aRequest(CreateRequest(aObjectName, aHttpVerb, CRtString(), nullptr, 0));
    RT_ASSERTE_RETURN(aRequest.Get(), QMX_ERR_OUT_OF_MEMORY);
    aRequest->m_bAsync = TRUE;
    aRequest->m_bodySink = aBody;
    const int ret = Request(aRequest.Get());
    if (ret == QMX_OK) {
      *phRequest = aRequest->m_key;
      AddPending(aRequest.Get());
    }
    return ret;
  } catch (const std::bad_alloc&) {
    return QMX_ERR_OUT_OF_MEMORY;
  }
}

void CSiteWininet::Diagnose(CWininetItem* aRequest, DWORD aInternetError) {
  // Only WinINet's own errors (12001 to 12999) say what went wrong on the way.
  if (aInternetError >= INTERNET_ERROR_BASE && aInternetError <= INTERNET_ERROR_LAST) {
    aRequest->m_internetError = aInternetError;
  }
  TransportSettings::SetDiagnosis({aRequest->m_internetError, aRequest->m_httpStatus, 0});
}

int CSiteWininet::Request(CRequestItem* aRequest) {
  RT_ASSERTE_RETURN(aRequest, QMX_ERR_INVALID_ARG);
  CWininetItem* item = static_cast<CWininetItem*>(aRequest);

  if (!item->hOpen) {
    DWORD flags = item->m_bAsync ? INTERNET_FLAG_ASYNC : 0;
    CRtString hostProxy, hostBypass;
    {
      std::lock_guard<std::mutex> lock(s_hostProxyLock);
      hostProxy = s_hostProxy;
      hostBypass = s_hostBypass;
    }
    if (item->m_bUseProxy) {
      item->hOpen = InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PROXY, item->m_proxy.c_str(), kProxyBypass, flags);
    } else if (!hostProxy.empty()) {
      item->hOpen = InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PROXY, hostProxy.c_str(),
                                  hostBypass.empty() ? nullptr : hostBypass.c_str(), flags);
    } else {
      item->hOpen = InternetOpenA(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, flags);
    }
    if (!item->hOpen) {
      RT_ERROR_TRACE_THIS("CSiteWininet::Request, InternetOpen failed. error=" << (unsigned int)GetLastError());
      return QMX_ERR_REQUEST_FAILED;
    }
  }
  if (item->m_bAsync) InternetSetStatusCallbackA(item->hOpen, MyInternetCallback);
  // The connect limit goes on the item's own root, which its connection and
  // request copy when they are made: set on no handle, it would reach only
  // roots made later, not the first request of the process.
  // Downloads (synchronous, or into a body receiver) have the short limit.
  const DWORD connectTimeout = item->m_bAsync && !item->m_bodySink ? TransportSettings::ConnectTimeoutMs()
                                                                   : TransportSettings::SyncConnectTimeoutMs();
  if (connectTimeout && !item->hConnect) {
    DWORD timeout = connectTimeout;
    if (!InternetSetOptionA(item->hOpen, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof(timeout))) {
      RT_ERROR_TRACE_THIS(
          "CSiteWininet::Request, InternetSetOption CONNECT_TIMEOUT failed. error=" << (unsigned int)GetLastError());
      return QMX_ERR_REQUEST_FAILED;
    }
  }
  const bool relaxedTls = TransportSettings::RelaxedTls();
  DWORD flags = m_bHttps ? (relaxedTls ? kFlagsHttps : kFlagsHttpsStrict) : kFlagsHttp;
  if (!item->hConnect) {
    item->hConnect = InternetConnectA(item->hOpen, m_host.c_str(), m_port, item->m_userName.c_str(),
                                      item->m_password.c_str(), INTERNET_SERVICE_HTTP, flags, item->m_key);
    if (!item->hConnect) {
      RT_ERROR_TRACE_THIS("CSiteWininet::Request, InternetConnect failed. error=" << (unsigned int)GetLastError());
      return QMX_ERR_REQUEST_FAILED;
    }
  }
  bool openedNow = false;
  if (!item->hRequest) {
    LPCSTR acceptTypes[] = {"*", nullptr};
    item->hRequest = HttpOpenRequestA(item->hConnect, item->m_httpVerb.c_str(), item->m_objectName.c_str(),
                                      kHttpVersion, "", acceptTypes, flags, item->m_key);
    if (!item->hRequest) {
      RT_ERROR_TRACE_THIS("CSiteWininet::Request, HttpOpenRequest failed. error=" << (unsigned int)GetLastError());
      return QMX_ERR_REQUEST_FAILED;
    }
    openedNow = true;
  }
  if (openedNow) {
    DWORD security = flags | (relaxedTls ? kSecurityFlagsAdded : kSecurityFlagsStrict);
    if (!InternetSetOptionA(item->hRequest, INTERNET_OPTION_SECURITY_FLAGS, &security, sizeof(security))) {
      RT_ERROR_TRACE_THIS(
          "CSiteWininet::Request, InternetSetOption SECURITY_FLAGS failed. error=" << (unsigned int)GetLastError());
      return QMX_ERR_REQUEST_FAILED;
    }
  }
  if (!item->m_bAsync) {
    DWORD timeout = kSyncTimeoutMs;
    if (!InternetSetOptionA(item->hRequest, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof(timeout))) {
      RT_ERROR_TRACE_THIS(
          "CSiteWininet::Request, InternetSetOption SEND_TIMEOUT failed. error=" << (unsigned int)GetLastError());
      return QMX_ERR_REQUEST_FAILED;
    }
    // A synchronous request blocks the host: it gives up when no byte comes
    // for this long.
    DWORD stall = TransportSettings::StallTimeoutMs();
    InternetSetOptionA(item->hRequest, INTERNET_OPTION_RECEIVE_TIMEOUT, &stall, sizeof(stall));
  }
  if (openedNow && item->m_bAsync && item->m_bodySink) {
    // A download gives up when no byte comes for this long, as a
    // synchronous one does.
    DWORD stall = TransportSettings::StallTimeoutMs();
    InternetSetOptionA(item->hRequest, INTERNET_OPTION_RECEIVE_TIMEOUT, &stall, sizeof(stall));
  }
  if (openedNow) {
    DWORD total = TransportSettings::TotalTimeoutMs();
    if (total) InternetSetOptionA(item->hRequest, QMX_INTERNET_OPTION_TOTAL_TIMEOUT, &total, sizeof(total));
  }
  // Through a proxy the body waits until proxy authentication has worked on
  // this site; a length never goes without its buffer.
  LPVOID optional = nullptr;
  DWORD optLength = 0;
  if ((m_proxyAuthState == PROXY_AUTH_PASSED || !item->m_bUseProxy) && item->m_optional) {
    optional = item->m_optional;
    optLength = item->m_optLength;
  }
  if (!HttpSendRequestA(item->hRequest, item->m_headers.c_str(), (DWORD)item->m_headers.size(), optional, optLength)) {
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      RT_ERROR_TRACE_THIS("CSiteWininet::Request, HttpSendRequest failed. error=" << (unsigned int)error);
      return QMX_ERR_REQUEST_FAILED;
    }
  }
  if (!item->m_bAsync) {
    item->m_status = REQUEST_SENT_SYNC;
    return OnRequestComplete(QMX_OK, item);
  }
  item->m_status = REQUEST_SENT;
  return QMX_OK;
}

bool CSiteWininet::QueryStatusCode(CWininetItem* aRequest, DWORD& dwCode, DWORD& dwSize) {
  dwCode = 0;
  dwSize = sizeof(dwCode);
  return HttpQueryInfoA(aRequest->hRequest, kQueryStatusCode, &dwCode, &dwSize, nullptr) != FALSE;
}

int CSiteWininet::OnRequestComplete(int aResult, CRequestItem* aRequest) {
  if (!aRequest) {
    RT_ERROR_TRACE_THIS("CSiteWininet::OnRequestComplete, aRequest is null. ret=" << aResult);
    return QMX_ERR_INVALID_ARG;
  }
  CWininetItem* item = static_cast<CWininetItem*>(aRequest);
  RT_INFO_TRACE_THIS("CSiteWininet::OnRequestComplete, begin... Request:" << item->GetDetail());
  item->m_status = REQUEST_COMPLETING;
  // A report for a read that was pending goes straight back to reading.
  return DoCompletionLoop(item, item->m_bReadStarted ? STATE_READ : STATE_QUERY_STATUS);
}

int CSiteWininet::DoCompletionLoop(CWininetItem* aRequest, CompletionState aState) {
  int rv = QMX_OK;
  CompletionState next = aState;
  do {
    const CompletionState state = next;
    next = STATE_NONE;
    switch (state) {
      case STATE_QUERY_STATUS:
        rv = DoQueryStatus(aRequest, next);
        break;
      case STATE_ANSWER_CHALLENGE:
        rv = DoAnswerChallenge(aRequest, next);
        break;
      case STATE_RESEND:
        rv = DoResend(aRequest, next);
        break;
      case STATE_READ:
        rv = DoRead(aRequest, next);
        break;
      case STATE_NONE:
        break;
    }
  } while (next != STATE_NONE);
  return rv;
}

int CSiteWininet::DoQueryStatus(CWininetItem* aRequest, CompletionState& aNext) {
  DWORD dwCode = 0, dwSize = 0;
  aNext = STATE_READ;
  if (!QueryStatusCode(aRequest, dwCode, dwSize)) {
    m_proxyAuthState = PROXY_AUTH_NONE;
    RT_WARNING_TRACE_THIS("CSiteWininet::OnRequestComplete, HttpQueryInfo error=" << (unsigned int)GetLastError());
    return QMX_OK;
  }
  aRequest->m_httpStatus = dwCode;
  if (IsChallenge(dwCode)) {
    aNext = STATE_ANSWER_CHALLENGE;
    return QMX_OK;
  }
  if (m_proxyAuthState == PROXY_AUTH_ANSWERED) m_proxyAuthState = PROXY_AUTH_PASSED;
  RT_INFO_TRACE_THIS("CSiteWininet::OnRequestComplete, HttpQueryInfo result: dwCode="
                     << (unsigned int)dwCode << ",dwSize=" << (unsigned int)dwSize);
  return QMX_OK;
}

int CSiteWininet::DoAnswerChallenge(CWininetItem* aRequest, CompletionState& aNext) {
  --s_proxyRetries;
  if (s_proxyRetries == 0) {
    RT_INFO_TRACE_THIS(
        "CSiteWininet::OnRequestComplete, proxy retry 3 times, quit! requ=" << (unsigned int)aRequest->m_key);
    return QMX_ERR_TRANSPORT;
  }
  if (!m_proxyUserName.empty() && !m_proxyPassword.empty() && s_proxyRetries == 3) {
    InternetSetOptionA(aRequest->hRequest, INTERNET_OPTION_PROXY_USERNAME, (LPVOID)aRequest->m_proxyUserName.c_str(),
                       (DWORD)aRequest->m_proxyUserName.size() + 1);
    InternetSetOptionA(aRequest->hRequest, INTERNET_OPTION_PROXY_PASSWORD, (LPVOID)aRequest->m_proxyPassword.c_str(),
                       (DWORD)aRequest->m_proxyPassword.size() + 1);
  } else {
    DWORD answer = InternetErrorDlg(GetForegroundWindow(), aRequest->hRequest, ERROR_INTERNET_INCORRECT_PASSWORD,
                                    kDialogFlags, nullptr);
    if (answer != ERROR_INTERNET_FORCE_RETRY) {
      m_proxyAuthState = PROXY_AUTH_NONE;
      RT_WARNING_TRACE_THIS("CSiteWininet::OnRequestComplete, InternetErrorDlg requ="
                            << (unsigned int)aRequest->m_key << ",error=" << (unsigned int)answer);
      aNext = STATE_READ;  // the challenge page is the reply
      return QMX_OK;
    }
  }
  RT_INFO_TRACE_THIS("CSiteWininet::OnRequestComplete, Internet retry! requ=" << (unsigned int)aRequest->m_key);
  aNext = STATE_RESEND;
  return QMX_OK;
}

int CSiteWininet::DoResend(CWininetItem* aRequest, CompletionState& aNext) {
  if (aRequest->m_bAsync) {
    // Everything is opened anew; the body goes out again with the resend.
    char* body = aRequest->m_optional;
    aRequest->m_optional = nullptr;
    aRequest->Clear(true);
    aRequest->m_optional = body;
    if (!body) aRequest->m_optLength = 0;
    return Request(aRequest);
  }
  LPVOID optional = aRequest->m_optional;
  DWORD optLength = optional ? aRequest->m_optLength : 0;
  HttpSendRequestA(aRequest->hRequest, aRequest->m_headers.c_str(), (DWORD)aRequest->m_headers.size(), optional,
                   optLength);
  m_proxyAuthState = PROXY_AUTH_ANSWERED;
  aNext = STATE_QUERY_STATUS;
  return QMX_OK;
}

int CSiteWininet::DoRead(CWininetItem* aRequest, CompletionState& /*aNext*/) {
  aRequest->m_status = REQUEST_READING;
  return aRequest->m_bAsync ? InternetRead_async(aRequest) : InternetRead_sync(aRequest);
}
