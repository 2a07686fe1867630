// Short English texts for every result the conference module can report,
// as the confweba host shows them, and for the transport's cause of a
// failure. The module's own GetErrorText table gives other meanings to 4002
// and 4003, so the host keeps its own.
#ifndef QMX_CONFWEBA_CLI_ERRORTEXT_H
#define QMX_CONFWEBA_CLI_ERRORTEXT_H

#include <string>

#include "qmxconfweba_ext.h"

namespace confweba {

// The host's own result for a download that arrived but left no file.
const int kResultFileNotWritten = 5001;

// "" for 0; a text for every known code; "unexpected error" otherwise.
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
