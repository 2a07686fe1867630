// Invitations through libqmxconfweba.so against the conference-site simulator.
#include <stdlib.h>

#include "ConfWebaFixture.h"
#include "qmxconfweba_ext.h"

namespace {

using InviteTest = ConfWebaTest;

TEST_F(InviteTest, AcceptedInvitationPostsTheFormAndListsAddresses) {
  EXPECT_EQ(0, Invite(m_sim->SiteUrl(), {"ann@example.com", "bob@example.com", "cy@example.com"}));
  const auto calls = XmlCalls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ("POST", calls[0].method);
  EXPECT_EQ("/site1/external/xml/XmlApiInvoker", calls[0].path);
  EXPECT_EQ("", calls[0].query);
  // The form ends in a zero byte.
  EXPECT_EQ(std::string("method=inviteAttendeeByMail&site=site1&user=host&pass=secret&confId=123456&emails="
                        "ann%40example%2Ecom%3Bbob%40example%2Ecom%3Bcy%40example%2Ecom%3B") +
                '\0',
            calls[0].body);
  EXPECT_EQ((std::vector<std::string>{"ann@example.com", "bob@example.com", "cy@example.com"}), m_sim->Invited());
}

// Refusals keep their codes; a reply without a header is 4002, one with a
// successful header and nothing more is accepted.
TEST_F(InviteTest, RepliesGiveTheirResults) {
  const std::pair<std::string, int> cases[] = {{sitesim::FailureXml("0x0600011", "no"), 4026},
                                               {"", 4002},
                                               {"<root><body/></root>", 4002},
                                               {"<root><header><success>True</success></header></root>", 0}};
  for (const auto& c : cases) {
    ReplyWith(c.first);
    EXPECT_EQ(c.second, Invite(m_sim->SiteUrl(), {"a@b"})) << c.first;
  }
}

// The site address may end in "/" or not, or be the host alone: the XML
// interface is asked for right under it, with exactly one "/" between, on
// the wire and in the record.
TEST_F(InviteTest, SiteAddressAndInterfacePathAreJoinedWithOneSlash) {
  const std::string base = m_sim->BaseUrl();  // "http://127.0.0.1:<port>/"
  const std::pair<std::string, const char*> cases[] = {
      {base + "site1/", "/site1/external/xml/XmlApiInvoker"},
      {base + "a/b", "/a/b/external/xml/XmlApiInvoker"},
      {base, "/external/xml/XmlApiInvoker"},
      {base.substr(0, base.size() - 1), "/external/xml/XmlApiInvoker"},
  };
  for (const auto& c : cases) {
    m_sim->ClearReceived();
    Invite(c.first, {"a@b"});
    ASSERT_EQ(1u, m_sim->Received().size()) << c.first;
    EXPECT_EQ(c.second, m_sim->Received().back().path) << c.first;
  }
  // The record shows the address as the module made it: a bare host gets its "/".
  const char* dir = getenv("QMX_RECORD_DIR");
  const std::string records = ReadFile(std::string(dir ? dir : ".") + "/waresponse.rrr");
  EXPECT_NE(std::string::npos, records.find(", " + base + "external/xml/XmlApiInvoker?method=invite"));
  EXPECT_EQ(std::string::npos, records.find(base.substr(0, base.size() - 1) + "external/"));
}

// Addresses of letters only take their length plus "%3B" in the form.
// 8 x (255 + 1) = 2048: the budget reaches 0, so the ninth still goes and
// takes it below zero, the tenth is dropped; an address that crosses 2048
// is the last sent.
TEST_F(InviteTest, BudgetTheAddressThatReachesOrCrosses2048IsTheLastSent) {
  const struct {
    std::vector<std::string> emails;
    size_t sent;
    std::string last;
  } cases[] = {
      {{8, std::string(255, 'a')}, 9, "ninth"},
      {{7, std::string(255, 'a')}, 8, std::string(256, 'b')},
  };
  for (const auto& c : cases) {
    std::vector<std::string> emails = c.emails;
    emails.push_back(c.last);
    emails.push_back("dropped");
    const size_t before = m_sim->Invited().size();
    EXPECT_EQ(0, Invite(m_sim->SiteUrl(), emails));
    const auto sent = m_sim->Invited();
    ASSERT_EQ(before + c.sent, sent.size());
    EXPECT_EQ(c.last, sent.back());
    EXPECT_EQ(static_cast<int>(c.sent), QmxConfWebaLastInviteCount());
  }
}

// Addresses go out whole: the list ends where the next one would not fit
// in the query, and the host learns how many went.
TEST_F(InviteTest, BudgetListEndsAtTheLastAddressThatFits) {
  // Each "@" takes three bytes once encoded: 300 of them fit, 1500 do not.
  std::vector<std::string> emails(10000, std::string(100, '@'));
  EXPECT_EQ(0, Invite(m_sim->SiteUrl(), emails));
  const int sent = QmxConfWebaLastInviteCount();
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, 10000);
  EXPECT_EQ(static_cast<size_t>(sent), m_sim->Invited().size());

  EXPECT_EQ(10008,
            m_module->InviteByEmails(m_sim->SiteUrl(), "site1", "host", "secret", "123456", {std::string(1500, '@')}));
  EXPECT_EQ(0, QmxConfWebaLastInviteCount());
  EXPECT_EQ(1u, XmlCalls().size());
}

}  // namespace
