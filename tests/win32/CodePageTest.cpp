// MultiByteToWideChar / WideCharToMultiByte: UTF-8 and the locale's legacy
// character sets, the counting calls and the Windows error contracts.
#include <stdlib.h>

#include <functional>
#include <ostream>
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

// The ANSI character set is read once per process: a change of the
// environment takes effect through the reset hook.
void SetLocaleVariable(const char* name, const char* value) {
  setenv(name, value, 1);
  QmxLocaleResetCache();
}

class CodePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("LC_ALL");
    unsetenv("LC_CTYPE");
    unsetenv("LANG");
    QmxLocaleResetCache();
  }
};

TEST_F(CodePageTest, Utf8RoundTripIncludingSupplementaryPlane) {
  const std::string text = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";  // a é 中 😀 z
  std::u16string wide = ToWide(CP_UTF8, text);
  EXPECT_EQ(u"a\u00e9\u4e2d\U0001F600z", wide);
  EXPECT_EQ(text, ToBytes(CP_UTF8, wide));
}

TEST_F(CodePageTest, MinusOneCountsTheNulAndALengthKeepsInnerNuls) {
  WCHAR buf[8];
  EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "ab", -1, nullptr, 0));
  ASSERT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "ab", -1, buf, 8));
  EXPECT_EQ(u'\0', buf[2]);
  // Four bytes with a NUL inside: all four are converted, so a caller that
  // takes the result as a C string sees it end at the NUL.
  ASSERT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "ab\0c", 4, buf, 8));
  EXPECT_EQ(u'\0', buf[2]);
  EXPECT_EQ(u'c', buf[3]);
  char out[8];
  ASSERT_EQ(3, WideCharToMultiByte(CP_UTF8, 0, buf, -1, out, 8, nullptr, nullptr));
  EXPECT_STREQ("ab", out);
}

struct InvalidUtf8Case {
  const char* name;
  const char* bytes;
  const char16_t* expected;
};
void PrintTo(const InvalidUtf8Case& c, std::ostream* os) { *os << c.name; }

class InvalidUtf8Test : public ::testing::TestWithParam<InvalidUtf8Case> {};

// One U+FFFD per maximal ill-formed subpart; what follows is still decoded.
TEST_P(InvalidUtf8Test, BecomesReplacementCharacters) {
  EXPECT_EQ(std::u16string(GetParam().expected), ToWide(CP_UTF8, GetParam().bytes));
}

INSTANTIATE_TEST_SUITE_P(Sequences, InvalidUtf8Test,
                         ::testing::Values(InvalidUtf8Case{"never valid",
                                                           "a\xFF"
                                                           "b",
                                                           u"a\uFFFDb"},
                                           InvalidUtf8Case{"overlong", "\xC0\xAF", u"\uFFFD\uFFFD"},
                                           InvalidUtf8Case{"cut short", "\xE4\xB8z", u"\uFFFDz"},
                                           InvalidUtf8Case{"surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                                           InvalidUtf8Case{"above U+10FFFF", "\xF4\x90\x80\x80",
                                                           u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                                           InvalidUtf8Case{"cut at the end", "x\xF0\x9F\x98", u"x\uFFFD"},
                                           InvalidUtf8Case{"stray continuation", "\x80\x80", u"\uFFFD\uFFFD"}));

TEST_F(CodePageTest, StrictFlagsFailOnInvalidInput) {
  WCHAR wide[4];
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, wide, 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());

  const char16_t lone[] = {u'a', 0xD800, u'b'};
  EXPECT_EQ(
      "a\xEF\xBF\xBD"
      "b",
      ToBytes(CP_UTF8, std::u16string(lone, 3)));
  char out[8];
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 3, out, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST_F(CodePageTest, BadArgumentsGiveWindowsErrors) {
  WCHAR wide[2];
  char bytes[2];
  struct Case {
    const char* what;
    std::function<int()> call;
    DWORD error;
  };
  const Case cases[] = {
      {"null input", [&] { return MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, wide, 2); }, ERROR_INVALID_PARAMETER},
      {"zero length", [&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 2); }, ERROR_INVALID_PARAMETER},
      {"flag for UTF-8", [&] { return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", 3, wide, 2); },
       ERROR_INVALID_FLAGS},
      {"short output", [&] { return MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, 2); }, ERROR_INSUFFICIENT_BUFFER},
      {"unknown code page", [&] { return MultiByteToWideChar(424242, 0, "abc", 3, wide, 2); }, ERROR_INVALID_PARAMETER},
      {"UTF-8 default char", [&] { return WideCharToMultiByte(CP_UTF8, 0, u"ab", 2, bytes, 2, "?", nullptr); },
       ERROR_INVALID_PARAMETER},
      {"short bytes", [&] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, bytes, 2, nullptr, nullptr); },
       ERROR_INSUFFICIENT_BUFFER},
      {"strict flag for ANSI",
       [&] { return WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, u"abc", 3, bytes, 2, nullptr, nullptr); },
       ERROR_INVALID_FLAGS},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(0, c.call()) << c.what;
    EXPECT_EQ(c.error, GetLastError()) << c.what;
  }
}

