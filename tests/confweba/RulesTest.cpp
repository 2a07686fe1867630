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

// The one place that cuts an address after its host and after its first
// path segment; the site address, the download's site and the file name all
// come from it.
TEST(AddressRule, HostEndAndFirstSegmentEnd) {
  const size_t npos = CRtString::npos;
  const struct {
    const char* url;
    size_t hostEnd, segmentEnd;
  } cases[] = {
      {"http://host/site/join.do", 11, 16},
      {"https://h:8443/s/", 14, 16},
      {"http://host/file", 11, npos},
      {"http://host/", 11, npos},
      {"http://host", npos, npos},
      {"http://host?a=/b/c", 14, 16},  // a "/" in the query still ends the host
      {"host/a/b", 4, npos},           // no "//": no host, no site segment
      {"/a/b", 0, npos},
      {"", npos, npos},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.hostEnd, CWebAccessBase::HostEnd(c.url)) << c.url;
    EXPECT_EQ(c.segmentEnd, CWebAccessBase::FirstSegmentEnd(c.url)) << c.url;
  }
}

// The header check shared by the join and invitation replies.
TEST(ReplyHeaderRule, SuccessBadOrRefusedWithItsCode) {
  const struct {
    const char* reply;
    CConfWebaImp::ReplyCheck check;
    const char* errorCode;
  } cases[] = {
      {"<root><header><success>true</success></header></root>", CConfWebaImp::REPLY_SUCCESS, ""},
      {"<root><header><success>TRUE</success></header><body/></root>", CConfWebaImp::REPLY_SUCCESS, ""},
      {"<root><header><success>false</success><errorCode> 0x0604003 </errorCode></header></root>",
       CConfWebaImp::REPLY_REFUSED, "0x0604003"},
      {"<root><header><success>yes</success></header></root>", CConfWebaImp::REPLY_REFUSED, ""},
      {"<root><header/></root>", CConfWebaImp::REPLY_REFUSED, ""},
      {"<root><body/></root>", CConfWebaImp::REPLY_BAD, ""},
      {"<other><header><success>true</success></header></other>", CConfWebaImp::REPLY_BAD, ""},
      {"not xml", CConfWebaImp::REPLY_BAD, ""},
      {"", CConfWebaImp::REPLY_BAD, ""},
  };
  CConfWebaImp imp;
  CSimpleParseXml parser;
  for (const auto& c : cases) {
    XML_NODE_LIST root{0, 0, 0}, header{0, 0, 0};
    CRtString errorCode;
    EXPECT_EQ(c.check, imp.CheckReplyHeader(&parser, c.reply, "RulesTest", root, header, errorCode)) << c.reply;
    EXPECT_EQ(c.errorCode, errorCode) << c.reply;
    if (c.check != CConfWebaImp::REPLY_BAD) {
      EXPECT_NE(0u, header.dwCount) << c.reply;
    }
    parser.Close();
  }
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
