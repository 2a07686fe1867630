// Invitations through libqmxconfweba.so against the conference-site simulator.
#include "ConfWebaFixture.h"
#include "qmxconfweba_ext.h"

namespace {

using sitesim::SiteFault;

class InviteTest : public ConfWebaTest {
 protected:
  // The form body of the one invitation sent, without its zero byte.
  std::string FormBody() {
    const auto calls = XmlCalls();
    EXPECT_EQ(1u, calls.size());
    if (calls.empty()) return "";
    std::string body = calls[0].body;
    EXPECT_FALSE(body.empty());
    if (!body.empty()) {
      EXPECT_EQ('\0', body.back());
      body.pop_back();
    }
    return body;
  }
};

TEST_F(InviteTest, AcceptedInvitationPostsTheFormAndListsAddresses) {
  EXPECT_EQ(0, Invite({"ann@example.com", "bob@example.com", "cy@example.com"}));
  const auto calls = XmlCalls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ("POST", calls[0].method);
  EXPECT_EQ("/site1/external/xml/XmlApiInvoker", calls[0].path);
  EXPECT_EQ("", calls[0].query);
  EXPECT_EQ(
      "method=inviteAttendeeByMail&site=site1&user=host&pass=secret&confId=123456&emails="
      "ann%40example%2Ecom%3Bbob%40example%2Ecom%3Bcy%40example%2Ecom%3B",
      FormBody());
  EXPECT_EQ((std::vector<std::string>{"ann@example.com", "bob@example.com", "cy@example.com"}), m_sim->Invited());
}

TEST_F(InviteTest, SiteNameAndConferenceGoUnencodedUserEncoded) {
  const size_t before = m_sink.invites.size();
  ASSERT_EQ(0, m_module->InviteByEmails(m_sim->SiteUrl(), "  site1 ", "the host", "", " 123456", {"", "x@y"}));
  ASSERT_TRUE(RunUntil([&] { return m_sink.invites.size() > before; }));
  // A blank user name is not an account of the site.
  EXPECT_EQ(4025, m_sink.invites.back());
  EXPECT_EQ("method=inviteAttendeeByMail&site=site1&user=the+host&pass=&confId=123456&emails=%3Bx%40y%3B", FormBody());
}

TEST_F(InviteTest, RefusedInvitationReportsAFailure) {
  EXPECT_EQ(4026, Invite({"a@b"}, "host", "wrong"));
  EXPECT_EQ(4020, Invite({"a@b"}, "host", "secret", "999999"));
  EXPECT_TRUE(Traced("CConfWebaImp::ParseInviteByEmails, invitation refused. errorCode=0x0604003"));
  EXPECT_TRUE(m_sim->Invited().empty());
}

TEST_F(InviteTest, BrokenRepliesGive4002) {
  SiteFault f;
  f.kind = SiteFault::kEmptyBody;
  m_sim->SetFault(f);
  EXPECT_EQ(4002, Invite({"a@b"}));

  f.kind = SiteFault::kRawBody;
  f.body = "<root><body/></root>";
  m_sim->SetFault(f);
  EXPECT_EQ(4002, Invite({"a@b"}));
  EXPECT_TRUE(Traced("CConfWebaImp::ParseInviteByEmails, LoadXML failed."));

  f.body = "<answer/>";
  m_sim->SetFault(f);
  EXPECT_EQ(4002, Invite({"a@b"}));
  EXPECT_TRUE(Traced("CConfWebaImp::ParseInviteByEmails, xml format error in root."));

  f.body = "<root><header><success>True</success></header></root>";
  m_sim->SetFault(f);
  EXPECT_EQ(0, Invite({"a@b"}));
}

TEST_F(InviteTest, MissingArgumentsAreRefusedBeforeSending) {
  EXPECT_EQ(10008, m_module->InviteByEmails(m_sim->SiteUrl(), "", "host", "secret", "123456", {"a@b"}));
  EXPECT_EQ(10008, m_module->InviteByEmails(m_sim->SiteUrl(), "site1", "host", "secret", "", {"a@b"}));
  EXPECT_EQ(10008, m_module->InviteByEmails(m_sim->SiteUrl(), "site1", "host", "secret", "123456", {}));
  EXPECT_TRUE(Traced("Assert failed: !siteName.empty() && !confID.empty() && inviteUsers.size()"));
  EXPECT_TRUE(m_sim->Received().empty());
}

// Addresses of letters only, so that each takes its length plus "%3B" in the
// query and the whole list stays inside the 4095-byte query.
class InviteBudgetTest : public InviteTest {
 protected:
  std::vector<std::string> SentAddresses() {
    const std::string body = FormBody();
    const std::string emails = body.substr(body.find("&emails=") + 8);
    std::vector<std::string> sent;
    size_t pos = 0;
    for (size_t p = emails.find("%3B"); p != std::string::npos; p = emails.find("%3B", pos)) {
      sent.push_back(emails.substr(pos, p - pos));
      pos = p + 3;
    }
    EXPECT_EQ(emails.size(), pos) << "the list ends in a separator";
    return sent;
  }
};

TEST_F(InviteBudgetTest, ListOfExactly2048KeepsEveryAddressAndTheNextOne) {
  // 8 x (255 + 1) = 2048: the budget reaches 0, so the ninth still goes and
  // takes it below zero; the tenth is dropped.
  std::vector<std::string> emails(8, std::string(255, 'a'));
  emails.push_back("ninth");
  emails.push_back("tenth");
  Invite(emails);
  const auto sent = SentAddresses();
  ASSERT_EQ(9u, sent.size());
  EXPECT_EQ("ninth", sent.back());
  EXPECT_FALSE(Traced("snprintf error"));
}

TEST_F(InviteBudgetTest, AddressThatCrosses2048IsTheLastSent) {
  std::vector<std::string> emails(7, std::string(255, 'a'));
  emails.push_back(std::string(256, 'b'));  // 2049 in all
  emails.push_back("dropped");
  Invite(emails);
  const auto sent = SentAddresses();
  ASSERT_EQ(8u, sent.size());
  EXPECT_EQ(std::string(256, 'b'), sent.back());
}

// Addresses go out whole: the list ends where the next one would not fit,
// and the host learns how many went.
TEST_F(InviteBudgetTest, ListEndsAtTheLastAddressThatFits) {
  // Each "@" takes three bytes once encoded: 300 of them fit, 1500 do not.
  std::vector<std::string> emails(10000, std::string(100, '@'));
  EXPECT_EQ(0, Invite(emails));
  const int sent = QmxConfWebaLastInviteCount();
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, 10000);
  ASSERT_EQ(1u, XmlCalls().size());
  EXPECT_EQ(static_cast<size_t>(sent), SentAddresses().size());

  EXPECT_EQ(10008,
            m_module->InviteByEmails(m_sim->SiteUrl(), "site1", "host", "secret", "123456", {std::string(1500, '@')}));
  EXPECT_EQ(0, QmxConfWebaLastInviteCount());
  EXPECT_EQ(1u, XmlCalls().size());
}

}  // namespace
