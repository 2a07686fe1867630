// The site and its WinINet transport over the scripted WinINet: what is sent
// and with which flags, challenges and the process-wide retry budget, status
// reports, the reply cap, the time-out sweep on the test clock. Reads that
// wait and broken connections over the real layer are the module's download
// tests' (they share the read loop).
#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "HttpClient.h"
#include "HttpcliTestUtil.h"
#include "InternetCallback.h"
#include "SiteWininet.h"
#include "TransportSettings.h"
#include "qmxclock.h"
#include "FakeWininet.h"

using namespace httpcli_test;

namespace {

class SiteTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { fakeinet::Reset(); }
  void TearDown() override {
    if (site) site->OpenWith(nullptr);
    CloseSite();
    client->CloseAllSites();
    client->Destory();
    QmxClockSetManual(0, 0);
  }
  CSiteWininet* Open(const std::string& url, bool sync = false) {
    EXPECT_EQ(0, client->InitSite(url, &site));
    site->OpenWith(&sink);
    int value = sync ? 1 : 0;
    site->SetOption(SiteOptionSync, &value);
    return static_cast<CSiteWininet*>(site);
  }
  void CloseSite() {
    if (!site) return;
    client->CloseSite(site);
    site->ReleaseReference();
    site = nullptr;
  }
  bool RunUntilDelivered(size_t n) {
    return loop.RunUntil([&] { return sink.deliveries.size() >= n; });
  }
  // WinINet finishes the last asynchronous operation on a thread of its own.
  void CompleteFromWinInet(DWORD error = 0) {
    std::thread([error] { EXPECT_TRUE(fakeinet::CompleteAsync(error)); }).join();
  }

  OwnerLoop loop;
  RecordingSink sink;
  CHttpClient* client = CHttpClient::Instance();
  ISiteClient* site = nullptr;
};

using fakeinet::Reply;

Reply Ok(const std::string& body, DWORD status = 200) { return Reply{status, body}; }

std::string Pattern(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += (char)('a' + i % 26);
  return s;
}

TEST_F(SiteTransportTest, AsyncGetIsDeliveredOnceWithTheBodyAndRecorded) {
  OwnRecordDir records;
  CSiteWininet* s = Open("http://h:8080/p?x=1");
  std::string body = Pattern(5000);
  fakeinet::PushReply(Ok(body));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "", "get", "", nullptr, 0));
  const fakeinet::Send sent = fakeinet::Seen().sends.at(0);
  EXPECT_EQ("GET", sent.verb);
  EXPECT_EQ(key, sent.context);

  CompleteFromWinInet();
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ(key, sink.deliveries[0].key);
  EXPECT_EQ(0, sink.deliveries[0].result);
  EXPECT_EQ(body, sink.deliveries[0].content);
  EXPECT_EQ(0u, s->GetPendingCount());
  QmxThreadRunPending();
  EXPECT_EQ(1u, sink.deliveries.size());

  // The request line, then the body in pieces of at most 2047 bytes.
  std::string record = ReadFile(records.path() + "/httpresponse.rrr");
  EXPECT_NE(std::string::npos, record.find("[    1]:/p?x=1\n"));
  EXPECT_NE(std::string::npos, record.find("[    1]:" + body.substr(0, 2047) + "\n"));
  EXPECT_NE(std::string::npos, record.find("[    1]:" + body.substr(4094) + "\n"));
}

