// MultiByteToWideChar and WideCharToMultiByte. UTF-8 is coded here, since its
// error handling must follow Windows exactly (one U+FFFD per maximal invalid
// subpart); the locale's legacy character sets go through iconv.
#include <errno.h>
#include <iconv.h>
#include <string.h>

#include <new>
#include <string>

#include "qmxlocale.h"
#include "windows.h"

namespace {

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
const char kUtf16[] = "UTF-16LE";
#else
const char kUtf16[] = "UTF-16BE";
#endif

const char16_t kReplacement = 0xFFFD;

// What a code page number stands for: UTF-8, or an iconv character set.
struct Charset {
  bool utf8 = false;
  bool ansi = false;  // CP_ACP and its aliases: defaults and flags as for ANSI
  std::string name;
};

bool ResolveCodePage(UINT codePage, Charset& out) {
  if (codePage == CP_UTF8) {
    out.utf8 = true;
    return true;
  }
  if (codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP) {
    char name[64];
    out.ansi = true;
    if (QmxAnsiCharset(name, sizeof(name)) < 0) {
      out.utf8 = true;
      return true;
    }
    out.name = name;
  } else {
    if (codePage == 2 || codePage == 42 || codePage == 65000) return false;  // MAC, SYMBOL, UTF-7
    out.name = "CP" + std::to_string(codePage);
  }
  if (strcasecmp(out.name.c_str(), "UTF-8") == 0 || strcasecmp(out.name.c_str(), "UTF8") == 0) out.utf8 = true;
  return true;
}

// An iconv descriptor closed on scope exit.
class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (ok()) iconv_close(m_cd);
  }
  bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return m_cd; }

 private:
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  iconv_t m_cd;
};

// Where a UTF converter writes: every unit is counted, and stored while it
// fits the caller's buffer (none when only the count is asked for).
template <typename Unit>
class Output {
 public:
  Output(Unit* buffer, size_t capacity) : m_buffer(buffer), m_capacity(buffer ? capacity : 0), m_count(0) {}
  void Put(Unit u) {
    if (m_count < m_capacity) m_buffer[m_count] = u;
    ++m_count;
  }
  // A run of ASCII characters, one unit each.
  template <typename Source>
  void PutAscii(const Source* s, size_t n) {
    if (m_count < m_capacity) {
      size_t room = m_capacity - m_count;
      size_t k = n < room ? n : room;
      Unit* d = m_buffer + m_count;
      for (size_t i = 0; i < k; ++i) d[i] = static_cast<Unit>(s[i]);
    }
    m_count += n;
  }
  size_t count() const { return m_count; }

 private:
  Unit* m_buffer;
  size_t m_capacity;
  size_t m_count;
};

void PutCodePoint(Output<char16_t>& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.Put(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.Put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.Put(static_cast<char16_t>(cp));
  }
}

// UTF-8 to UTF-16. Each maximal subpart of an ill-formed sequence becomes one
// U+FFFD, or fails the whole call when strict.
bool DecodeUtf8(const unsigned char* s, size_t n, bool strict, Output<char16_t>& out) {
  size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    if (b < 0x80) {
      size_t j = i + 1;
      while (j < n && s[j] < 0x80) ++j;
      out.PutAscii(s + i, j - i);
      i = j;
      continue;
    }
    int need;
    unsigned char lower = 0x80, upper = 0xBF;
    char32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      cp = b & 0x0F;
      if (b == 0xE0) lower = 0xA0;
      if (b == 0xED) upper = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      cp = b & 0x07;
      if (b == 0xF0) lower = 0x90;
      if (b == 0xF4) upper = 0x8F;  // nothing above U+10FFFF
    } else {
      if (strict) return false;
      out.Put(kReplacement);
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool valid = true;
    for (int k = 0; k < need; ++k, ++j) {
      if (j >= n || s[j] < lower || s[j] > upper) {
        valid = false;
        break;
      }
      cp = (cp << 6) | (s[j] & 0x3F);
      lower = 0x80;
      upper = 0xBF;
    }
    if (!valid) {
      if (strict) return false;
      out.Put(kReplacement);
      i = j;  // the lead byte and the continuation bytes that fitted
      continue;
    }
    PutCodePoint(out, cp);
    i = j;
  }
  return true;
}

