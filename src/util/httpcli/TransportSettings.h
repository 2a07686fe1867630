// Process-wide choices of the transport that a host may change through the
// module's extension calls (qmxconfweba_ext.h): how strictly HTTPS servers are
// checked, the time limits, and what ended the last request, for a host that
// wants to tell its user more than a result code.
#ifndef QMX_HTTPCLI_TRANSPORTSETTINGS_H
#define QMX_HTTPCLI_TRANSPORTSETTINGS_H

#include "windows.h"

namespace TransportSettings {

// False (the default): certificates and HTTPS-to-HTTP redirects are checked.
bool RelaxedTls();
void SetRelaxedTls(bool relaxed);

// Milliseconds; 0 means the default.
DWORD ConnectTimeoutMs();      // 0: the transport's own default
DWORD SyncConnectTimeoutMs();  // the connect limit of synchronous requests (6000 unless set)
DWORD StallTimeoutMs();        // synchronous requests: the longest wait for a byte (30000 unless set)
DWORD TotalTimeoutMs();        // 0: none
void SetTimeouts(DWORD connectMs, DWORD stallMs, DWORD totalMs);

// What ended the last request that finished.
struct Diagnosis {
  DWORD internetError;
  DWORD httpStatus;
  int systemError;
};
void SetDiagnosis(const Diagnosis& d);
Diagnosis LastDiagnosis();

// The addresses the last invitation request carried.
void SetInviteCount(int count);
int InviteCount();

}  // namespace TransportSettings

#endif
