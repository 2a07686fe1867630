// The module's sink handling and its record file, as a host sees them.
#include <stdlib.h>
#include <unistd.h>

#include "ConfWebaFixture.h"

namespace {

using ModuleTest = ConfWebaTest;

// Each request goes into the record with the reply after it: a join with
// its query, an invitation with its form.
TEST_F(ModuleTest, EveryReplyIsRecordedWithItsRequest) {
  const std::string mark = "rec" + std::to_string(getpid()) + "@example.com";
  ASSERT_EQ(0, Join(m_sim->InvitationUrl("123456"), "meet", mark).result);
  ASSERT_EQ(4026, Invite(m_sim->SiteUrl(), {mark}, "host", "wrong"));

  const char* dir = getenv("QMX_RECORD_DIR");  // the record folder the test program was given
  const std::string records = ReadFile(std::string(dir ? dir : ".") + "/waresponse.rrr");
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
