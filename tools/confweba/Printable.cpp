#include "Printable.h"

#include <stdio.h>

namespace confweba {

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  char buf[8];
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      // U+0080..U+009F: some terminals take U+009B as a CSI.
      snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
      out += buf;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace confweba