void PutUtf8(Output<char>& out, char32_t cp) {
  if (cp < 0x80) {
    out.Put(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.Put(static_cast<char>(0xC0 | (cp >> 6)));
    out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.Put(static_cast<char>(0xE0 | (cp >> 12)));
    out.Put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.Put(static_cast<char>(0xF0 | (cp >> 18)));
    out.Put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.Put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.Put(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD, or fails when strict.
bool EncodeUtf8(const char16_t* s, size_t n, bool strict, Output<char>& out) {
  for (size_t i = 0; i < n; ++i) {
    char16_t u = s[i];
    if (u < 0x80) {
      size_t j = i + 1;
      while (j < n && s[j] < 0x80) ++j;
      out.PutAscii(s + i, j - i);
      i = j - 1;
    } else if (IsHighSurrogate(u) && i + 1 < n && IsLowSurrogate(s[i + 1])) {
      PutUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      if (strict) return false;
      PutUtf8(out, kReplacement);
    } else {
      PutUtf8(out, u);
    }
  }
  return true;
}

int Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

// Runs a UTF converter for a Windows conversion call: only counting when
// capacity is 0, else straight into the caller's buffer. The result is the
// count, or 0 with the Windows error: an invalid input when strict (checked
// before anything is written), or a buffer too small (which then holds as
// much of the result as fits).
template <typename Unit, typename Convert>
int ConvertUtf(Convert convert, bool strict, Unit* buffer, int capacity, bool* invalid = nullptr) {
  if (strict || capacity == 0) {
    Output<Unit> counted(nullptr, 0);
    if (!convert(strict, counted)) {
      if (invalid) *invalid = true;
      return Fail(ERROR_NO_UNICODE_TRANSLATION);
    }
    if (counted.count() > 0x7FFFFFFF) return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (capacity == 0) return static_cast<int>(counted.count());
  }
  Output<Unit> out(buffer, static_cast<size_t>(capacity));
  convert(false, out);  // valid input, when strict: the same units
  if (out.count() > static_cast<size_t>(capacity)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  return static_cast<int>(out.count());
}

// Runs iconv over the whole input. At an input position iconv cannot convert,
// onBad decides how many input bytes to skip and what to emit instead; it
// returns 0 to fail the conversion. The output is raw bytes.
template <typename OnBad>
bool RunIconv(iconv_t cd, const char* in, size_t inLeft, std::string& out, OnBad onBad) {
  char chunk[1024];
  char* inPtr = const_cast<char*>(in);
  for (;;) {
    // With the input used up, one more call writes what a stateful character
    // set needs to return to its initial state.
    const bool flush = inLeft == 0;
    char* outPtr = chunk;
    size_t outLeft = sizeof(chunk);
    size_t r = flush ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft) : iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    int err = errno;
    out.append(chunk, static_cast<size_t>(outPtr - chunk));
    if (r != static_cast<size_t>(-1)) {
      if (flush) return true;
      continue;
    }
    if (err == E2BIG) continue;
    if (flush || (err != EILSEQ && err != EINVAL)) return false;
    // EILSEQ: an invalid or unmappable sequence; EINVAL: cut short at the end.
    size_t skip = onBad(inPtr, inLeft, err == EINVAL, out);
    if (skip == 0) return false;
    if (skip > inLeft) skip = inLeft;
    inPtr += skip;
    inLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial shift state
  }
}

bool DecodeIconv(const std::string& charset, const char* s, size_t n, bool strict, std::u16string& out, bool& opened) {
  IconvHandle cd(kUtf16, charset.c_str());
  opened = cd.ok();
  if (!opened) return false;
  std::string bytes;
  bool ok = RunIconv(cd.get(), s, n, bytes, [&](const char*, size_t left, bool truncated, std::string& o) -> size_t {
    if (strict) return 0;
    o.append(reinterpret_cast<const char*>(&kReplacement), sizeof(kReplacement));
    // An invalid byte is skipped alone, so that what follows it still counts;
    // a sequence cut short by the end of the input is one bad character.
    return truncated ? left : 1;
  });
  if (!ok) return false;
  out.assign(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / sizeof(char16_t));
  return true;
}

bool EncodeIconv(const std::string& charset, const char16_t* s, size_t n, const std::string& defaultChar,
                 std::string& out, bool& usedDefault, bool& opened) {
  IconvHandle cd(charset.c_str(), kUtf16);
  opened = cd.ok();
  if (!opened) return false;
  return RunIconv(cd.get(), reinterpret_cast<const char*>(s), n * sizeof(char16_t), out,
                  [&](const char* at, size_t left, bool, std::string& o) -> size_t {
                    if (left < sizeof(char16_t)) return left;  // half a unit: cannot happen, drop it
                    char16_t units[2] = {0, 0};
                    memcpy(&units[0], at, sizeof(char16_t));
                    if (left >= 2 * sizeof(char16_t)) memcpy(&units[1], at + sizeof(char16_t), sizeof(char16_t));
                    o += defaultChar;
                    usedDefault = true;
                    // A whole surrogate pair the target lacks is one character.
                    bool pair = IsHighSurrogate(units[0]) && IsLowSurrogate(units[1]);
                    return (pair ? 2 : 1) * sizeof(char16_t);
                  });
}

}  // namespace

extern "C" {

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && !lpWideCharStr) ||
      (lpWideCharStr && static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)))
    return Fail(ERROR_INVALID_PARAMETER);
  Charset cs;
  if (!ResolveCodePage(CodePage, cs)) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD allowed = (CodePage == CP_UTF8)
                            ? MB_ERR_INVALID_CHARS
                            : (MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS);
  if ((dwFlags & ~allowed) || ((dwFlags & MB_PRECOMPOSED) && (dwFlags & MB_COMPOSITE)))
    return Fail(ERROR_INVALID_FLAGS);
  const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
  // -1: up to and including the terminating NUL. A length: every byte of it,
  // NULs included, so the output holds the same NULs.
  size_t length = cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
  auto decodeUtf8 = [bytes, length](bool st, Output<char16_t>& out) { return DecodeUtf8(bytes, length, st, out); };
  if (cs.utf8) return ConvertUtf(decodeUtf8, strict, lpWideCharStr, cchWideChar);
  try {
    std::u16string wide;
    bool opened;
    bool ok = DecodeIconv(cs.name, lpMultiByteStr, length, strict, wide, opened);
    if (!opened) {
      if (!cs.ansi) return Fail(ERROR_INVALID_PARAMETER);                 // a code page iconv does not know
      return ConvertUtf(decodeUtf8, strict, lpWideCharStr, cchWideChar);  // an unknown locale code set: UTF-8
    }
    if (!ok) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    if (wide.size() > 0x7FFFFFFF) return Fail(ERROR_INSUFFICIENT_BUFFER);
    int needed = static_cast<int>(wide.size());
    if (cchWideChar == 0) return needed;
    if (needed > cchWideChar) {
      memcpy(lpWideCharStr, wide.data(), static_cast<size_t>(cchWideChar) * sizeof(WCHAR));
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(WCHAR));
    return needed;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
      (cbMultiByte > 0 && !lpMultiByteStr) ||
      (lpMultiByteStr && static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)))
    return Fail(ERROR_INVALID_PARAMETER);
  Charset cs;
  if (!ResolveCodePage(CodePage, cs)) return Fail(ERROR_INVALID_PARAMETER);
  if (CodePage == CP_UTF8) {
    // UTF-8 has no default character; asking for one is an error.
    if (lpDefaultChar || lpUsedDefaultChar) return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) return Fail(ERROR_INVALID_FLAGS);
  } else {
    const DWORD allowed = WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS;
    if (dwFlags & ~allowed) return Fail(ERROR_INVALID_FLAGS);
  }
  const bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
  size_t length;
  if (cchWideChar == -1) {
    length = 0;
    while (lpWideCharStr[length]) ++length;
    ++length;  // the NUL is converted too
  } else {
    length = static_cast<size_t>(cchWideChar);
  }
  auto encodeUtf8 = [lpWideCharStr, length](bool st, Output<char>& out) {
    return EncodeUtf8(lpWideCharStr, length, st, out);
  };
  // Straight to UTF-8 (no character lacks a mapping there, so the default
  // character is never used).
  auto toUtf8 = [&](bool st) -> int {
    bool invalid = false;
    int n = ConvertUtf(encodeUtf8, st, lpMultiByteStr, cbMultiByte, &invalid);
    if (!invalid && lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
    return n;
  };
  if (cs.utf8) return toUtf8(strict);
  try {
    std::string bytes;
    bool usedDefault = false;
    // The default character is one character: one byte, or two for a
    // double-byte lead.
    std::string defaultChar = "?";
    if (lpDefaultChar && *lpDefaultChar) {
      size_t n = (static_cast<unsigned char>(lpDefaultChar[0]) >= 0x80 && lpDefaultChar[1]) ? 2 : 1;
      defaultChar.assign(lpDefaultChar, n);
    }
    bool opened;
    bool ok = EncodeIconv(cs.name, lpWideCharStr, length, defaultChar, bytes, usedDefault, opened);
    if (!opened) {
      if (!cs.ansi) return Fail(ERROR_INVALID_PARAMETER);
      return toUtf8(false);
    }
    if (!ok) return Fail(ERROR_NO_UNICODE_TRANSLATION);
    if (lpUsedDefaultChar) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    if (bytes.size() > 0x7FFFFFFF) return Fail(ERROR_INSUFFICIENT_BUFFER);
    int needed = static_cast<int>(bytes.size());
    if (cbMultiByte == 0) return needed;
    if (needed > cbMultiByte) {
      memcpy(lpMultiByteStr, bytes.data(), static_cast<size_t>(cbMultiByte));
      return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(lpMultiByteStr, bytes.data(), bytes.size());
    return needed;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

}  // extern "C"
