// Query values as the module encodes them: from the local code page to UTF-8
// (through UTF-16) and then form encoding, under several locale character
// sets; ASan sees any write past the conversions' buffers.
//
// Input: one byte choosing the locale, then the text.
#include <cctype>
#include <cstring>

#include "FakeWininet.h"
#include "FuzzCommon.h"
#include "httpclient.h"
#include "qmxlocale.h"
#include "webaccess.h"

namespace {

const char* const kLocales[] = {"C.UTF-8", "zh_CN.GBK", "ja_JP", "en_US", "zh_TW.BIG5", "ru_RU.KOI8-R", "C"};

// True when s is well-formed UTF-8 (no overlong forms, no surrogates).
bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    const size_t n = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 4;
    if (n == 4 || i + n >= s.size() + (n == 0)) return false;
    uint32_t cp = n ? c & (0x3F >> n) : c;
    for (size_t k = 1; k <= n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

// Letters and digits travel as they are, blanks as '+', everything else as
// %XX (upper-case hex); decoded, the text up to its first zero byte comes
// back, with every white-space character a blank.
void CheckEncoded(const std::string& in, const std::string& enc) {
  std::string back;
  for (size_t i = 0; i < enc.size(); ++i) {
    const unsigned char c = enc[i];
    if (c == '%') {
      const std::string hex = enc.substr(i + 1, 2);
      QMX_FUZZ_CHECK(hex.size() == 2 && std::strspn(hex.c_str(), "0123456789ABCDEF") == 2, enc);
      back += static_cast<char>(std::stoi(hex, nullptr, 16));
      QMX_FUZZ_CHECK(!std::isalnum(static_cast<unsigned char>(back.back())), enc);
      i += 2;
    } else {
      QMX_FUZZ_CHECK(c == '+' || std::isalnum(c), enc);
      back += c == '+' ? ' ' : static_cast<char>(c);
    }
  }
  std::string spaced = in.substr(0, in.find('\0'));
  for (char& c : spaced)
    if (std::strchr("\t\n\v\f\r", c)) c = ' ';
  QMX_FUZZ_CHECK(back == spaced, enc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  const char* locale = kLocales[data[0] % (sizeof kLocales / sizeof kLocales[0])];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  setenv("LC_ALL", locale, 1);
  QmxLocaleResetCache();  // CP_ACP is otherwise fixed at its first use

  // The module's path for one query value.
  const std::string utf8 = CWebAccessBase::AnsiToUtf8(text);
  QMX_FUZZ_CHECK(utf8.find('\0') == std::string::npos && ValidUtf8(utf8), "AnsiToUtf8 gave malformed UTF-8");
  CheckEncoded(utf8, CHttpClient::Instance()->UrlEncode(utf8));
  CheckEncoded(text, CHttpClient::Instance()->UrlEncode(text));
  // Replies come the other way; a UTF-8 locale leaves valid UTF-8 as it is.
  const std::string ansi = CWebAccessBase::Utf8ToAnsi(text);
  if (!std::strcmp(locale, "C.UTF-8") && ValidUtf8(text) && text.find('\0') == std::string::npos)
    QMX_FUZZ_CHECK(utf8 == text && ansi == text, "UTF-8 locale changed a valid text");
  return 0;
}
