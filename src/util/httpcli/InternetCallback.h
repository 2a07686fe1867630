// Carrying WinINet's status reports onto the owner thread.
#ifndef QMX_HTTPCLI_INTERNETCALLBACK_H
#define QMX_HTTPCLI_INTERNETCALLBACK_H

#include "qmxframework.h"
#include "wininet.h"

// WinINet's status callback, on WinINet's threads: packs the report into a
// CInternetCallbackEvent and posts it to the owner thread's queue. Touches no
// request or site.
void CALLBACK MyInternetCallback(HINTERNET hInternet, DWORD_PTR dwContext, DWORD dwInternetStatus,
                                 LPVOID lpvStatusInformation, DWORD dwStatusInformationLength);

// One WinINet report, run on the owner thread: records the status on the
// request named by dwContext (its key) and hands completions and
// disconnects to the request's site.
class CInternetCallbackEvent : public IRtEvent {
 public:
  CInternetCallbackEvent(DWORD aContext, DWORD aInternetStatus, int aResult, DWORD aError = 0)
      : dwContext(aContext), dwInternetStatus(aInternetStatus), m_result(aResult), dwError(aError) {}
  int OnEventFire() override;

  DWORD dwContext;
  DWORD dwInternetStatus;
  int m_result;
  DWORD dwError;  // the completion's WinINet error, 0 when it went well
};

#endif