// The request flags: certificates are checked on HTTPS, where only a
// redirect up to HTTPS is let through; the host's opt-in forgives what the
// original module forgave. The site's address gives host, port and path.
TEST_F(SiteTransportTest, RequestAndSecurityFlags) {
  const struct {
    const char* url;
    bool relaxed;
    DWORD requestFlags, securityFlags;
    INTERNET_PORT port;
    const char* object;
  } cases[] = {
      {"http://h:8080/p", false, 0x84480000u, 0x84484000u, 8080, "/p"},
      {"HTTPS://h/", false, 0x84C80000u, 0x84C84000u, 443, "/"},
      {"https://h/", true, 0x84C83000u, 0x84C8F180u, 443, "/"},
      {"https://user:pw@h:80/p?x=1", false, 0x84C80000u, 0x84C84000u, 80, "/p?x=1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    fakeinet::Reset();
    TransportSettings::SetRelaxedTls(c.relaxed);
    Open(c.url);
    DWORD key = 0;
    ASSERT_EQ(0, site->Request(&key, "", "GET", "", nullptr, 0));
    TransportSettings::SetRelaxedTls(false);
    const fakeinet::Send sent = fakeinet::Seen().sends.at(0);
    EXPECT_EQ(std::make_tuple(c.requestFlags, c.securityFlags, std::string("h"), c.port, std::string(c.object)),
              std::make_tuple(sent.requestFlags, sent.securityFlags, sent.host, sent.port, sent.object));
    CloseSite();
  }
}

TEST_F(SiteTransportTest, SyncReadsUnannouncedBodyExactlyAndKeepsWhatArrivedOnABreak) {
  Open("http://h/base", true);
  Reply r = Ok(Pattern(3000));
  r.withLength = false;
  fakeinet::PushReply(r);
  CRtString response;
  EXPECT_EQ(0, site->RequestSync(response, "", "GET", "", nullptr, 0));
  EXPECT_EQ(Pattern(3000), response);
  EXPECT_EQ(6000u, fakeinet::Seen().connectTimeout);

  Reply partly = Ok(Pattern(3000));
  partly.failAfter = 1000;  // the first read brings 1000 bytes, the next one fails
  fakeinet::PushReply(partly);
  EXPECT_EQ(10001, site->RequestSync(response, "/", "GET", "", nullptr, 0));
  EXPECT_EQ(Pattern(1000), response);
}

// A reply text is held to 16 MiB, read in blocks or in no-wait pieces: one
// byte more fails the request with nothing of the body.
TEST_F(SiteTransportTest, ReplyTextIsHeldTo16MiB) {
  const size_t cap = 16u << 20;
  for (const bool sync : {true, false}) {
    for (const size_t size : {cap, cap + 1}) {
      SCOPED_TRACE(std::string(sync ? "sync " : "async ") + std::to_string(size));
      fakeinet::PushReply(Ok(std::string(size, 'x')));
      CRtString response = "old";
      int result = -1;
      if (sync) {
        Open("http://h/", true);
        result = site->RequestSync(response, "/", "GET", "", nullptr, 0);
      } else {
        Open("http://h/");
        sink.deliveries.clear();
        DWORD key = 0;
        ASSERT_EQ(0, site->Request(&key, "/", "GET", "", nullptr, 0));
        CompleteFromWinInet();
        ASSERT_TRUE(RunUntilDelivered(1));
        result = sink.deliveries[0].result;
        response = sink.deliveries[0].content;
      }
      EXPECT_EQ(size == cap ? 0 : sync ? 10001 : 10006, result);  // as any failed transfer
      EXPECT_EQ(size == cap ? cap : 0u, response.size());
      CloseSite();
    }
  }
}

// The retry budget is the process's: three challenges are answered, the
// fourth ends the request, below zero every challenge goes to the prompt
// again. Stored proxy credentials answer only the first one; through the
// proxy a body waits until proxy authentication worked.
TEST_F(SiteTransportTest, ChallengesSpendTheProcessWideRetryBudget) {
  CSiteWininet* s = Open("http://h/", true);
  site->SetProxy("pu", "pp", "proxyhost", 3128, 1);
  int on = 1;
  site->SetOption(SiteOptionUseProxy, &on);
  fakeinet::PushReply(Ok("auth please", 407));
  fakeinet::PushReply(Ok("welcome"));
  CRtString response;
  EXPECT_EQ(0, site->RequestSync(response, "api?a=1", "POST", "", nullptr, 0));
  EXPECT_EQ("welcome", response);
  fakeinet::State seen = fakeinet::Seen();
  EXPECT_EQ((DWORD)INTERNET_OPEN_TYPE_PROXY, seen.sends.at(0).openAccess);
  EXPECT_EQ("HTTP=HTTP://proxyhost:3128", seen.sends[0].proxy);
  EXPECT_TRUE(seen.sends[0].bodyPointerNull && seen.sends[0].bodyLength == 0);  // the body waits
  EXPECT_EQ("pu", seen.sends.at(1).proxyUser);
  EXPECT_EQ(0u, seen.dialogs);
  EXPECT_EQ(2, s->GetProxyAuthState());

  for (DWORD status : {407, 401, 401}) fakeinet::PushReply(Ok("challenge", status));
  for (int i = 0; i < 2; ++i) fakeinet::PushDialogAnswer(ERROR_INTERNET_FORCE_RETRY);
  EXPECT_EQ(10001, site->RequestSync(response, "api?a=1", "POST", "", nullptr, 0));
  EXPECT_EQ("", response);
  seen = fakeinet::Seen();
  EXPECT_EQ(std::string("a=1\0", 4), seen.sends.at(2).body);  // authentication worked: the body goes
  EXPECT_EQ(2u, seen.dialogs);
  EXPECT_EQ(5u, seen.sends.size());

  // Cancelling the prompt delivers the challenge page.
  fakeinet::PushReply(Ok("denied page", 407));
  EXPECT_EQ(0, site->RequestSync(response, "/", "GET", "", nullptr, 0));
  EXPECT_EQ("denied page", response);
  EXPECT_EQ(3u, fakeinet::Seen().dialogs);
  EXPECT_EQ(0, s->GetProxyAuthState());
}

// Asynchronously, an answered challenge sends again on new handles, with the
// same key and the POST body again, and the final reply is delivered once.
TEST_F(SiteTransportTest, AsyncRetryResendsTheBodyWithItsKey) {
  Open("http://h/");
  fakeinet::PushReply(Ok("401 page", 401));
  fakeinet::PushReply(Ok("done"));
  fakeinet::PushDialogAnswer(ERROR_INTERNET_FORCE_RETRY);
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "api?a=1", "POST", "", nullptr, 0));
  CompleteFromWinInet();
  ASSERT_TRUE(loop.RunUntil([] { return fakeinet::Seen().sends.size() >= 2; }));
  EXPECT_EQ(std::string("a=1\0", 4), fakeinet::Seen().sends[1].body);
  EXPECT_EQ(key, fakeinet::Seen().sends[1].context);
  CompleteFromWinInet();
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ("done", sink.deliveries[0].content);
  EXPECT_EQ(1u, sink.deliveries.size());
}

