// Texts that came from the network, made safe to print on a terminal: a
// site must not be able to move the cursor, rewrite earlier lines or set the
// window title through a value it sends.
#ifndef QMX_CONFWEBA_CLI_PRINTABLE_H
#define QMX_CONFWEBA_CLI_PRINTABLE_H

#include <string>

namespace confweba {

// Every control character written as an escape: "\r", "\n", "\t", and
// "\xNN" for the other C0 controls and DEL; the C1 controls in UTF-8
// (U+0080 to U+009F) as "\u00NN". Other bytes, backslashes included, stay.
std::string Printable(const std::string& text);

}  // namespace confweba

#endif
