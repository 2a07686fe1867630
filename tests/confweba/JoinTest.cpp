// Joins through libqmxconfweba.so against the conference-site simulator.
#include <string.h>

#include "ConfWebaFixture.h"
#include "qmxconfweba_ext.h"
#include "qmxwininet_ext.h"
#include <filesystem>

namespace {

using sitesim::SiteFault;

class JoinTest : public ConfWebaTest {
 protected:
  void ReplyWith(const std::string& body) {
    SiteFault f;
    f.kind = SiteFault::kRawBody;
    f.body = body;
    m_sim->SetFault(f);
  }
};

TEST_F(JoinTest, InvitationYieldsLoaderAddressAndBothTexts) {
  const JoinReply r = Join(m_sim->InvitationUrl("123456"), "meet");
  ASSERT_EQ(0, r.result);
  const std::string base = m_sim->BaseUrl();
  EXPECT_EQ(base + "files/qmxloader.bin", r.confDownloadUrl);
  // Keys and values lose every "$"; the language line takes the user's
  // language, not the site's value; LoaderURL gives no line.
  EXPECT_EQ("[Parlevo]\nConfId=123456\nConfName=Weekly review\nSiteURL=" + base +
                "site1/\nToken=a1b2c3d4e5f6\nRole=attendee\n",
            r.confTokenIni);
  EXPECT_EQ("[qmxloader]\nContentLanguage=en_US\nVersion=2.1.0\nMode=1\n", r.loaderIni);
}

TEST_F(JoinTest, QueryCarriesEncodedValuesAndPlainSiteAndConference) {
  // No such account at the site; the query is what matters.
  EXPECT_EQ(4025,
            Join(m_sim->InvitationUrl("123456") + "  ", "meet", " a.b@x-y.org ", "Ann Lee", "u&=1", "p w").result);
  const auto calls = XmlCalls();
  ASSERT_EQ(1u, calls.size());
  const auto& q = calls[0];
  EXPECT_EQ("GET", q.method);
  EXPECT_EQ("/site1/external/xml/XmlApiInvoker", q.path);
  EXPECT_EQ(0u, q.query.find("method=JoinMeeting&site=site1&confId=123456&confPass=meet&"));
  EXPECT_EQ("a%2Eb%40x%2Dy%2Eorg", q.rawFields.at("email"));
  EXPECT_EQ("Ann+Lee", q.rawFields.at("attendeeName"));
  EXPECT_EQ("u%26%3D1", q.rawFields.at("user"));
  EXPECT_EQ("p+w", q.rawFields.at("pass"));
  EXPECT_EQ(sizeof(void*) == 8 ? "vista64" : "vista32", q.rawFields.at("osName"));
}

TEST_F(JoinTest, OverlongQueryIsRefusedBeforeSending) {
  // 300 characters of three UTF-8 bytes each: 2700 bytes once encoded.
  std::string name;
  for (int i = 0; i < 300; ++i) name += "\xe6\x97\xa5";
  EXPECT_EQ(10008, m_module->JoinConference(m_sim->InvitationUrl("123456"), "meet", "", name, "", "pw"));
  EXPECT_TRUE(XmlCalls().empty());
  EXPECT_TRUE(Traced("JoinConference, snprintf error."));
}

TEST_F(JoinTest, BadInvitationAddressesFailBeforeSending) {
  EXPECT_EQ(10008, m_module->JoinConference("   ", "", "", "", "", ""));
  EXPECT_TRUE(Traced("CConfWebaImp::JoinConference, parse 'siteURL' failed."));
  EXPECT_EQ(10008, m_module->JoinConference("", "", "", "", "", ""));
  EXPECT_TRUE(Traced("Assert failed: !emailURL.empty()"));
  // One slash after the host: no site address, whatever follows.
  EXPECT_EQ(10008, m_module->JoinConference("http://127.0.0.1/join?confKey=1", "", "", "", "", ""));
  EXPECT_EQ(10008, m_module->JoinConference(m_sim->SiteUrl() + "join.do?key=1", "", "", "", "", ""));
  EXPECT_TRUE(Traced("CConfWebaImp::JoinConference, parse 'confId' failed."));
  EXPECT_TRUE(m_sim->Received().empty());
}

TEST_F(JoinTest, ConfKeyAsLastParameterRunsToTheEnd) {
  Join(m_sim->SiteUrl() + "join.do?lang=en&confKey=444444");
  ASSERT_EQ(1u, XmlCalls().size());
  EXPECT_EQ("444444", XmlCalls()[0].rawFields.at("confId"));
}

TEST_F(JoinTest, SiteRefusalsMapToResults) {
  struct Case {
    const char* confId;
    const char* pass;
    const char* user;
    const char* password;
    int result;
  } cases[] = {
      {"999999", "meet", "", "", 4020},
      {"123456", "wrong", "", "", 4021},
      {"222222", "", "", "", 4022},
      {"333333", "", "", "", 4023},
      {"444444", "", "", "", 4024},
      {"123456", "meet", "nobody", "x", 4025},
      {"123456", "meet", "host", "bad", 4026},
      {"123456", "meet", "host", "secret", 0},
  };
  for (const auto& c : cases) {
    const JoinReply r = Join(m_sim->InvitationUrl(c.confId), c.pass, "", "", c.user, c.password);
    EXPECT_EQ(c.result, r.result) << c.confId << " " << c.pass << " " << c.user;
    if (c.result != 0) {
      EXPECT_EQ("", r.confTokenIni);
      EXPECT_EQ("", r.confDownloadUrl);
    }
  }
}

TEST_F(JoinTest, ErrorCodeTextIsStrippedButCaseMatters) {
  const std::pair<const char*, int> cases[] = {
      {" 0x0604006 ", 4024}, {"0X0604006", 4010}, {"0x0600010", 4025}, {"", 4010}, {"0x9999999", 4010}};
  for (const auto& c : cases) {
    ReplyWith(sitesim::FailureXml(c.first, "refused"));
    EXPECT_EQ(c.second, Join(m_sim->InvitationUrl("123456")).result) << "'" << c.first << "'";
  }
}

TEST_F(JoinTest, BrokenRepliesGiveTheirCodesAndTraceLines) {
  ReplyWith("");
  EXPECT_EQ(4003, Join(m_sim->InvitationUrl("123456")).result);

  ReplyWith("<root><header><success>true</success></header><body>");
  EXPECT_EQ(4002, Join(m_sim->InvitationUrl("123456")).result);
  EXPECT_TRUE(Traced("CConfWebaImp::ParseJoinConference, LoadXML failed."));

  ReplyWith("<reply><header><success>true</success></header><body/></reply>");
  EXPECT_EQ(4002, Join(m_sim->InvitationUrl("123456")).result);
  EXPECT_TRUE(Traced("CConfWebaImp::ParseJoinConference, xml format error in root."));

  ReplyWith("<root><body/></root>");
  EXPECT_EQ(4002, Join(m_sim->InvitationUrl("123456")).result);
  ReplyWith("<root><header><success>true</success></header></root>");
  EXPECT_EQ(4002, Join(m_sim->InvitationUrl("123456")).result);
}

TEST_F(JoinTest, EntriesBecomeLinesInReplyOrder) {
  ReplyWith(
      "<root><header><success>TRUE</success></header><body>"
      "<confToken><entry><key>$A$</key><value>1$2</value></entry><entry><key></key><value>lost</value></entry>"
      "<entry><key>NoValue</key></entry></confToken>"
      "<downLoad><entry><key>ContentLanguage</key><value>xx</value></entry>"
      "<entry><key>LoaderURL</key><value>http://first/</value></entry>"
      "<entry><key>LoaderURL</key><value>http://h/$l.bin</value></entry>"
      "<entry><key>$ContentLanguage</key><value>yy</value></entry></downLoad></body></root>");
  const JoinReply r = Join(m_sim->InvitationUrl("123456"));
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("[Parlevo]\nA=12\nNoValue=\n", r.confTokenIni);
  EXPECT_EQ("[qmxloader]\nContentLanguage=en_US\nContentLanguage=en_US\n", r.loaderIni);
  EXPECT_EQ("http://h/$l.bin", r.confDownloadUrl);
}

// A site cannot add lines or sections to the texts the host hands on: an
// entry whose key or value holds a control character is dropped.
TEST_F(JoinTest, EntriesWithControlCharactersAreDropped) {
  ReplyWith(
      "<root><header><success>true</success></header><body><confToken>"
      "<entry><key>A</key><value>1&#10;Exec=/bin/sh</value></entry>"
      "<entry><key>B&#13;</key><value>2</value></entry>"
      "<entry><key>C</key><value>\x1b]0;title\x07</value></entry>"
      "<entry><key>D</key><value>4</value></entry></confToken>"
      "<downLoad><entry><key>Mode</key><value>1&#10;&#10;[qmxloader]&#10;Exec=x</value></entry>"
      "<entry><key>LoaderURL</key><value>http://h/l.bin&#10;</value></entry>"
      "<entry><key>Version</key><value>2</value></entry></downLoad></body></root>");
  const JoinReply r = Join(m_sim->InvitationUrl("123456"));
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("[Parlevo]\nD=4\n", r.confTokenIni);
  EXPECT_EQ("[qmxloader]\nVersion=2\n", r.loaderIni);
  EXPECT_EQ("", r.confDownloadUrl);
  EXPECT_TRUE(Traced("CConfWebaImp::ParseJoinConference, entry with a control character dropped. key=Mode"));
}

// Passwords reach no trace line, on the way out or in a failure's report.
TEST_F(JoinTest, PasswordsStayOutOfTheTrace) {
  CRtTrace::SetLevel(RT_TRACE_LEVEL_INFO);
  Join(m_sim->InvitationUrl("123456"), "confSecret1", "", "Ann", "user", "acctSecret2");
  ReplyWith("not xml");
  Join(m_sim->InvitationUrl("123456"), "confSecret1", "", "Ann", "user", "acctSecret2");
  EXPECT_TRUE(Traced("confPass=***"));
  EXPECT_FALSE(Traced("confSecret1"));
  EXPECT_FALSE(Traced("acctSecret2"));
}

TEST_F(JoinTest, BodyWithoutListsGivesBareSectionsAndWarning) {
  ReplyWith("<root><header><success>true</success></header><body></body></root>");
  const JoinReply r = Join(m_sim->InvitationUrl("123456"));
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("[Parlevo]\n", r.confTokenIni);
  EXPECT_EQ("[qmxloader]\n", r.loaderIni);
  EXPECT_EQ("", r.confDownloadUrl);
  EXPECT_TRUE(Traced("CConfWebaImp::ParseJoinConference, confDownloadUrl is null. "));
}

TEST_F(JoinTest, TransportFaultsReachTheSinkAsFailures) {
  SiteFault f;
  f.kind = SiteFault::kDropMidBody;
  m_sim->SetFault(f);
  EXPECT_NE(0, Join(m_sim->InvitationUrl("123456")).result);

  f.kind = SiteFault::kChunked;
  m_sim->SetFault(f);
  EXPECT_EQ(0, Join(m_sim->InvitationUrl("123456")).result);

  const std::string gone = m_sim->InvitationUrl("123456");
  m_sim->Stop();
  EXPECT_NE(0, Join(gone).result);
}

// Answers a logon with the simulator's credentials and counts the questions.
BOOL CALLBACK AnswerLogon(const QMX_CREDENTIAL_REQUEST* req, LPSTR user, DWORD, LPSTR password, DWORD, LPVOID asked) {
  ++*static_cast<int*>(asked);
  if (req->fProxy) return FALSE;
  strcpy(user, "guest");
  strcpy(password, "letmein");
  return TRUE;
}

TEST_F(JoinTest, ServerLogonGoesThroughTheHostsPrompt) {
  SiteFault f;
  f.kind = SiteFault::kChallenge401;
  f.user = "guest";
  f.password = "letmein";
  m_sim->SetFault(f);
  // Without a prompt the logon is cancelled and the join fails.
  EXPECT_NE(0, Join(m_sim->InvitationUrl("123456")).result);

  int asked = 0;
  QmxInternetSetCredentialPrompt(AnswerLogon, &asked);
  const JoinReply r = Join(m_sim->InvitationUrl("123456"));
  QmxInternetSetCredentialPrompt(nullptr, nullptr);
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(1, asked);
  EXPECT_EQ(m_sim->BaseUrl() + "files/qmxloader.bin", r.confDownloadUrl);
}

// Over HTTPS the site's certificate must be trusted: a self-signed one fails
// before anything is sent, unless the host trusts it or relaxes the checks.
TEST_F(JoinTest, HttpsNeedsATrustedCertificateOrTheHostsOptIn) {
  StartSite(true);
  const std::string file = m_sim->BaseUrl() + "files/qmxloader.bin";
  char dir[] = "/tmp/confweba-tls-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));

  EXPECT_EQ(4003, Join(m_sim->InvitationUrl("123456")).result);
  EXPECT_EQ(4010, m_module->GetFileFromURL(file, dir, ""));
  QmxConfWebaDiagnosis d{};
  QmxConfWebaGetLastDiagnosis(&d);
  EXPECT_EQ(12045u, d.internetError);  // unknown issuer
  EXPECT_TRUE(m_sim->Received().empty());

  QmxConfWebaSetRelaxedTls(1);
  EXPECT_EQ(0, Join(m_sim->InvitationUrl("123456")).result);
  EXPECT_EQ(0, m_module->GetFileFromURL(file, dir, ""));
  QmxConfWebaSetRelaxedTls(0);

  ASSERT_EQ(0, QmxConfWebaSetTrustedCertificates(m_sim->CertificateFile().c_str()));
  const JoinReply r = Join(m_sim->InvitationUrl("123456"));
  EXPECT_EQ(0, r.result);
  EXPECT_EQ(0u, r.confDownloadUrl.find("https://127.0.0.1:"));
  EXPECT_EQ(0, m_module->GetFileFromURL(file, dir, "again.bin"));
  QmxConfWebaSetTrustedCertificates(nullptr);
  EXPECT_EQ(-1, QmxConfWebaSetTrustedCertificates("/no/such/file.pem"));
  std::filesystem::remove_all(dir);
}

}  // namespace
