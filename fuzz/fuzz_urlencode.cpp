// Query values as the module encodes them: from the local code page to UTF-8
// (through UTF-16) and then form encoding, and the code-page conversions
// underneath, under several locale character sets.
//
// Input: one byte choosing the locale, then the text. With the last locale
// choice the first line of the text is the locale name itself.
#include <cctype>
#include <cstring>

#include "FakeWininet.h"
#include "FuzzCommon.h"
#include "httpclient.h"
#include "qmxlocale.h"
#include "webaccess.h"
#include "windows.h"

namespace {

const char* const kLocales[] = {"C.UTF-8", "zh_CN.GBK", "ja_JP", "en_US", "zh_TW.BIG5", "ru_RU.KOI8-R", "C", nullptr};
const size_t kLocaleCount = sizeof kLocales / sizeof kLocales[0];

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

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

void CheckEncoded(const std::string& in, const std::string& enc) {
  const std::string text = in.substr(0, in.find('\0'));
  QMX_FUZZ_CHECK(enc.size() <= 3 * text.size(), enc);
  std::string back;
  for (size_t i = 0; i < enc.size(); ++i) {
    const char c = enc[i];
    if (c == '%') {
      QMX_FUZZ_CHECK(i + 2 < enc.size(), enc);
      QMX_FUZZ_CHECK(IsHex(enc[i + 1]) && IsHex(enc[i + 2]), enc);
      const char escaped = static_cast<char>(std::stoi(enc.substr(i + 1, 2), nullptr, 16));
      // Letters and digits never travel escaped.
      QMX_FUZZ_CHECK(!std::isalnum(static_cast<unsigned char>(escaped)), enc);
      back += escaped;
      i += 2;
    } else if (c == '+') {
      back += ' ';
    } else {
      QMX_FUZZ_CHECK(std::isalnum(static_cast<unsigned char>(c)), enc);
      back += c;
    }
  }
  std::string spaced = text;
  for (char& c : spaced)
    if (c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r') c = ' ';
  QMX_FUZZ_CHECK(back == spaced, enc);
}

// The Windows contract: a counting call, then an exact-size call giving the
// same count, and a buffer one unit short refused without writing past it.
void CheckConversions(UINT cp, const std::string& text) {
  const int len = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(cp, 0, text.data(), len, nullptr, 0);
  if (n <= 0) return;
  std::vector<WCHAR> wide(n);
  QMX_FUZZ_CHECK(MultiByteToWideChar(cp, 0, text.data(), len, wide.data(), n) == n, "wide count");
  if (n > 1) {
    std::vector<WCHAR> shortBuf(n - 1);
    QMX_FUZZ_CHECK(MultiByteToWideChar(cp, 0, text.data(), len, shortBuf.data(), n - 1) == 0, "short wide buffer");
    QMX_FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER, std::to_string(GetLastError()));
  }
  const int m = WideCharToMultiByte(cp, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return;
  std::vector<char> narrow(m);
  QMX_FUZZ_CHECK(WideCharToMultiByte(cp, 0, wide.data(), n, narrow.data(), m, nullptr, nullptr) == m, "narrow count");
  if (cp == CP_UTF8) QMX_FUZZ_CHECK(ValidUtf8(std::string(narrow.data(), m)), "UTF-8 output");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  const size_t choice = data[0] % kLocaleCount;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string localeName = kLocales[choice] ? kLocales[choice] : "";
  if (!kLocales[choice]) {
    const size_t nl = text.find('\n');
    localeName = text.substr(0, nl);
    text = nl == std::string::npos ? std::string() : text.substr(nl + 1);
    char charset[64];
    QmxLocaleCharset(localeName.c_str(), charset, sizeof charset);
    QmxLocaleLangId(localeName.c_str());
  }
  setenv("LC_ALL", localeName.c_str(), 1);
  QmxLocaleResetCache();  // CP_ACP is otherwise fixed at its first use

  // The module's path for one query value.
  const std::string utf8 = CWebAccessBase::AnsiToUtf8(text);
  QMX_FUZZ_CHECK(utf8.find('\0') == std::string::npos, "zero byte in a converted text");
  QMX_FUZZ_CHECK(ValidUtf8(utf8), "AnsiToUtf8 gave malformed UTF-8");
  CheckEncoded(utf8, CHttpClient::Instance()->UrlEncode(utf8));
  CheckEncoded(text, CHttpClient::Instance()->UrlEncode(text));
  // Replies come the other way.
  const std::string ansi = CWebAccessBase::Utf8ToAnsi(text);
  if (localeName == "C.UTF-8" && ValidUtf8(text) && text.find('\0') == std::string::npos) {
    QMX_FUZZ_CHECK(utf8 == text, "UTF-8 locale changed a valid text");
    QMX_FUZZ_CHECK(ansi == text, "UTF-8 locale changed a valid reply text");
  }

  CheckConversions(CP_ACP, text);
  CheckConversions(CP_UTF8, text);
  CheckConversions(936, text);
  return 0;
}
