// The module's extension calls (qmxconfweba_ext.h): thin C entry points over
// the transport's process-wide settings.
#include <string.h>

#include <mutex>

#include "ConfWebaImp.h"
#include "ResponseRecord.h"
#include "TransportSettings.h"
#include "qmxconfweba_ext.h"
#include "qmxwininet_ext.h"

namespace {

// The host's credential prompt, called through the WinINet layer's prompt.
std::mutex s_promptLock;
QmxConfWebaCredentialPrompt s_prompt = nullptr;
void* s_promptContext = nullptr;

BOOL CALLBACK AskHost(const QMX_CREDENTIAL_REQUEST* request, LPSTR user, DWORD userSize, LPSTR password,
                      DWORD passwordSize, LPVOID) {
  QmxConfWebaCredentialPrompt prompt;
  void* context;
  {
    std::lock_guard<std::mutex> lock(s_promptLock);
    prompt = s_prompt;
    context = s_promptContext;
  }
  if (!prompt || !request) return FALSE;
  const QmxConfWebaCredentialRequest asked = {request->fProxy ? 1 : 0,
                                              request->lpszHost ? request->lpszHost : "",
                                              request->nPort,
                                              request->lpszRealm ? request->lpszRealm : "",
                                              request->lpszScheme ? request->lpszScheme : "",
                                              request->lpszUserName ? request->lpszUserName : ""};
  return prompt(context, &asked, user, userSize, password, passwordSize) != 0 ? TRUE : FALSE;
}

}  // namespace

extern "C" {

void QmxConfWebaSetCredentialPrompt(QmxConfWebaCredentialPrompt prompt, void* context) {
  RT_INFO_TRACE("QmxConfWebaSetCredentialPrompt, prompt=" << (prompt ? "set" : "none"));
  {
    std::lock_guard<std::mutex> lock(s_promptLock);
    s_prompt = prompt;
    s_promptContext = context;
  }
  QmxInternetSetCredentialPrompt(prompt ? &AskHost : nullptr, nullptr);
}

void QmxConfWebaSetRecordDir(const char* dir) {
  RT_INFO_TRACE("QmxConfWebaSetRecordDir, dir=" << (dir ? dir : "(null)"));
  SetHostRecordDir(dir);
}

void QmxConfWebaSetRelaxedTls(int relaxed) {
  RT_WARNING_TRACE("QmxConfWebaSetRelaxedTls, relaxed=" << relaxed);
  TransportSettings::SetRelaxedTls(relaxed != 0);
}

int QmxConfWebaGetRelaxedTls(void) { return TransportSettings::RelaxedTls() ? 1 : 0; }

int QmxConfWebaSetTrustedCertificates(const char* pemFile) {
  RT_INFO_TRACE("QmxConfWebaSetTrustedCertificates, pemFile=" << (pemFile ? pemFile : "(null)"));
  return QmxInternetSetTrustedCertificates(pemFile) ? 0 : -1;
}

void QmxConfWebaSetTimeouts(const QmxConfWebaTimeouts* timeouts) {
  if (!timeouts) {
    TransportSettings::SetTimeouts(0, 0, 0);
    return;
  }
  RT_INFO_TRACE("QmxConfWebaSetTimeouts, connectMs=" << timeouts->connectMs << ",stallMs=" << timeouts->stallMs
                                                     << ",totalMs=" << timeouts->totalMs);
  TransportSettings::SetTimeouts(timeouts->connectMs, timeouts->stallMs, timeouts->totalMs);
}

void QmxConfWebaGetTimeouts(QmxConfWebaTimeouts* timeouts) {
  if (!timeouts) return;
  timeouts->connectMs = TransportSettings::ConnectTimeoutMs();
  timeouts->stallMs = TransportSettings::StallTimeoutMs();
  timeouts->totalMs = TransportSettings::TotalTimeoutMs();
}

void QmxConfWebaGetLastDiagnosis(QmxConfWebaDiagnosis* diagnosis) {
  if (!diagnosis) return;
  const TransportSettings::Diagnosis d = TransportSettings::LastDiagnosis();
  diagnosis->internetError = d.internetError;
  diagnosis->httpStatus = d.httpStatus;
  diagnosis->systemError = d.systemError;
}

int QmxConfWebaLastInviteCount(void) { return TransportSettings::InviteCount(); }

int QmxConfWebaFileNameFromUrl(const char* url, char* name, unsigned int size) {
  if (!url || !name || size == 0) return -1;
  try {  // nothing thrown crosses into a C caller
    const CRtString file = CConfWebaImp::FileNameOf(url);
    if (file.size() + 1 > size) return -1;
    memcpy(name, file.c_str(), file.size() + 1);
    return static_cast<int>(file.size());
  } catch (...) {
    return -1;
  }
}

unsigned QmxConfWebaStartDownload(const char* url, const char* folder, const char* name, const QmxDownloadSink* sink) {
  TransportSettings::SetDiagnosis({0, 0, 0});
  if (!url || !folder || !sink) return 0;
  try {
    CConfWebaImp* imp = static_cast<CConfWebaImp*>(IConfWeba::Instance());
    return imp ? imp->StartDownload(url, folder, name ? name : "", *sink) : 0;
  } catch (...) {
    return 0;
  }
}

int QmxConfWebaCancelDownload(unsigned id) {
  try {
    CConfWebaImp* imp = static_cast<CConfWebaImp*>(IConfWeba::Instance());
    return imp ? imp->CancelDownload(id) : 0;
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
