// The module's sink handling and its record file, as a host sees them.
#include <unistd.h>

#include "ConfWebaFixture.h"

namespace {

using ModuleTest = ConfWebaTest;

TEST_F(ModuleTest, SecondInitializeRedirectsReplies) {
  RecordingSink other;
  other.queue = m_sink.queue;
  ASSERT_EQ(0, m_module->Initialize(&other));
  ASSERT_EQ(0, m_module->InviteByEmails(m_sim->SiteUrl(), "site1", "host", "secret", "123456", {"a@b"}));
  ASSERT_TRUE(RunUntil([&] { return !other.invites.empty(); }));
  EXPECT_EQ(0, other.invites[0]);
  EXPECT_TRUE(m_sink.invites.empty());
}

// Each request goes into the record with the reply after it: a join with
// its query, an invitation with its form.
TEST_F(ModuleTest, EveryReplyIsRecordedWithItsRequest) {
  const std::string mark = "rec" + std::to_string(getpid()) + "@example.com";
  ASSERT_EQ(0, Join(m_sim->InvitationUrl("123456"), "meet", mark).result);
  ASSERT_EQ(4026, Invite({mark}, "host", "wrong"));

  const std::string records = ReadFile(RecordDir() + "waresponse.rrr");
  const std::string email = "rec" + std::to_string(getpid()) + "%40example%2Ecom";
  const size_t join = records.find(", " + m_sim->SiteUrl() +
                                   "external/xml/XmlApiInvoker?method=JoinMeeting&site=site1&confId=123456&"
                                   "confPass=meet&email=" +
                                   email);
  ASSERT_NE(std::string::npos, join) << records;
  EXPECT_EQ(records.find('\n', join), records.find("\n\tresp: <?xml", join));
  EXPECT_NE(std::string::npos,
            records.find("method=inviteAttendeeByMail&site=site1&user=host&pass=wrong&confId=123456&emails=" + email +
                             "%3B\n\tresp: <?xml",
                         join));
}

}  // namespace
