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

// Refusals keep their codes; a reply without a header is 4002, one with a
// successful header and nothing more is accepted.
TEST_F(InviteTest, RepliesGiveTheirResults) {
  EXPECT_EQ(4026, Invite({"a@b"}, "host", "wrong"));
  EXPECT_EQ(4020, Invite({"a@b"}, "host", "secret", "999999"));
  EXPECT_TRUE(m_sim->Invited().empty());
  const std::pair<const char*, int> cases[] = {{"", 4002},
                                               {"<root><body/></root>", 4002},
                                               {"<answer/>", 4002},
                                               {"<root><header><success>True</success></header></root>", 0}};
  for (const auto& c : cases) {
    SiteFault f;
    f.kind = *c.first ? SiteFault::kRawBody : SiteFault::kEmptyBody;
    f.body = c.first;
    m_sim->SetFault(f);
    EXPECT_EQ(c.second, Invite({"a@b"})) << c.first;
  }
}

// The site address may end in "/" or not, or be the host alone: the XML
// interface is asked for right under it, with exactly one "/" between, on
// the wire and in the record.
TEST_F(InviteTest, SiteAddressAndInterfacePathAreJoinedWithOneSlash) {
  const std::string base = m_sim->BaseUrl();  // "http://127.0.0.1:<port>/"
  const std::pair<std::string, const char*> cases[] = {
      {base + "site1/", "/site1/external/xml/XmlApiInvoker"},
      {base + "site1", "/site1/external/xml/XmlApiInvoker"},
      {base + "a/b", "/a/b/external/xml/XmlApiInvoker"},
      {base, "/external/xml/XmlApiInvoker"},
      {base.substr(0, base.size() - 1), "/external/xml/XmlApiInvoker"},
  };
  // How often the record holds the request to this address.
  auto recorded = [&](const std::string& path) {
    const std::string text = ReadFile(RecordDir() + "waresponse.rrr");
    const std::string line = ", " + base.substr(0, base.size() - 1) + path + "?method=inviteAttendeeByMail";
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
  };
  for (const auto& c : cases) {
    const size_t before = m_sink.invites.size(), received = m_sim->Received().size(), lines = recorded(c.second);
    ASSERT_EQ(0, m_module->InviteByEmails(c.first, "site1", "host", "secret", "123456", {"a@b"}));
    ASSERT_TRUE(RunUntil([&] { return m_sink.invites.size() > before; }));
    ASSERT_EQ(received + 1, m_sim->Received().size()) << c.first;
    EXPECT_EQ(c.second, m_sim->Received().back().path) << c.first;
    EXPECT_EQ(lines + 1, recorded(c.second)) << c.first;
  }
}

TEST_F(InviteTest, MissingArgumentsAreRefusedBeforeSending) {
  EXPECT_EQ(10008, m_module->InviteByEmails(m_sim->SiteUrl(), "", "host", "secret", "123456", {"a@b"}));
  EXPECT_EQ(10008, m_module->InviteByEmails(m_sim->SiteUrl(), "site1", "host", "secret", "", {"a@b"}));
  EXPECT_EQ(10008, m_module->InviteByEmails(m_sim->SiteUrl(), "site1", "host", "secret", "123456", {}));
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

// 8 x (255 + 1) = 2048: the budget reaches 0, so the ninth still goes and
// takes it below zero, the tenth is dropped; an address that crosses 2048
// is the last sent.
TEST_F(InviteBudgetTest, TheAddressThatReachesOrCrosses2048IsTheLastSent) {
  const struct {
    std::vector<std::string> emails;
    size_t sent;
    std::string last;
  } cases[] = {
      {{8, std::string(255, 'a')}, 9, "ninth"},
      {{7, std::string(255, 'a')}, 8, std::string(256, 'b')},
  };
  for (const auto& c : cases) {
    m_sim->ClearReceived();
    std::vector<std::string> emails = c.emails;
    emails.push_back(c.last);
    emails.push_back("dropped");
    Invite(emails);
    const auto sent = SentAddresses();
    ASSERT_EQ(c.sent, sent.size());
    EXPECT_EQ(c.last, sent.back());
  }
  EXPECT_FALSE(Traced("snprintf error"));
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
