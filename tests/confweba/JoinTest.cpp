// Joins through libqmxconfweba.so against the conference-site simulator.
#include "ConfWebaFixture.h"
#include "RtTraceCapture.h"

namespace {

using JoinTest = ConfWebaTest;

TEST_F(JoinTest, QueryCarriesEncodedValuesAndPlainSiteAndConference) {
  // No such account at the site; the query is what matters.
  EXPECT_EQ(4025,
            Join(m_sim->InvitationUrl("123456") + "  ", "meet", " a.b@x-y.org ", "Ann Lee", "u&=1", "p w").result);
  Join(m_sim->SiteUrl() + "join.do?lang=en&confKey=444444");  // confKey last: runs to the end
  const auto calls = XmlCalls();
  ASSERT_EQ(2u, calls.size());
  const auto& q = calls[0];
  EXPECT_EQ("GET", q.method);
  EXPECT_EQ("/site1/external/xml/XmlApiInvoker", q.path);
  EXPECT_EQ(0u, q.query.find("method=JoinMeeting&site=site1&confId=123456&confPass=meet&"));
  EXPECT_EQ("a%2Eb%40x%2Dy%2Eorg", q.rawFields.at("email"));
  EXPECT_EQ("Ann+Lee", q.rawFields.at("attendeeName"));
  EXPECT_EQ("u%26%3D1", q.rawFields.at("user"));
  EXPECT_EQ("p+w", q.rawFields.at("pass"));
  EXPECT_EQ(sizeof(void*) == 8 ? "vista64" : "vista32", q.rawFields.at("osName"));
  EXPECT_EQ("444444", calls[1].rawFields.at("confId"));
}

// The query (from "external/", 1023 bytes at most) goes whole or not at all.
TEST_F(JoinTest, QueryOf1023BytesGoesAnd1024DoNot) {
  const size_t kHead = sizeof("external/xml/XmlApiInvoker?") - 1;
  Join(m_sim->InvitationUrl("123456"), "meet", "", "a");
  ASSERT_EQ(1u, XmlCalls().size());
  const size_t fill = 1023 - (kHead + XmlCalls()[0].query.size()) + 1;  // names of this length make 1023
  EXPECT_EQ(0, Join(m_sim->InvitationUrl("123456"), "meet", "", std::string(fill, 'a')).result);
  ASSERT_EQ(2u, XmlCalls().size());
  EXPECT_EQ(1023u, kHead + XmlCalls()[1].query.size());
  EXPECT_EQ(10008,
            m_module->JoinConference(m_sim->InvitationUrl("123456"), "meet", "", std::string(fill + 1, 'a'), "", ""));
  EXPECT_EQ(2u, XmlCalls().size());
}

TEST_F(JoinTest, BadInvitationAddressesFailBeforeSending) {
  // One slash after the host: no site address, whatever follows.
  for (const std::string& url : {std::string("   "), std::string(), std::string("http://127.0.0.1/join?confKey=1"),
                                 m_sim->SiteUrl() + "join.do?key=1"}) {
    EXPECT_EQ(10008, m_module->JoinConference(url, "", "", "", "", "")) << url;
  }
  EXPECT_TRUE(m_sim->Received().empty());
}

// What a reply makes of the result and the texts: entries become lines in
// reply order, keys and values lose every "$", the language line takes the
// user's language and LoaderURL (the last one wins) gives no line; an entry
// whose key or value holds a control character is dropped, so that a site
// cannot add lines or sections. A refusal's code is stripped, but its case
// matters; only "true" in any case is success.
TEST_F(JoinTest, RepliesBecomeResultAndTexts) {
  const std::string ok = "<root><header><success>true</success></header>";
  auto refusal = [](const char* code) { return sitesim::FailureXml(code, "refused"); };
  const struct {
    std::string reply;
    int result;
    const char *token = "", *loader = "", *url = "";
  } cases[] = {
      {"<root><header><success>TRUE</success></header><body><confToken><entry><key>$A$</key><value>1$$2</value></"
       "entry><entry><key></key><value>lost</value>"
       "</entry><entry><key>NoValue</key></entry></confToken><downLoad><entry><key>ContentLanguage</key>"
       "<value>xx</value></entry><entry><key>LoaderURL</key><value>http://first/</value></entry><entry>"
       "<key>LoaderURL</key><value>http://h/$l.bin</value></entry><entry><key>$ContentLanguage</key>"
       "<value>yy</value></entry></downLoad></body></root>",
       0, "[Parlevo]\nA=12\nNoValue=\n", "[qmxloader]\nContentLanguage=en_US\nContentLanguage=en_US\n",
       "http://h/$l.bin"},
      {ok + "<body><confToken><entry><key>A</key><value>1&#10;Exec=/bin/sh</value></entry><entry><key>B&#13;</key>"
            "<value>2</value></entry><entry><key>C</key><value>\x1b]0;title\x07</value></entry><entry><key>D</key>"
            "<value>4</value></entry></confToken><downLoad><entry><key>Mode</key><value>1&#10;&#10;[qmxloader]&#10;"
            "Exec=x</value></entry><entry><key>LoaderURL</key><value>http://h/l.bin&#10;</value></entry><entry>"
            "<key>Version</key><value>2</value></entry></downLoad></body></root>",
       0, "[Parlevo]\nD=4\n", "[qmxloader]\nVersion=2\n"},
      {ok + "<body></body></root>", 0, "[Parlevo]\n", "[qmxloader]\n"},
      {refusal("0x0604003"), 4020},
      {refusal("0x0604008"), 4021},
      {refusal("0x0604009"), 4022},
      {refusal("0x0604010"), 4023},
      {refusal(" 0x0604006 "), 4024},
      {refusal("0x0600010"), 4025},
      {refusal("0x0600011"), 4026},
      {refusal("0X0604006"), 4010},
      {"", 4003},
      {ok + "<body>", 4002},
      {"<reply><header><success>true</success></header><body/></reply>", 4002},
      {"<root><body/></root>", 4002},
      {ok + "</root>", 4002},
      {"<root><header><success>yes</success></header><body/></root>", 4010},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    ReplyWith(c.reply);
    const Outcome r = Join(m_sim->InvitationUrl("123456"));
    EXPECT_EQ(c.result, r.result);
    EXPECT_EQ(c.token, r.confTokenIni);
    EXPECT_EQ(c.loader, r.loaderIni);
    EXPECT_EQ(c.url, r.url);
  }
}

// Passwords reach no trace line, on the way out or in a failure's report.
TEST_F(JoinTest, PasswordsStayOutOfTheTrace) {
  CRtTraceCapture trace;
  Join(m_sim->InvitationUrl("123456"), "confSecret1", "", "Ann", "user", "acctSecret2");
  ReplyWith("not xml");
  Join(m_sim->InvitationUrl("123456"), "confSecret1", "", "Ann", "user", "acctSecret2");
  EXPECT_TRUE(trace.Contains("confPass=***"));
  EXPECT_FALSE(trace.Contains("confSecret1"));
  EXPECT_FALSE(trace.Contains("acctSecret2"));
}

}  // namespace
