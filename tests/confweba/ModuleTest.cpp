// The module's entry, its sink handling and its record file, as a host sees them.
#include <unistd.h>

#include "ConfWebaFixture.h"

namespace {

using ModuleTest = ConfWebaTest;

TEST_F(ModuleTest, WithoutSinkRepliesAreParsedAndDropped) {
  ASSERT_EQ(0, m_module->Initialize(nullptr));
  sitesim::SiteFault f;
  f.kind = sitesim::SiteFault::kRawBody;
  f.body = "<other/>";
  m_sim->SetFault(f);
  ASSERT_EQ(0, m_module->JoinConference(m_sim->InvitationUrl("123456"), "meet", "", "", "", ""));
  EXPECT_TRUE(RunUntil([&] { return Traced("ParseJoinConference, xml format error in root."); }));
  EXPECT_TRUE(m_sink.joins.empty());
  EXPECT_FALSE(Traced("call sink"));
}

TEST_F(ModuleTest, SecondInitializeRedirectsReplies) {
  RecordingSink other;
  other.queue = m_sink.queue;
  ASSERT_EQ(0, m_module->Initialize(&other));
  ASSERT_EQ(0, m_module->InviteByEmails(m_sim->SiteUrl(), "site1", "host", "secret", "123456", {"a@b"}));
  ASSERT_TRUE(RunUntil([&] { return !other.invites.empty(); }));
  EXPECT_EQ(0, other.invites[0]);
  EXPECT_TRUE(m_sink.invites.empty());
}

TEST_F(ModuleTest, EveryReplyIsRecordedWithItsRequest) {
  const std::string mark = "rec" + std::to_string(getpid()) + "@example.com";
  ASSERT_EQ(0, Join(m_sim->InvitationUrl("123456"), "meet", mark).result);
  ASSERT_EQ(4026, Invite({mark}, "host", "wrong"));

  const std::string records = ReadFile(RecordDir() + "waresponse.rrr");
  const std::string email = "rec" + std::to_string(getpid()) + "%40example%2Ecom";
  const std::string joinLine = ", " + m_sim->SiteUrl() +
                               "external/xml/XmlApiInvoker?method=JoinMeeting&site=site1&confId=123456&"
                               "confPass=meet&email=" +
                               email;
  const size_t join = records.find(joinLine);
  ASSERT_NE(std::string::npos, join) << records;
  // "<time stamp> requ:<key>, <request>\n\tresp: <reply>\n"
  const size_t lineStart = records.rfind('\n', join) + 1;
  EXPECT_NE(std::string::npos, records.substr(lineStart, join - lineStart).find(" requ:"));
  EXPECT_EQ(0u, records.find("\n\tresp: <?xml", records.find('\n', join)) - records.find('\n', join));

  const std::string inviteLine =
      "method=inviteAttendeeByMail&site=site1&user=host&pass=wrong&confId=123456"
      "&emails=" +
      email + "%3B\n\tresp: <?xml";
  EXPECT_NE(std::string::npos, records.find(inviteLine, join));
}

}  // namespace
