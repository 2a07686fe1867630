// MultiByteToWideChar / WideCharToMultiByte: UTF-8 and the locale's legacy
// character sets, the counting calls and the Windows error contracts.
#include <stdlib.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "qmxlocale.h"
#include "windows.h"

namespace {

// Converts with a counting call first, as the module does.
std::u16string ToWide(UINT cp, const std::string& in, DWORD flags = 0) {
  int n = MultiByteToWideChar(cp, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return u"<fail>";
  std::u16string out(static_cast<size_t>(n), u'\0');
  EXPECT_EQ(n, MultiByteToWideChar(cp, flags, in.data(), static_cast<int>(in.size()), &out[0], n));
  return out;
}

std::string ToBytes(UINT cp, const std::u16string& in, BOOL* usedDefault = nullptr, const char* defaultChar = nullptr) {
  int n = WideCharToMultiByte(cp, 0, in.data(), static_cast<int>(in.size()), nullptr, 0, defaultChar, usedDefault);
  if (n <= 0) return "<fail>";
  std::string out(static_cast<size_t>(n), '\0');
  EXPECT_EQ(n,
            WideCharToMultiByte(cp, 0, in.data(), static_cast<int>(in.size()), &out[0], n, defaultChar, usedDefault));
  return out;
}

class CodePageTest : public ::testing::Test {
 protected:
  void SetUp() override { Locale("", "", ""); }
  // The ANSI character set is read once per process: a change of the
  // environment takes effect through the reset hook. Empty counts as unset.
  static void Locale(const char* all, const char* ctype, const char* lang) {
    setenv("LC_ALL", all, 1);
    setenv("LC_CTYPE", ctype, 1);
    setenv("LANG", lang, 1);
    QmxLocaleResetCache();
  }
};

TEST_F(CodePageTest, AnsiFollowsLcAllThenLcCtypeThenLangAndRoundTrips) {
  const struct {
    const char *all, *ctype, *lang, *bytes;
    std::u16string wide;
  } cases[] = {
      {"", "", "", "\xE4\xB8\xAD", u"\u4e2d"},  // no locale: UTF-8
      {"", "", "C.UTF-8", "a\xC3\xA9\xF0\x9F\x98\x80z", u"a\u00e9\U0001F600z"},
      {"", "", "zh_CN.GBK", "A\xD6\xD0\xCE\xC4", u"A\u4e2d\u6587"},
      {"", "", "en_US", "caf\xE9\xFF", u"caf\u00e9\u00ff"},  // ISO-8859-1
      {"", "ja_JP.eucJP", "zh_CN.GBK", "\xC6\xFC", u"\u65e5"},
      {"en_US.UTF-8", "ja_JP.eucJP", "zh_CN.GBK", "\xE6\x97\xA5", u"\u65e5"},
      {"", "", "xx_YY.NO-SUCH-CHARSET", "\xE4\xB8\xAD", u"\u4e2d"},  // unknown: UTF-8
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.all) + "|" + c.ctype + "|" + c.lang);
    Locale(c.all, c.ctype, c.lang);
    EXPECT_EQ(c.wide, ToWide(CP_ACP, c.bytes));
    BOOL used = TRUE;
    EXPECT_EQ(c.bytes, ToBytes(CP_ACP, c.wide, &used));
    EXPECT_FALSE(used);
  }
}

// One U+FFFD per maximal ill-formed UTF-8 subpart, what follows still
// decoded. GBK: a lead byte with a bad trail byte loses only itself, one at
// the very end becomes one U+FFFD; Thai, an emoji (one character) and a lone
// surrogate have no mapping and become the default character.
TEST_F(CodePageTest, InvalidInputBecomesReplacementCharacters) {
  const char16_t lone[] = {u'a', 0xD800, u'b'};
  const struct {
    const char* lang;
    UINT cp;
    std::string bytes;
    std::u16string wide;
    bool toWide, usedDefault;
  } cases[] = {
      {"", CP_UTF8, "a\xFF\x62", u"a\uFFFDb", true, false},
      {"", CP_UTF8, "\xC0\xAF", u"\uFFFD\uFFFD", true, false},                      // overlong
      {"", CP_UTF8, "\xE4\xB8z", u"\uFFFDz", true, false},                          // cut short
      {"", CP_UTF8, "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", true, false},            // surrogate
      {"", CP_UTF8, "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", true, false},  // above U+10FFFF
      {"", CP_UTF8, "a\xEF\xBF\xBD\x62", std::u16string(lone, 3), false, false},
      {"zh_CN.GBK", CP_ACP, "\x81\x20\x41\xD6", u"\uFFFD A\uFFFD", true, false},
      {"zh_CN.GBK", CP_ACP, "a?b?c", u"a\u0e01b\U0001F600c", false, true},
      {"zh_CN.GBK", CP_ACP, "x?", u"x" + std::u16string(lone + 1, 1), false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    Locale("", "", c.lang);
    BOOL used = FALSE;
    if (c.toWide)
      EXPECT_EQ(c.wide, ToWide(c.cp, c.bytes));
    else
      EXPECT_EQ(c.bytes, ToBytes(c.cp, c.wide, c.cp == CP_UTF8 ? nullptr : &used));
    EXPECT_EQ(c.usedDefault, used != FALSE);
  }
}

TEST_F(CodePageTest, BadArgumentsGiveWindowsErrors) {
  WCHAR wide[2];
  char bytes[2];
  const struct {
    const char* what;
    std::function<int()> call;
    DWORD error;
  } cases[] = {
      {"null input", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 2); }, ERROR_INVALID_PARAMETER},
      {"short output", [&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, 2); }, ERROR_INSUFFICIENT_BUFFER},
      {"short bytes", [&] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, bytes, 2, nullptr, nullptr); },
       ERROR_INSUFFICIENT_BUFFER},
      {"strict, invalid UTF-8", [&] { return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, wide, 2); },
       ERROR_NO_UNICODE_TRANSLATION},
      {"strict, lone surrogate",
       [&] { return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, u"a\xD800", 2, bytes, 2, nullptr, nullptr); },
       ERROR_NO_UNICODE_TRANSLATION},
      {"strict flag for ANSI",
       [&] { return WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, u"abc", 3, bytes, 2, nullptr, nullptr); },
       ERROR_INVALID_FLAGS},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(0, c.call()) << c.what;
    EXPECT_EQ(c.error, GetLastError()) << c.what;
  }
}

}  // namespace
