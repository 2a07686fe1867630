// CSimpleParseXml: the reply envelopes as the module walks them, index
// semantics, text lifetime, and malformed and hostile documents.
#include <sstream>
#include <string>
#include <vector>

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
const char kGroups[] = "<r><g><e>1</e><e>2</e></g><g><e>3</e></g><g/></r>";
const char16_t kUtf16[] = u"\xFEFF<r><v>\u4e2d</v></r>";

// Walks "a/b/c" from the document, each step under every node of the last
// list, except a step written "c#i", which looks under the i-th node only.
XML_NODE_LIST Walk(CSimpleParseXml& xml, const std::string& path) {
  XML_NODE_LIST list = kDocument;
  for (size_t from = 0; from <= path.size();) {
    const size_t slash = std::min(path.find('/', from), path.size()), hash = path.find('#', from);
    const bool indexed = hash < slash;
    const std::string name = path.substr(from, (indexed ? hash : slash) - from);
    list = xml.GetNode(list, indexed ? std::stoul(path.substr(hash + 1)) : XML_INDEX_ALL,
                       name.empty() ? nullptr : name.c_str(), nullptr, nullptr);
    from = slash + 1;
  }
  return list;
}

// One lookup: the list the path gives, then the value of key under its
// index-th node (want null: no such value).
TEST(XmlTest, LookupsAsTheModuleMakesThem) {
  const struct {
    std::string doc;
    const char* path;
    unsigned count, index;
    const char* key;
    const char* want;
  } rows[] = {
      {kJoinReply, "root/header", 1, 0, "success", " TRUE "},
      {kJoinReply, "root/header", 1, 0, "errorCode", ""},  // present but empty: not null
      {kJoinReply, "root/body/confToken/entry#0", 3, 0, "value", "42"},
      {kJoinReply, "root/body/confToken/entry#0", 3, 1, "value", "a & b \xE4\xB8\xAD"},
      {kJoinReply, "root/body/confToken/entry#0", 3, 2, "value", nullptr},
      {kJoinReply, "root/body/confToken/entry#0", 3, 3, "key", nullptr},  // past the end
      {kJoinReply, "root/body/downLoad/entry", 1, 0, "value", "http://h/x?a=1&b=2"},
      // A missing list is not the document: looking under it finds nothing.
      {"<root><header/></root>", "root/body", 0, 0, "header", nullptr},
      // Index: every parent, or the i-th one only; the i-th node of a list is that node.
      {kGroups, "r/g", 3, 1, "e", "3"},
      {kGroups, "r/g/e", 3, 2, "e", nullptr},
      {kGroups, "r/g/e#0", 2, 1, "e", nullptr},
      {kGroups, "r/g/e#1", 1, 0, "e", nullptr},
      {kGroups, "r/g/e#3", 0, 0, "e", nullptr},
      // Entities beyond the predefined and character references are not expanded.
      {"<r><v>&lt;&#x4E2D;&#65;&amp;&lol;</v></r>", "r", 1, 0, "v",
       "<\xE4\xB8\xAD"
       "A&&lol;"},
      {"<r><k>first</k><m>x<![CDATA[y]]></m></r>", "r", 1, 0, "m", "xy"},
      // UTF-16 with a byte-order mark is read as UTF-8.
      {std::string(reinterpret_cast<const char*>(kUtf16), sizeof(kUtf16) - sizeof(char16_t)), "r", 1, 0, "v",
       "\xE4\xB8\xAD"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.doc.substr(0, 40) + " " + row.path + " " + row.key);
    CSimpleParseXml xml;
    ASSERT_NE(0, xml.LoadXML(row.doc.data(), row.doc.size()));
    const XML_NODE_LIST list = Walk(xml, row.path);
    EXPECT_EQ(row.count, list.dwCount);
    const char* got = xml.GetValue(list, row.index, row.key);
    if (row.want)
      EXPECT_STREQ(row.want, got);
    else
      EXPECT_EQ(nullptr, got) << got;
  }
}

TEST(XmlTest, TextsLiveUntilTheNextDocumentAndOldHandlesDie) {
  CSimpleParseXml xml;
  ASSERT_NE(0, xml.LoadXML("<r><k>first</k></r>", 19));
  const XML_NODE_LIST r = Walk(xml, "r");
  const char* k = xml.GetValue(r, 0, "k");
  for (int i = 0; i < 100; ++i) Walk(xml, "r/k"), xml.GetValue(r, 0, "k");
  EXPECT_STREQ("first", k);
  EXPECT_EQ(k, xml.GetValue(r, 0, "k"));
  xml.Clear();
  ASSERT_NE(0, xml.LoadXML("<r><k>second</k></r>", 20));
  EXPECT_EQ(nullptr, xml.GetValue(r, 0, "k"));  // a handle of the old document
  EXPECT_STREQ("second", xml.GetValue(Walk(xml, "r"), 0, "k"));
  xml.Close();
  EXPECT_EQ(0u, Walk(xml, "r").dwCount);
}

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(XmlTest, MalformedHostileAndOversizedDocumentsAreRefused) {
  const char16_t typed[] = u"\xFEFF<!DOCTYPE r [<!ENTITY a 'x'>]><r>&a;</r>";
  // Broken documents ('|' between them, the first one empty), and a document
  // type of any kind, with or without entities, in any encoding; nesting and
  // size past the limits.
  std::istringstream literal(
      "|not xml|<r>|<r></s>|text<r/>|<r/>text|<r/><r/>|<?xml version='1.0'?>|<!DOCTYPE r><r/>|<r/><!DOCTYPE r>|"
      "<?xml version='1.0'?><!-- c --><!DOCTYPE r [<!ENTITY a 'x'>]><r>&a;</r>|"
      "<!DOCTYPE r [<!ENTITY l0 'ha'><!ENTITY l1 '&l0;&l0;&l0;&l0;'>]><r>&l1;</r>|"
      "<!DOCTYPE r [<!ENTITY x SYSTEM 'file:///etc/passwd'>]><r>&x;</r>");
  std::vector<std::string> cases = {std::string(reinterpret_cast<const char*>(typed), sizeof(typed) - sizeof(char16_t)),
                                    Repeat("<r>", 257) + Repeat("</r>", 257),
                                    "<r a='" + std::string(16 * 1024 * 1024, 'x') + "'/>"};
  for (std::string c; std::getline(literal, c, '|');) cases.push_back(c);
  for (const std::string& c : cases) {
    SCOPED_TRACE(c.substr(0, 80));
    CSimpleParseXml xml;
    EXPECT_EQ(0, xml.LoadXML(c.data(), c.size()));
    EXPECT_EQ(0u, Walk(xml, "r").dwCount);
  }
  CSimpleParseXml xml;
  EXPECT_EQ(0, xml.LoadXML(nullptr, 10));
  // Just inside the limits.
  for (const std::string& c : {Repeat("<r>", 255) + "<v>ok</v>" + Repeat("</r>", 255),
                               "<r a='" + std::string(4 * 1024 * 1024, 'x') + "'><v>ok</v></r>"}) {
    ASSERT_NE(0, xml.LoadXML(c.data(), c.size()));
    EXPECT_EQ(1u, Walk(xml, "r").dwCount);
  }
}

}  // namespace
