// The module's extension calls (qmxconfweba_ext.h): thin C entry points over
// the transport's process-wide settings.
#include <string.h>

#include "ConfWebaImp.h"
#include "TransportSettings.h"
#include "qmxconfweba_ext.h"
#include "qmxwininet_ext.h"

extern "C" {

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

}  // extern "C"
