// Short English texts for every result the conference module can report,
// as the confweba host shows them (the host column of ConfWebaResultList.h),
// and for the transport's cause of a failure.
#ifndef QMX_CONFWEBA_CLI_ERRORTEXT_H
#define QMX_CONFWEBA_CLI_ERRORTEXT_H

#include <string>

#include "ConfWebaResults.h"
#include "qmxconfweba_ext.h"

namespace confweba {

// "" for 0; a text for every code something returns; "unexpected error"
// otherwise.
std::string ErrorText(int result);

// Why a request failed, as far as the transport knows: the local file error
// of a download first ("disk full" for ENOSPC, else strerror), then the
// WinINet error ("connection refused", "host not found", ..., or "WinINet
// error N"), then an HTTP status of 400 or more ("HTTP status 404"). "" when
// the diagnosis holds none of these.
std::string CauseText(const QmxConfWebaDiagnosis& diagnosis);

// CauseText of the module's diagnosis of its last finished request.
std::string LastCause();

}  // namespace confweba

#endif
