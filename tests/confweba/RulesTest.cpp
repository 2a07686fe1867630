// Rules of the module that no request can reach, tested on the module's
// own sources.
#include <stdlib.h>

#include <gtest/gtest.h>

#include "ConfWebaImp.h"

namespace {

TEST(FileNameRule, LastSegmentDecodedOrTempTmp) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://h/a/loader.exe?v=2", "loader.exe"},
      {"http://h/a/my%20file.bin#top", "my file.bin"},
      {"http://h/files/x?a=/.profile", "x"},
      {"http://h/a/", "temp.tmp"},
      {"http://h", "temp.tmp"},
      {"loader.exe", "temp.tmp"},
      {"http://h/files/.bashrc", "temp.tmp"},
      {"http://h/files/..", "temp.tmp"},
      {"http://h/files/%2e%2e", "temp.tmp"},
      {"http://h/files/a%2fb", "temp.tmp"},
      {"http://h/files/a%5cb", "temp.tmp"},
      {"http://h/files/a%0ab", "temp.tmp"},
      {"http://h/files/a%1b", "temp.tmp"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, CConfWebaImp::FileNameOf(c.first)) << c.first;
}

TEST(SiteNameRule, FirstPathSegmentOfTheInvitation) {
  EXPECT_EQ("site1", CConfWebaImp::SiteNameOf("http://host:8080/site1/join.do?confKey=1"));
  EXPECT_EQ("", CConfWebaImp::SiteNameOf("http://host/join.do?confKey=1"));
  EXPECT_EQ("", CConfWebaImp::SiteNameOf("host/a/b"));
}

TEST(LanguageRule, TagFollowsTheUserLanguage) {
  const std::pair<const char*, const char*> cases[] = {
      {"zh_CN.UTF-8", "zh_CN"}, {"zh_TW.UTF-8", "zh_TW"}, {"zh_HK.UTF-8", "zh_TW"},
      {"ja_JP.UTF-8", "ja_JP"}, {"de_DE.UTF-8", "en_US"}, {"en_GB.UTF-8", "en_US"},
  };
  for (const auto& c : cases) {
    setenv("LC_ALL", c.first, 1);
    EXPECT_EQ(c.second, CConfWebaImp::GetLanguageTag()) << c.first;
  }
  unsetenv("LC_ALL");
}

TEST(CodePageRule, EmptyStaysEmptyAndZeroByteEndsTheText) {
  setenv("LC_ALL", "en_US.UTF-8", 1);
  EXPECT_EQ("", CWebAccessBase::AnsiToUtf8(""));
  EXPECT_EQ("ab", CWebAccessBase::AnsiToUtf8(std::string("ab\0cd", 5)));
  EXPECT_EQ("\xC3\xA9t\xC3\xA9", CWebAccessBase::Utf8ToAnsi("\xC3\xA9t\xC3\xA9"));
  unsetenv("LC_ALL");
}

TEST(NodeBoolRule, TrueInAnyCaseOnly) {
  CSimpleParseXml parser;
  const char doc[] = "<root><a>TRUE</a><b>yes</b><c>true </c></root>";
  ASSERT_NE(0, parser.LoadXML(doc, sizeof(doc) - 1));
  const XML_NODE_LIST root = parser.GetNode(XML_NODE_LIST{0, 0, 0}, 0xFFFFFFFFu, "root", nullptr, nullptr);
  EXPECT_EQ(1, CWebAccessBase::GetNodeBool(&parser, root, 0, "a"));
  EXPECT_EQ(0, CWebAccessBase::GetNodeBool(&parser, root, 0, "b"));
  EXPECT_EQ(0, CWebAccessBase::GetNodeBool(&parser, root, 0, "missing"));
  parser.Close();
}

}  // namespace
