#include "InternetCallback.h"

#include <new>

#include "HttpClient.h"
#include "ConfWebaResults.h"
#include "WininetItem.h"

namespace {

// The reports the owner thread acts on (completions, disconnects, and the
// unexpected ones it warns about) wake it; the progress reports it only
// records on the request (resolving, sending, handle created or closing...)
// wait in its queue for the next wake, in order, so that a request costs the
// owner thread one wake rather than one per report.
bool OnlyRecorded(DWORD status) {
  switch (status) {
    case INTERNET_STATUS_RESOLVING_NAME:
    case INTERNET_STATUS_NAME_RESOLVED:
    case INTERNET_STATUS_CONNECTING_TO_SERVER:
    case INTERNET_STATUS_CONNECTED_TO_SERVER:
    case INTERNET_STATUS_SENDING_REQUEST:
    case INTERNET_STATUS_REQUEST_SENT:
    case INTERNET_STATUS_RECEIVING_RESPONSE:
    case INTERNET_STATUS_RESPONSE_RECEIVED:
    case INTERNET_STATUS_CTL_RESPONSE_RECEIVED:
    case INTERNET_STATUS_PREFETCH:
    case INTERNET_STATUS_CLOSING_CONNECTION:
    case INTERNET_STATUS_CONNECTION_CLOSED:
    case INTERNET_STATUS_HANDLE_CREATED:
    case INTERNET_STATUS_HANDLE_CLOSING:
    case INTERNET_STATUS_REDIRECT:
    case INTERNET_STATUS_INTERMEDIATE_RESPONSE:
    case INTERNET_STATUS_STATE_CHANGE:
      return true;
    default:
      return false;
  }
}

}  // namespace

void CALLBACK MyInternetCallback(HINTERNET hInternet, DWORD_PTR dwContext, DWORD dwInternetStatus,
                                 LPVOID lpvStatusInformation, DWORD dwStatusInformationLength) {
  RT_INFO_TRACE("MyInternetCallback, hInternet="
                << (void*)hInternet << ",dwContext=" << (unsigned long)dwContext << ",dwInternetStatus="
                << (unsigned int)dwInternetStatus << ",lpvStatusInformation=" << lpvStatusInformation
                << ",dwStatusInformationLength=" << (unsigned int)dwStatusInformationLength);
  int result = QMX_OK;
  DWORD error = 0;
  if (dwInternetStatus == INTERNET_STATUS_REQUEST_COMPLETE) {
    if (!lpvStatusInformation) {
      result = QMX_ERR_NO_RESULT;
    } else if (static_cast<INTERNET_ASYNC_RESULT*>(lpvStatusInformation)->dwError != 0) {
      result = QMX_ERR_WRONG_STATUS;
      error = static_cast<INTERNET_ASYNC_RESULT*>(lpvStatusInformation)->dwError;
    }
  }
  CInternetCallbackEvent* event =
      new (std::nothrow) CInternetCallbackEvent((DWORD)dwContext, dwInternetStatus, result, error);
  // A queue that is gone (shutdown: the handles of the last requests closing)
  // leaves the event with us.
  int priority = OnlyRecorded(dwInternetStatus) ? IRtEventQueue::PRIORITY_LOW : IRtEventQueue::PRIORITY_NORMAL;
  if (CHttpClient::Instance()->PostEvent(event, priority) != QMX_OK && event) delete event;
}

int CInternetCallbackEvent::OnEventFire() {
  CHttpClient* client = CHttpClient::Instance();
  CRtAutoPtr<CRequestItem> request(client->FindRequest(dwContext));
  if (request) {
    static_cast<CWininetItem*>(request.Get())->m_internetStatus = dwInternetStatus;
    if (dwError) request->m_internetError = dwError;
  }

  int ret = QMX_OK;
  switch (dwInternetStatus) {
    case INTERNET_STATE_DISCONNECTED:
    case INTERNET_STATE_DISCONNECTED_BY_USER:
      RT_WARNING_TRACE("CInternetCallbackEvent::OnEventFire, internet disconnect status.");
      m_result = QMX_ERR_DISCONNECTED;
      [[fallthrough]];  // handled as a completion
    case INTERNET_STATUS_REQUEST_COMPLETE: {
      // The request looked up above: nothing has run since.
      CRtAutoPtr<CRequestItem>& completed = request;
      if (!completed) {
        RT_WARNING_TRACE("CInternetCallbackEvent::OnEventFire, cann't get request.");
        ret = QMX_ERR_INVALID_ARG;
        break;
      }
      CSiteClient* site = completed->m_site;
      site->AddReference();
      ret = site->OnRequestComplete(m_result, completed.Get());
      site->ReleaseReference();
      break;
    }
    default:
      // The progress reports are only recorded above; anything else is news.
      if (!OnlyRecorded(dwInternetStatus)) {
        RT_WARNING_TRACE("CInternetCallbackEvent::OnEventFire, unexpected internet status. status="
                         << (unsigned int)dwInternetStatus);
      }
      break;
  }
  return ret;
}
