// Short English texts for every result the conference module can report,
// as the confweba host shows them. The module's own GetErrorText table gives
// other meanings to 4002 and 4003, so the host keeps its own.
#ifndef QMX_CONFWEBA_CLI_ERRORTEXT_H
#define QMX_CONFWEBA_CLI_ERRORTEXT_H

#include <string>

namespace confweba {

// The host's own result for a download that arrived but left no file.
const int kResultFileNotWritten = 5001;

// "" for 0; a text for every known code; "unexpected error" otherwise.
std::string ErrorText(int result);

}  // namespace confweba

#endif
