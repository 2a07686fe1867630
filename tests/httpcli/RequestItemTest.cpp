#include "RequestItem.h"

#include <gtest/gtest.h>

#include "FakeWininet.h"
#include "WininetItem.h"

namespace {

const char kFormLine[] = "Content-Type:   application/x-www-form-urlencoded\r\n";

CRtAutoPtr<CWininetItem> MakeItem(const CRtString& object, const CRtString& verb, const char* body = nullptr,
                                  DWORD length = 0, const CRtString& headers = "") {
  return CRtAutoPtr<CWininetItem>(new CWininetItem(object, nullptr, verb, headers, body, length));
}

std::string Body(CRequestItem* item) { return std::string(item->m_optional, item->m_optLength); }

}  // namespace

TEST(RequestItemTest, KeysStartAtOneAndGrowAcrossItems) {
  auto first = MakeItem("/a", "GET");
  auto second = MakeItem("/b", "GET");
  EXPECT_EQ(1u, first->m_key);
  EXPECT_EQ(2u, second->m_key);
}

TEST(RequestItemTest, PostQueryBecomesFormBodyWithTerminatingZero) {
  auto item = MakeItem("api?a=1&b=2", "post", nullptr, 0, "X-A: 1\r\n");
  EXPECT_EQ("POST", item->m_httpVerb);
  EXPECT_EQ("api", item->m_objectName);
  ASSERT_NE(nullptr, item->m_optional);
  EXPECT_EQ(8u, item->m_optLength);
  EXPECT_EQ(std::string("a=1&b=2\0", 8), Body(item.Get()));
  EXPECT_EQ(std::string("X-A: 1\r\n") + kFormLine, item->m_headers);
}

TEST(RequestItemTest, BodyAndQueryRulesForOtherShapes) {
  // An explicit body: the query stays and no form header is added.
  auto explicitBody = MakeItem("api?x=1", "POST", "raw", 3);
  EXPECT_EQ("api?x=1", explicitBody->m_objectName);
  EXPECT_EQ("raw", Body(explicitBody.Get()));
  EXPECT_EQ("", explicitBody->m_headers);

  auto noQuery = MakeItem("api", "POST");
  EXPECT_EQ(nullptr, noQuery->m_optional);
  EXPECT_EQ("", noQuery->m_headers);

  auto get = MakeItem("api?x=1", "GET");
  EXPECT_EQ("api?x=1", get->m_objectName);
  EXPECT_EQ(nullptr, get->m_optional);

  // A body pointer with length 0 is no body: the POST rule applies.
  auto zero = MakeItem("api?q=2", "POST", "ignored", 0);
  EXPECT_EQ("api", zero->m_objectName);
  EXPECT_EQ(std::string("q=2\0", 4), Body(zero.Get()));
}

TEST(RequestItemTest, DetailIsCutTo1023Bytes) {
  auto item = MakeItem("/x", "GET");
  item->m_receiveMsg = std::string(2000, 'r');
  CRtString detail = item->CRequestItem::GetDetail();
  EXPECT_EQ(1023u, detail.size());

  auto fresh = MakeItem("/y", "GET");
  CRtString full = fresh->GetDetail();
  EXPECT_EQ(0u, full.find("Detail: key="));
  EXPECT_NE(std::string::npos, full.find(",objectName=[/y], receiveMsg=, status=0"));
  const std::string handles = ", hOpen=0,hConnect=0,hRequest=0";
  EXPECT_EQ(full.size() - handles.size(), full.rfind(handles));
}

TEST(RequestItemTest, ClearKeepsOrClosesHandlesRequestFirst) {
  fakeinet::Reset();
  auto item = MakeItem("api?a=1", "POST");
  item->hOpen = InternetOpenA("t", 0, nullptr, nullptr, 0);
  item->hConnect = InternetConnectA(item->hOpen, "h", 80, "", "", 3, 0, 1);
  item->hRequest = HttpOpenRequestA(item->hConnect, "GET", "/", "HTTP/1.1", "", nullptr, 0, 1);
  item->m_readBuffer = new char[CWininetItem::kReadBufferSize];
  item->m_status = REQUEST_READING;

  item->Clear(false);
  EXPECT_EQ(nullptr, item->m_readBuffer);
  EXPECT_EQ(3u, item->m_status);
  EXPECT_NE(nullptr, item->m_optional);
  EXPECT_EQ(3u, fakeinet::OpenHandles());

  item->Clear(true);
  EXPECT_EQ(0u, item->m_status);
  EXPECT_EQ(nullptr, item->m_optional);
  EXPECT_EQ((std::vector<std::string>{"request", "connect", "root"}), fakeinet::Closed());
  EXPECT_EQ(nullptr, item->hRequest);
}
