#include "RequestItem.h"

#include <gtest/gtest.h>

#include "WininetItem.h"

namespace {

CRtAutoPtr<CWininetItem> MakeItem(const CRtString& object, const CRtString& verb, const char* body = nullptr,
                                  DWORD length = 0, const CRtString& headers = "") {
  return CRtAutoPtr<CWininetItem>(new CWininetItem(object, nullptr, verb, headers, body, length));
}

TEST(RequestItemTest, KeysStartAtOneAndGrowAcrossItems) {
  EXPECT_EQ(1u, MakeItem("/a", "GET")->m_key);
  EXPECT_EQ(2u, MakeItem("/b", "GET")->m_key);
}

// A POST without a body of its own sends its query as a form body, with a
// terminating zero counted; every other shape keeps the path as it is.
TEST(RequestItemTest, PostQueryBecomesFormBody) {
  const char kForm[] = "Content-Type:   application/x-www-form-urlencoded\r\n";
  const struct {
    const char *object, *verb, *body;
    DWORD length;
    const char* headers;
    const char *expectedVerb, *expectedObject;
    std::string expectedBody;  // "-": none
    std::string expectedHeaders;
  } cases[] = {
      {"api?a=1&b=2", "post", nullptr, 0, "X-A: 1\r\n", "POST", "api", std::string("a=1&b=2\0", 8),
       std::string("X-A: 1\r\n") + kForm},
      {"api?x=1", "POST", "raw", 3, "", "POST", "api?x=1", "raw", ""},  // an explicit body
      {"api", "POST", nullptr, 0, "", "POST", "api", "-", ""},
      {"api?x=1", "GET", nullptr, 0, "", "GET", "api?x=1", "-", ""},
      // A body pointer with length 0 is no body: the POST rule applies.
      {"api?q=2", "POST", "ignored", 0, "", "POST", "api", std::string("q=2\0", 4), kForm},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.verb) + " " + c.object);
    auto item = MakeItem(c.object, c.verb, c.body, c.length, c.headers);
    EXPECT_EQ(c.expectedVerb, item->m_httpVerb);
    EXPECT_EQ(c.expectedObject, item->m_objectName);
    EXPECT_EQ(c.expectedBody, item->m_optional ? std::string(item->m_optional, item->m_optLength) : "-");
    EXPECT_EQ(c.expectedHeaders, item->m_headers);
  }
}

}  // namespace