// A disconnect completes the request with what it has; a completion for a
// cancelled request reaches nobody.
TEST_F(SiteTransportTest, DisconnectCompletesAndCancelledRequestsReachNobody) {
  CSiteWininet* s = Open("http://h/");
  fakeinet::PushReply(Ok("partial"));
  DWORD key = 0, other = 0;
  ASSERT_EQ(0, site->Request(&key, "/", "GET", "", nullptr, 0));
  MyInternetCallback(nullptr, key, INTERNET_STATE_DISCONNECTED_BY_USER, nullptr, 0);
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ("partial", sink.deliveries[0].content);

  ASSERT_EQ(0, site->Request(&other, "/", "GET", "", nullptr, 0));
  site->Cancel(other);
  EXPECT_EQ(0u, s->GetPendingCount());
  INTERNET_ASYNC_RESULT done = {1, 0};
  MyInternetCallback(nullptr, other, INTERNET_STATUS_REQUEST_COMPLETE, &done, sizeof(done));
  QmxThreadRunPending();
  EXPECT_EQ(1u, sink.deliveries.size());
}

TEST_F(SiteTransportTest, FailedSendReturns10006AndIsNotPending) {
  CSiteWininet* s = Open("http://h/");
  fakeinet::FailSends(ERROR_INTERNET_CANNOT_CONNECT);
  DWORD key = 7;
  EXPECT_EQ(10006, site->Request(&key, "/", "GET", "", nullptr, 0));
  EXPECT_EQ(0u, key);
  EXPECT_EQ(0u, s->GetPendingCount());
  EXPECT_FALSE(s->IsTimerScheduled());
  EXPECT_EQ(0u, fakeinet::Seen().openHandles);
}

// The sweep runs on the test clock: 20 s ticks, 120 s idle limit.
TEST_F(SiteTransportTest, SweepTimesOutOneStaleRequestPerTickInOrderThenStops) {
  QmxClockSetManual(1, 1000000);
  auto Tick = [&] {
    QmxClockAdvance(20000);
    QmxThreadRunPending();
  };
  CSiteWininet* s = Open("http://h/");
  DWORD keys[4];
  for (DWORD& k : keys) ASSERT_EQ(0, site->Request(&k, "/", "GET", "", nullptr, 0));
  site->Cancel(keys[1]);               // no delivery for a cancelled request
  for (int i = 0; i < 6; ++i) Tick();  // 120 s: not yet over the limit
  EXPECT_TRUE(sink.deliveries.empty());
  Tick();
  ASSERT_EQ(1u, sink.deliveries.size());
  EXPECT_EQ(keys[0], sink.deliveries[0].key);
  EXPECT_EQ(10006, sink.deliveries[0].result);
  Tick();
  Tick();
  ASSERT_EQ(3u, sink.deliveries.size());
  EXPECT_EQ(keys[2], sink.deliveries[1].key);
  EXPECT_EQ(keys[3], sink.deliveries[2].key);
  EXPECT_FALSE(s->IsTimerScheduled());

  DWORD next = 0;
  ASSERT_EQ(0, site->Request(&next, "/", "GET", "", nullptr, 0));
  EXPECT_TRUE(s->IsTimerScheduled());  // a new request starts the sweep again
}

TEST_F(SiteTransportTest, DestroyingASiteReleasesPendingRequestsSilently) {
  Open("http://h/");
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "/", "GET", "", nullptr, 0));
  CloseSite();
  EXPECT_TRUE(sink.deliveries.empty());
  EXPECT_EQ(0u, fakeinet::Seen().openHandles);
  EXPECT_EQ(nullptr, client->FindRequest(key));
}

}  // namespace
