// CSimpleParseXml: the reply envelopes as the module walks them, index
// semantics, text lifetime, and malformed and hostile documents.
#include <string.h>

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "SimpleParseXml.h"

namespace {

const XML_NODE_LIST kDocument = {0, 0, 0};

const char kJoinReply[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<root>\n"
    "  <header><success> TRUE </success><errorCode></errorCode></header>\n"
    "  <body>\n"
    "    <confToken>\n"
    "      <entry><key>$MeetingId</key><value>42</value></entry>\n"
    "      <entry><key>Topic</key><value>a &amp; b \xE4\xB8\xAD</value></entry>\n"
    "      <entry><key>NoValue</key></entry>\n"
    "    </confToken>\n"
    "    <downLoad>\n"
    "      <entry><key>LoaderURL</key><value><![CDATA[http://h/x?a=1&b=2]]></value></entry>\n"
    "    </downLoad>\n"
    "  </body>\n"
    "</root>\n";

class XmlTest : public ::testing::Test {
 protected:
  int Load(const std::string& text) {
    m_xml.Clear();
    return m_xml.LoadXML(text.data(), text.size());
  }
  XML_NODE_LIST Node(const XML_NODE_LIST& parent, const char* name, unsigned index = XML_INDEX_ALL) {
    return m_xml.GetNode(parent, index, name, nullptr, nullptr);
  }
  CSimpleParseXml m_xml;
};

TEST_F(XmlTest, JoinReplyWalkedAsTheModuleDoes) {
  ASSERT_NE(0, Load(kJoinReply));
  XML_NODE_LIST root = Node(kDocument, "root");
  ASSERT_EQ(1u, root.dwCount);
  XML_NODE_LIST header = Node(root, "header");
  ASSERT_EQ(1u, header.dwCount);
  EXPECT_STREQ(" TRUE ", m_xml.GetValue(header, 0, "success"));
  EXPECT_STREQ("", m_xml.GetValue(header, 0, "errorCode"));  // present but empty: not null
  EXPECT_EQ(nullptr, m_xml.GetValue(header, 0, "errorMessage"));

  XML_NODE_LIST body = Node(root, "body");
  XML_NODE_LIST token = Node(body, "confToken");
  ASSERT_EQ(1u, token.dwCount);
  XML_NODE_LIST entries = Node(token, "entry", 0);
  ASSERT_EQ(3u, entries.dwCount);
  EXPECT_STREQ("$MeetingId", m_xml.GetValue(entries, 0, "key"));
  EXPECT_STREQ("42", m_xml.GetValue(entries, 0, "value"));
  EXPECT_STREQ("a & b \xE4\xB8\xAD", m_xml.GetValue(entries, 1, "value"));
  EXPECT_STREQ("NoValue", m_xml.GetValue(entries, 2, "key"));
  EXPECT_EQ(nullptr, m_xml.GetValue(entries, 2, "value"));
  EXPECT_EQ(nullptr, m_xml.GetValue(entries, 3, "key"));  // past the end

  XML_NODE_LIST download = Node(Node(body, "downLoad"), "entry", 0);
  ASSERT_EQ(1u, download.dwCount);
  EXPECT_STREQ("http://h/x?a=1&b=2", m_xml.GetValue(download, 0, "value"));
}

TEST_F(XmlTest, MissingElementsStayMissingDownTheChain) {
  ASSERT_NE(0, Load("<root><header/></root>"));
  XML_NODE_LIST body = Node(Node(kDocument, "root"), "body");
  EXPECT_EQ(0u, body.dwCount);
  // A missing list is not the document: looking under it finds nothing.
  EXPECT_EQ(0u, Node(body, "root").dwCount);
  EXPECT_EQ(nullptr, m_xml.GetValue(body, 0, "header"));
  EXPECT_EQ(0u, Node(kDocument, "header").dwCount);  // not a child of the document
  EXPECT_EQ(0u, Node(kDocument, nullptr).dwCount);
}

TEST_F(XmlTest, IndexAllTakesEveryParentAndIndexOneParent) {
  ASSERT_NE(0, Load("<r><g><e>1</e><e>2</e></g><g><e>3</e></g><g/></r>"));
  XML_NODE_LIST groups = Node(Node(kDocument, "r"), "g");
  ASSERT_EQ(3u, groups.dwCount);
  XML_NODE_LIST all = Node(groups, "e", XML_INDEX_ALL);
  ASSERT_EQ(3u, all.dwCount);
  EXPECT_STREQ("3", m_xml.GetValue(groups, 1, "e"));
  EXPECT_EQ(2u, Node(groups, "e", 0).dwCount);
  EXPECT_EQ(1u, Node(groups, "e", 1).dwCount);
  EXPECT_EQ(0u, Node(groups, "e", 2).dwCount);
  EXPECT_EQ(0u, Node(groups, "e", 3).dwCount);
  // The index-th node of a list is that node itself.
  XML_NODE_LIST first = Node(groups, "e", 0);
  EXPECT_EQ(nullptr, m_xml.GetValue(first, 1, "e"));
  // The same lookup again gives the same list.
  XML_NODE_LIST again = Node(groups, "e", XML_INDEX_ALL);
  EXPECT_EQ(0, memcmp(&all, &again, sizeof(all)));
}

TEST_F(XmlTest, AttributeFilterPrefixesAndMixedText) {
  ASSERT_NE(0, Load("<s:root xmlns:s='urn:x'><item id='1'><t>a</t></item>"
                    "<item id='2'><t>b<!--c-->c<![CDATA[<d>]]></t></item><item><t>e</t></item></s:root>"));
  XML_NODE_LIST root = Node(kDocument, "root");  // found by its local name
  ASSERT_EQ(1u, root.dwCount);
  EXPECT_EQ(1u, Node(kDocument, "s:root").dwCount);
  EXPECT_EQ(0u, Node(kDocument, "x:root").dwCount);

  XML_NODE_LIST two = m_xml.GetNode(root, XML_INDEX_ALL, "item", "id", "2");
  ASSERT_EQ(1u, two.dwCount);
  // Text and CDATA joined, the comment left out.
  EXPECT_STREQ("bc<d>", m_xml.GetValue(two, 0, "t"));
  EXPECT_EQ(2u, m_xml.GetNode(root, XML_INDEX_ALL, "item", "id", nullptr).dwCount);
  EXPECT_EQ(0u, m_xml.GetNode(root, XML_INDEX_ALL, "item", "id", "3").dwCount);
  EXPECT_EQ(3u, Node(root, "item").dwCount);
}

TEST_F(XmlTest, TextsLiveUntilClearAndOldHandlesDie) {
  ASSERT_NE(0, Load("<r><k>first</k><m>x<![CDATA[y]]></m></r>"));
  XML_NODE_LIST r = Node(kDocument, "r");
  const char* k = m_xml.GetValue(r, 0, "k");
  const char* m = m_xml.GetValue(r, 0, "m");
  for (int i = 0; i < 100; ++i) {
    Node(r, "k");
    m_xml.GetValue(r, 0, "m");
  }
  EXPECT_STREQ("first", k);
  EXPECT_STREQ("xy", m);
  EXPECT_EQ(m, m_xml.GetValue(r, 0, "m"));

  ASSERT_NE(0, Load("<r><k>second</k></r>"));
  EXPECT_EQ(nullptr, m_xml.GetValue(r, 0, "k"));  // a handle of the old document
  EXPECT_STREQ("second", m_xml.GetValue(Node(kDocument, "r"), 0, "k"));
  m_xml.Close();
  EXPECT_EQ(0u, Node(kDocument, "r").dwCount);
}

TEST_F(XmlTest, EntitiesBeyondThePredefinedAreNotExpanded) {
  ASSERT_NE(0, Load("<r><v>&lt;&#x4E2D;&#65;&amp;&lol;</v></r>"));
  EXPECT_STREQ(
      "<\xE4\xB8\xAD"
      "A&&lol;",
      m_xml.GetValue(Node(kDocument, "r"), 0, "v"));
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

struct BadDocument {
  const char* name;
  std::string text;
};
void PrintTo(const BadDocument& d, std::ostream* os) { *os << d.name; }

class MalformedXmlTest : public ::testing::TestWithParam<BadDocument> {};

TEST_P(MalformedXmlTest, IsRefused) {
  CSimpleParseXml xml;
  EXPECT_EQ(0, xml.LoadXML(GetParam().text.data(), GetParam().text.size()));
  EXPECT_EQ(0u, xml.GetNode(kDocument, XML_INDEX_ALL, "r", nullptr, nullptr).dwCount);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, MalformedXmlTest,
    ::testing::Values(
        BadDocument{"empty", ""}, BadDocument{"plain text", "not xml"}, BadDocument{"unclosed", "<r>"},
        BadDocument{"mismatched", "<r></s>"}, BadDocument{"text before root", "text<r/>"},
        BadDocument{"text after root", "<r/>text"}, BadDocument{"two roots", "<r/><r/>"},
        BadDocument{"declaration only", "<?xml version='1.0'?>"},
        // A document type of any kind, with or without entities.
        BadDocument{"doctype", "<!DOCTYPE r><r/>"},
        BadDocument{"internal entity", "<?xml version='1.0'?><!-- c --><!DOCTYPE r [<!ENTITY a 'x'>]><r>&a;</r>"},
        BadDocument{"entity expansion",
                    "<!DOCTYPE r [<!ENTITY l0 'ha'><!ENTITY l1 '&l0;&l0;&l0;&l0;&l0;&l0;'>"
                    "<!ENTITY l2 '&l1;&l1;&l1;&l1;&l1;&l1;'>]><r>&l2;</r>"},
        BadDocument{"external entity", "<!DOCTYPE r [<!ENTITY x SYSTEM 'file:///etc/passwd'>]><r>&x;</r>"},
        BadDocument{"doctype after root", "<r/><!DOCTYPE r>"},
        BadDocument{"too deep", Repeat("<r>", 257) + Repeat("</r>", 257)}));

TEST(XmlLimitsTest, DepthAndSizeBounds) {
  CSimpleParseXml xml;
  std::string deep = Repeat("<r>", 256) + "text" + Repeat("</r>", 256);
  EXPECT_NE(0, xml.LoadXML(deep.data(), deep.size()));

  // A huge attribute within the size limit is fine.
  std::string big = "<r a='" + std::string(4 * 1024 * 1024, 'x') + "'><v>ok</v></r>";
  ASSERT_NE(0, xml.LoadXML(big.data(), big.size()));
  EXPECT_STREQ("ok", xml.GetValue(xml.GetNode(kDocument, XML_INDEX_ALL, "r", nullptr, nullptr), 0, "v"));

  std::string huge = "<r a='" + std::string(16 * 1024 * 1024, 'x') + "'/>";
  EXPECT_EQ(0, xml.LoadXML(huge.data(), huge.size()));
  EXPECT_EQ(0, xml.LoadXML(nullptr, 10));
}

TEST(XmlEncodingTest, Utf16DocumentReadAsUtf8) {
  const char16_t text[] = u"\xFEFF<r><v>\u4e2d</v></r>";
  CSimpleParseXml xml;
  ASSERT_NE(0, xml.LoadXML(reinterpret_cast<const char*>(text), sizeof(text) - sizeof(char16_t)));
  EXPECT_STREQ("\xE4\xB8\xAD", xml.GetValue(xml.GetNode(kDocument, XML_INDEX_ALL, "r", nullptr, nullptr), 0, "v"));
  // A document type is refused in any encoding.
  const char16_t typed[] = u"\xFEFF<!DOCTYPE r [<!ENTITY a 'x'>]><r>&a;</r>";
  EXPECT_EQ(0, xml.LoadXML(reinterpret_cast<const char*>(typed), sizeof(typed) - sizeof(char16_t)));
}

}  // namespace
