// Rules of the module that no request can reach, and the module's trace
// texts, on the module's own compiled code.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <functional>

#include "ConfWebaImp.h"
#include "RtTraceCapture.h"
#include "qmxframework.h"

namespace {

TEST(FileNameRule, LastSegmentDecodedOrTempTmp) {
  const std::pair<const char*, const char*> cases[] = {
      {"http://h/a/loader.exe?v=2", "loader.exe"}, {"http://h/a/my%20file.bin#top", "my file.bin"},
      {"http://h/files/x?a=/.profile", "x"},       {"http://h/a/", "temp.tmp"},
      {"http://h/files/.bashrc", "temp.tmp"},      {"http://h/files/..", "temp.tmp"},
      {"http://h/files/%2e%2e", "temp.tmp"},       {"http://h/files/a%2fb", "temp.tmp"},
      {"http://h/files/a%5cb", "temp.tmp"},        {"http://h/files/a%0ab", "temp.tmp"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, CConfWebaImp::FileNameOf(c.first)) << c.first;
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

// The module's own trace texts, letter for letter: each situation is driven
// and must leave its line. Behavioural tests assert results, never wording.
TEST(TraceTextRule, EachSituationLeavesItsLine) {
  QmxThreadAttach();
  CRtTraceCapture trace;
  CRtTrace::SetLevel(RT_TRACE_LEVEL_INFO);
  CConfWebaImp imp;
  ASSERT_EQ(0, imp.Init());
  const std::string hugeName(3000, 'n');
  auto join = [&](const std::string& reply) {
    int result = 0;
    CRtString token, loader, url;
    imp.ParseJoinConference(reply, result, token, loader, url);
  };
  auto invite = [&](const std::string& reply) {
    int result = 0;
    imp.ParseInviteByEmails(reply, result);
  };
  const std::string ok = "<root><header><success>true</success></header>";
  const struct {
    std::function<void()> drive;
    const char* line;
  } cases[] = {
      {[&] { imp.JoinConference("   ", "", "", "", "", ""); }, "CConfWebaImp::JoinConference, parse 'siteURL' failed."},
      {[&] { imp.JoinConference("", "", "", "", "", ""); }, "Assert failed: !emailURL.empty()"},
      {[&] { imp.JoinConference("http://h/s/join.do?key=1", "", "", "", "", ""); },
       "CConfWebaImp::JoinConference, parse 'confId' failed."},
      {[&] { imp.JoinConference("http://h/s/j?confKey=1", "", "", hugeName, "", ""); },
       "JoinConference, snprintf error."},
      {[&] { join(ok + "<body>"); }, "CConfWebaImp::ParseJoinConference, LoadXML failed."},
      {[&] { join("<reply/>"); }, "CConfWebaImp::ParseJoinConference, xml format error in root."},
      {[&] { join(ok + "<body/></root>"); }, "CConfWebaImp::ParseJoinConference, confDownloadUrl is null. "},
      {[&] {
         join(ok + "<body><downLoad><entry><key>Mode</key><value>1&#10;</value></entry></downLoad></body></root>");
       },
       "CConfWebaImp::ParseJoinConference, entry with a control character dropped. key=Mode"},
      {[&] { invite("<root><header><success>false</success><errorCode>0x0604003</errorCode></header></root>"); },
       "CConfWebaImp::ParseInviteByEmails, invitation refused. errorCode=0x0604003"},
      {[&] { invite("<root><body/></root>"); }, "CConfWebaImp::ParseInviteByEmails, LoadXML failed."},
      {[&] { invite("<answer/>"); }, "CConfWebaImp::ParseInviteByEmails, xml format error in root."},
      {[&] { imp.InviteByEmails("http://h/", "", "u", "p", "1", {"a@b"}); },
       "Assert failed: !siteName.empty() && !confID.empty() && inviteUsers.size()"},
      {[&] { imp.GetFileFromURL("", "", ""); }, "Assert failed: !url.empty() && !path.empty()"},
      {[&] {
         CRtString content = "x";
         imp.OnRequest(4242, 0, content);
       },
       "CWebAccessBase::OnRequest, cann't find request. hRequest=4242"},
      {[&] { imp.Destory(); }, "CWebAccessBase::Destory begin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    c.drive();
    EXPECT_TRUE(trace.Contains(c.line));
  }
  QmxThreadDetach();
}

}  // namespace