TEST_F(CodePageTest, AnsiIsUtf8WithoutALocale) {
  for (const char* lang : {"", "C", "POSIX", "C.UTF-8"}) {
    SetLocaleVariable("LANG", lang);
    EXPECT_EQ(u"\u4e2d", ToWide(CP_ACP, "\xE4\xB8\xAD")) << lang;
  }
}

TEST_F(CodePageTest, GbkRoundTripUnderZhCnGbk) {
  SetLocaleVariable("LANG", "zh_CN.GBK");
  const std::string gbk = "A\xD6\xD0\xCE\xC4";  // A中文
  std::u16string wide = ToWide(CP_ACP, gbk);
  EXPECT_EQ(u"A\u4e2d\u6587", wide);
  BOOL used = TRUE;
  EXPECT_EQ(gbk, ToBytes(CP_ACP, wide, &used));
  EXPECT_FALSE(used);
}

TEST_F(CodePageTest, GbkInvalidBytesAndUnmappableCharacters) {
  SetLocaleVariable("LANG", "zh_CN.GBK");
  // A lead byte with a bad trail byte loses only itself; a lead byte at the
  // very end becomes one U+FFFD.
  EXPECT_EQ(u"\uFFFD A\uFFFD", ToWide(CP_ACP,
                                      "\x81\x20"
                                      "A\xD6"));
  // Thai and an emoji (a surrogate pair, one character) are not in GBK.
  BOOL used = FALSE;
  EXPECT_EQ("a?b?c", ToBytes(CP_ACP, u"a\u0e01b\U0001F600c", &used));
  EXPECT_TRUE(used);
  EXPECT_EQ("a*b", ToBytes(CP_ACP, u"a\u0e01b", nullptr, "*"));
  // An unpaired surrogate has no mapping either.
  const char16_t lone[] = {u'x', 0xDC00};
  EXPECT_EQ("x?", ToBytes(CP_ACP, std::u16string(lone, 2)));
}

TEST_F(CodePageTest, LocaleWithoutCodeSetUsesItsLegacyCharset) {
  SetLocaleVariable("LANG", "zh_CN");  // GB2312
  EXPECT_EQ(u"\u4e2d", ToWide(CP_ACP, "\xD6\xD0"));
  SetLocaleVariable("LANG", "en_US");  // ISO-8859-1: every byte is a character
  EXPECT_EQ(u"\u00e9\u00ff", ToWide(CP_ACP, "\xE9\xFF"));
  EXPECT_EQ("caf\xE9?", ToBytes(CP_ACP, u"caf\u00e9\u4e2d"));
}

TEST_F(CodePageTest, LcAllThenLcCtypeThenLang) {
  SetLocaleVariable("LANG", "zh_CN.GBK");
  SetLocaleVariable("LC_CTYPE", "ja_JP.eucJP");
  EXPECT_EQ(u"\u65e5", ToWide(CP_ACP, "\xC6\xFC"));  // 日 in EUC-JP
  SetLocaleVariable("LC_ALL", "en_US.UTF-8");
  EXPECT_EQ(u"\u65e5", ToWide(CP_ACP, "\xE6\x97\xA5"));
  SetLocaleVariable("LC_ALL", "");  // empty counts as unset
  EXPECT_EQ(u"\u65e5", ToWide(CP_ACP, "\xC6\xFC"));
}

TEST_F(CodePageTest, AnsiCharsetIsReadOncePerProcess) {
  setenv("LANG", "zh_CN.GBK", 1);
  QmxLocaleResetCache();
  EXPECT_EQ(u"\u4e2d", ToWide(CP_ACP, "\xD6\xD0"));
  setenv("LANG", "en_US.UTF-8", 1);
  EXPECT_EQ(u"\u4e2d", ToWide(CP_ACP, "\xD6\xD0"));  // still GBK
  QmxLocaleResetCache();
  EXPECT_EQ(u"\u4e2d", ToWide(CP_ACP, "\xE4\xB8\xAD"));
}

TEST_F(CodePageTest, UnknownCodeSetFallsBackToUtf8) {
  SetLocaleVariable("LANG", "xx_YY.NO-SUCH-CHARSET");
  EXPECT_EQ(u"\u4e2d", ToWide(CP_ACP, "\xE4\xB8\xAD"));
}

}  // namespace
