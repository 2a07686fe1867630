// The site and its WinINet transport over a scripted WinINet: what is sent
// and with which flags, challenges and the process-wide retry budget, status
// reports, and the time-out sweep on the test clock. The same paths against
// real servers are in LoopbackTest.cpp.
#include <gtest/gtest.h>

#include <thread>

#include "FakeWininet.h"
#include "HttpClient.h"
#include "HttpcliTestUtil.h"
#include "InternetCallback.h"
#include "RtTraceCapture.h"
#include "SiteWininet.h"
#include "TransportSettings.h"
#include "qmxclock.h"

using namespace httpcli_test;
using fakeinet::Reply;

namespace {

Reply Ok(const std::string& body, DWORD status = 200) {
  Reply r;
  r.status = status;
  r.body = body;
  return r;
}

std::string Pattern(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += (char)('a' + i % 26);
  return s;
}

class SiteTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { fakeinet::Reset(); }
  void TearDown() override {
    if (site) {
      site->OpenWith(nullptr);
      client->CloseSite(site);
      site->ReleaseReference();
    }
    client->CloseAllSites();
    client->Destory();
  }

  CSiteWininet* Open(const std::string& url, bool sync = false) {
    EXPECT_EQ(0, client->InitSite(url, &site));
    site->OpenWith(&sink);
    int value = sync ? 1 : 0;
    site->SetOption(SiteOptionSync, &value);
    return static_cast<CSiteWininet*>(site);
  }
  // WinINet finishes the last asynchronous operation on a thread of its own.
  void CompleteFromWinInet(DWORD error = 0) {
    std::thread([error] { EXPECT_TRUE(fakeinet::CompleteAsync(error)); }).join();
  }
  bool RunUntilDelivered(size_t n) {
    return loop.RunUntil([&] { return sink.deliveries.size() >= n; });
  }
  bool RunUntilSends(size_t n) {
    return loop.RunUntil([&] { return fakeinet::Sends().size() >= n; });
  }

  OwnerLoop loop;
  CRtTraceCapture trace;
  RecordingSink sink;
  CHttpClient* client = CHttpClient::Instance();
  ISiteClient* site = nullptr;
};

TEST_F(SiteTransportTest, AsyncGetIsDeliveredOnceWithTheBodyAndRecorded) {
  OwnRecordDir records;
  CSiteWininet* s = Open("http://h:8080/p?x=1");
  std::string body = Pattern(5000);
  fakeinet::PushReply(Ok(body));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "", "get", "", nullptr, 0));
  EXPECT_EQ(1u, key);
  EXPECT_EQ(1u, s->GetPendingCount());
  EXPECT_TRUE(s->IsTimerScheduled());

  auto sends = fakeinet::Sends();
  ASSERT_EQ(1u, sends.size());
  EXPECT_EQ("GET", sends[0].verb);
  EXPECT_EQ("/p?x=1", sends[0].object);
  EXPECT_EQ("h", sends[0].host);
  EXPECT_EQ(8080, sends[0].port);
  EXPECT_EQ(0x84480000u, sends[0].requestFlags);
  EXPECT_EQ(0x84484000u, sends[0].securityFlags);
  EXPECT_EQ((DWORD)INTERNET_OPEN_TYPE_PRECONFIG, sends[0].openAccess);
  EXPECT_EQ(key, sends[0].context);

  CompleteFromWinInet();
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ(key, sink.deliveries[0].key);
  EXPECT_EQ(0, sink.deliveries[0].result);
  EXPECT_EQ(body, sink.deliveries[0].content);
  EXPECT_EQ(0u, s->GetPendingCount());
  loop.RunPending();
  EXPECT_EQ(1u, sink.deliveries.size());

  // The request line, then the body in pieces of at most 2047 bytes.
  std::string record = ReadFile(RecordDir() + "httpresponse.rrr");
  EXPECT_NE(std::string::npos, record.find("[    1]:/p?x=1\n"));
  EXPECT_NE(std::string::npos, record.find("[    1]:" + body.substr(0, 2047) + "\n"));
  EXPECT_NE(std::string::npos, record.find("[    1]:" + body.substr(4094) + "\n"));
}

TEST_F(SiteTransportTest, HttpsFlagsAndUrlParts) {
  CSiteWininet* s = Open("HTTPS://h/");
  EXPECT_TRUE(s->IsHttps());
  EXPECT_EQ(443, s->GetPort());
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "/x", "GET", "", nullptr, 0));
  // Certificates are checked: only a redirect up to HTTPS is let through.
  EXPECT_EQ(0x84C80000u, fakeinet::Sends()[0].requestFlags);
  EXPECT_EQ(0x84C84000u, fakeinet::Sends()[0].securityFlags);
  // The host's opt-in forgives what the original module forgave.
  TransportSettings::SetRelaxedTls(true);
  ASSERT_EQ(0, site->Request(&key, "/x", "GET", "", nullptr, 0));
  TransportSettings::SetRelaxedTls(false);
  EXPECT_EQ(0x84C83000u, fakeinet::Sends()[1].requestFlags);
  EXPECT_EQ(0x84C8F180u, fakeinet::Sends()[1].securityFlags);

  CSiteWininet explicitPort("https://user:pw@h:80/p?x=1&y=2");
  EXPECT_TRUE(explicitPort.IsHttps());
  EXPECT_EQ(80, explicitPort.GetPort());
  EXPECT_EQ("h", explicitPort.GetHost());
  EXPECT_EQ("/p?x=1&y=2", explicitPort.GetUrlPath());
}

TEST_F(SiteTransportTest, ModeMismatchAndOptions) {
  CSiteWininet* s = Open("http://h/");
  CRtString response = "untouched";
  EXPECT_EQ(10015, site->RequestSync(response, "/", "GET", "", nullptr, 0));
  EXPECT_EQ("untouched", response);
  EXPECT_TRUE(trace.Contains("Assert failed: !m_bAsync", RT_TRACE_LEVEL_ERROR));

  int on = 1;
  EXPECT_EQ(0, site->SetOption(SiteOptionSync, &on));
  EXPECT_FALSE(s->IsAsync());
  DWORD key = 99;
  EXPECT_EQ(10015, site->Request(&key, "/", "GET", "", nullptr, 0));
  EXPECT_EQ(0u, key);
  EXPECT_TRUE(trace.Contains("Assert failed: m_bAsync", RT_TRACE_LEVEL_ERROR));
  EXPECT_TRUE(fakeinet::Sends().empty());

  int five = 5;
  EXPECT_EQ(0, site->SetOption(SiteOptionUseProxy, &five));
  EXPECT_EQ(5, s->IsUseProxy());
  EXPECT_EQ(10004, site->SetOption((SiteOption)2, &on));
  EXPECT_FALSE(s->IsAsync());

  // TestProxy puts the proxy switch back, also when the request fails.
  int zero = 0;
  site->SetOption(SiteOptionUseProxy, &zero);
  fakeinet::FailCall("InternetOpenA", 12029);
  EXPECT_EQ(10006, site->TestProxy());
  EXPECT_FALSE(s->IsUseProxy());
}

TEST_F(SiteTransportTest, ProxyWithholdsBodyUntilProxyAuthWorked) {
  Open("http://h/");
  site->SetProxy("pu", "pp", "proxyhost", 3128, 1);
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "api?a=1", "POST", "", nullptr, 0));
  EXPECT_EQ((DWORD)INTERNET_OPEN_TYPE_PRECONFIG, fakeinet::Sends()[0].openAccess);  // SetProxy alone
  EXPECT_EQ(std::string("a=1\0", 4), fakeinet::Sends()[0].body);

  int on = 1;
  site->SetOption(SiteOptionUseProxy, &on);
  ASSERT_EQ(0, site->Request(&key, "api?a=1", "POST", "", nullptr, 0));
  auto sent = fakeinet::Sends()[1];
  EXPECT_EQ((DWORD)INTERNET_OPEN_TYPE_PROXY, sent.openAccess);
  EXPECT_EQ("HTTP=HTTP://proxyhost:3128", sent.proxy);
  EXPECT_TRUE(sent.bodyPointerNull);
  EXPECT_EQ(0u, sent.bodyLength);
}

TEST_F(SiteTransportTest, SyncGetReadsUnannouncedBodyExactly) {
  Open("http://h/base", true);
  Reply r = Ok(Pattern(3000));
  r.withLength = false;
  fakeinet::PushReply(r);
  CRtString response;
  EXPECT_EQ(0, site->RequestSync(response, "", "GET", "", nullptr, 0));
  EXPECT_EQ(Pattern(3000), response);
  EXPECT_EQ("/base", fakeinet::Sends()[0].object);
  EXPECT_EQ(6000u, fakeinet::DefaultConnectTimeout());
  EXPECT_TRUE(sink.deliveries.empty());  // synchronous results are returned, never delivered

  fakeinet::PushReply(Ok(""));
  EXPECT_EQ(0, site->RequestSync(response, "/empty", "GET", "", nullptr, 0));
  EXPECT_EQ("", response);
}

TEST_F(SiteTransportTest, SyncReadThatBreaksOffKeepsWhatArrived) {
  Open("http://h/", true);
  Reply partly = Ok(Pattern(3000));
  partly.failAfter = 1000;  // the first read brings 1000 bytes, the next one fails
  fakeinet::PushReply(partly);
  CRtString response = "old";
  EXPECT_EQ(10001, site->RequestSync(response, "/", "GET", "", nullptr, 0));
  EXPECT_EQ(Pattern(1000), response);

  Reply none = Ok(Pattern(10));
  none.failAfter = 0;
  fakeinet::PushReply(none);
  EXPECT_EQ(10001, site->RequestSync(response, "/", "GET", "", nullptr, 0));
  EXPECT_EQ("", response);
}

TEST_F(SiteTransportTest, SyncProxyChallengeAnsweredWithCredentials) {
  CSiteWininet* s = Open("http://h/", true);
  site->SetProxy("pu", "pp", "proxyhost", 3128, 1);
  int on = 1;
  site->SetOption(SiteOptionUseProxy, &on);
  fakeinet::PushReply(Ok("auth please", 407));
  fakeinet::PushReply(Ok("welcome"));
  CRtString response;
  EXPECT_EQ(0, site->RequestSync(response, "/", "GET", "", nullptr, 0));
  EXPECT_EQ("welcome", response);
  auto sends = fakeinet::Sends();
  ASSERT_EQ(2u, sends.size());
  EXPECT_EQ("pu", sends[1].proxyUser);
  EXPECT_EQ(0u, fakeinet::DialogCount());
  EXPECT_EQ(2, s->GetProxyAuthState());
  EXPECT_EQ(3, CSiteWininet::GetProxyRetries());

  // A second challenge goes to the prompt; cancelling it delivers the page.
  fakeinet::PushReply(Ok("denied page", 407));
  EXPECT_EQ(0, site->RequestSync(response, "/", "GET", "", nullptr, 0));
  EXPECT_EQ("denied page", response);
  EXPECT_EQ(1u, fakeinet::DialogCount());
  EXPECT_EQ(0, s->GetProxyAuthState());
}

TEST_F(SiteTransportTest, AsyncRetryResendsOnNewHandlesWithTheBody) {
  Open("http://h/");
  fakeinet::PushReply(Ok("401 page", 401));
  fakeinet::PushReply(Ok("done"));
  fakeinet::PushDialogAnswer(ERROR_INTERNET_FORCE_RETRY);
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "api?a=1", "POST", "", nullptr, 0));
  CompleteFromWinInet();
  ASSERT_TRUE(RunUntilSends(2));
  EXPECT_EQ((std::vector<std::string>{"request", "connect", "root"}), fakeinet::Closed());
  auto sends = fakeinet::Sends();
  EXPECT_EQ(std::string("a=1\0", 4), sends[1].body);
  EXPECT_EQ(key, sends[1].context);
  CompleteFromWinInet();
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_EQ("done", sink.deliveries[0].content);
}

TEST_F(SiteTransportTest, RetryBudgetIsSpentByTheFourthChallengeSync) {
  Open("http://h/", true);
  for (int i = 0; i < 5; ++i) fakeinet::PushReply(Ok("challenge", 401));
  for (int i = 0; i < 3; ++i) fakeinet::PushDialogAnswer(ERROR_INTERNET_FORCE_RETRY);
  CRtString response;
  EXPECT_EQ(10001, site->RequestSync(response, "/", "GET", "", nullptr, 0));
  EXPECT_EQ("", response);
  EXPECT_EQ(3u, fakeinet::DialogCount());
  EXPECT_TRUE(
      trace.Contains("CSiteWininet::OnRequestComplete, proxy retry 3 times, quit! requ=1", RT_TRACE_LEVEL_INFO));
  // Below zero every challenge goes to the prompt again.
  EXPECT_EQ(0, site->RequestSync(response, "/", "GET", "", nullptr, 0));
  EXPECT_EQ(4u, fakeinet::DialogCount());
}

TEST_F(SiteTransportTest, ReportsForUnknownKeysAndOtherStatuses) {
  CSiteWininet* s = Open("http://h/");
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "/", "GET", "", nullptr, 0));
  int dummy = 0;
  MyInternetCallback(nullptr, key, INTERNET_STATUS_HANDLE_CREATED, &dummy, sizeof(void*));
  ASSERT_TRUE(loop.RunUntil([&] { return s->FindPending(key)->GetDetail().size() && loop.RunPending() == 0; }));
  EXPECT_EQ(60u, static_cast<CWininetItem*>(s->FindPending(key))->m_internetStatus);

  MyInternetCallback(nullptr, key, 140, nullptr, 0);
  ASSERT_TRUE(loop.RunUntil([&] { return trace.Contains("unexpected internet status. status=140"); }));

  site->Cancel(key);
  EXPECT_EQ(0u, s->GetPendingCount());
  INTERNET_ASYNC_RESULT done = {1, 0};
  MyInternetCallback(nullptr, key, INTERNET_STATUS_REQUEST_COMPLETE, &done, sizeof(done));
  ASSERT_TRUE(loop.RunUntil([&] { return trace.Contains("cann't get request."); }));
  EXPECT_TRUE(trace.Has("CInternetCallbackEvent::OnEventFire, cann't get request.", RT_TRACE_LEVEL_WARNING));
  EXPECT_TRUE(sink.deliveries.empty());

  // With the queue let go the callback disposes of its event itself, quietly:
  // the last handles' reports come after the host's shutdown.
  client->Destory();
  MyInternetCallback(nullptr, key, INTERNET_STATUS_HANDLE_CLOSING, nullptr, 0);
  MyInternetCallback(nullptr, key, INTERNET_STATUS_REQUEST_COMPLETE, &done, sizeof(done));
  EXPECT_FALSE(trace.Contains("Assert failed"));
}

TEST_F(SiteTransportTest, DisconnectReportCompletesTheRequest) {
  Open("http://h/");
  fakeinet::PushReply(Ok("partial"));
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "/", "GET", "", nullptr, 0));
  MyInternetCallback(nullptr, key, INTERNET_STATE_DISCONNECTED_BY_USER, nullptr, 0);
  ASSERT_TRUE(RunUntilDelivered(1));
  EXPECT_TRUE(trace.Has("CInternetCallbackEvent::OnEventFire, internet disconnect status.", RT_TRACE_LEVEL_WARNING));
  EXPECT_EQ("partial", sink.deliveries[0].content);
}

TEST_F(SiteTransportTest, FailedSendReturns10006AndIsNotPending) {
  CSiteWininet* s = Open("http://h/");
  fakeinet::FailCall("HttpSendRequestA", ERROR_INTERNET_CANNOT_CONNECT);
  DWORD key = 7;
  EXPECT_EQ(10006, site->Request(&key, "/", "GET", "", nullptr, 0));
  EXPECT_EQ(0u, key);
  EXPECT_EQ(0u, s->GetPendingCount());
  EXPECT_FALSE(s->IsTimerScheduled());
  EXPECT_TRUE(trace.Contains("CSiteWininet::Request, HttpSendRequest failed. error=12029 this=", RT_TRACE_LEVEL_ERROR));
  EXPECT_EQ(0u, fakeinet::OpenHandles());

  CSiteWininet bad("not a url");
  EXPECT_TRUE(trace.Contains("CSiteWininet::CSiteWininet, InternetCrackUrl failed. error=12006 this="));
  EXPECT_EQ("", bad.GetHost());
  EXPECT_EQ(80, bad.GetPort());
}

// The sweep runs on the test clock: 20 s ticks, 120 s idle limit.
class SweepTest : public SiteTransportTest {
 protected:
  void SetUp() override {
    QmxClockSetManual(1, 1000000);
    SiteTransportTest::SetUp();
  }
  void TearDown() override {
    SiteTransportTest::TearDown();
    QmxClockSetManual(0, 0);
  }
  void Tick() {
    QmxClockAdvance(20000);
    loop.RunPending();
  }
};

TEST_F(SweepTest, TimesOutOneStaleRequestPerTickThenStops) {
  CSiteWininet* s = Open("http://h/");
  DWORD keys[3];
  for (DWORD& k : keys) ASSERT_EQ(0, site->Request(&k, "/", "GET", "", nullptr, 0));
  for (int i = 0; i < 6; ++i) Tick();  // 120 s: not yet over the limit
  EXPECT_TRUE(sink.deliveries.empty());
  Tick();
  ASSERT_EQ(1u, sink.deliveries.size());
  EXPECT_EQ(keys[0], sink.deliveries[0].key);
  EXPECT_EQ(10006, sink.deliveries[0].result);
  Tick();
  Tick();
  ASSERT_EQ(3u, sink.deliveries.size());
  EXPECT_EQ(keys[2], sink.deliveries[2].key);
  EXPECT_FALSE(s->IsTimerScheduled());

  DWORD next = 0;
  ASSERT_EQ(0, site->Request(&next, "/", "GET", "", nullptr, 0));
  EXPECT_TRUE(s->IsTimerScheduled());
  site->Cancel(next);  // no delivery for a cancelled request
  Tick();
  EXPECT_EQ(3u, sink.deliveries.size());
  EXPECT_FALSE(s->IsTimerScheduled());
}

TEST_F(SweepTest, AsyncRequestOutOfRetriesIsLeftToTheSweep) {
  CSiteWininet* s = Open("http://h/");
  for (int i = 0; i < 4; ++i) fakeinet::PushReply(Ok("challenge", 407));
  for (int i = 0; i < 3; ++i) fakeinet::PushDialogAnswer(ERROR_INTERNET_FORCE_RETRY);
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "/", "GET", "", nullptr, 0));
  for (size_t n = 1; n <= 4; ++n) {
    ASSERT_TRUE(RunUntilSends(n));
    CompleteFromWinInet();
  }
  ASSERT_TRUE(loop.RunUntil([&] { return trace.Contains("proxy retry 3 times, quit! requ=1"); }));
  EXPECT_EQ(1u, s->GetPendingCount());
  EXPECT_TRUE(sink.deliveries.empty());
  for (int i = 0; i < 7; ++i) Tick();
  ASSERT_EQ(1u, sink.deliveries.size());
  EXPECT_EQ(10006, sink.deliveries[0].result);
}

TEST_F(SweepTest, DestroyingASiteReleasesPendingRequestsSilently) {
  Open("http://h/");
  DWORD key = 0;
  ASSERT_EQ(0, site->Request(&key, "/", "GET", "", nullptr, 0));
  client->CloseSite(site);
  site->ReleaseReference();
  site = nullptr;
  EXPECT_TRUE(sink.deliveries.empty());
  EXPECT_EQ(0u, fakeinet::OpenHandles());
  EXPECT_EQ(nullptr, client->FindRequest(key));
}

}  // namespace

TEST_F(SweepTest, CancelInTheMiddleKeepsTheOthersFoundAndInOrder) {
  CSiteWininet* s = Open("http://h/");
  DWORD keys[4];
  for (DWORD& k : keys) ASSERT_EQ(0, site->Request(&k, "/", "GET", "", nullptr, 0));
  site->Cancel(keys[1]);
  site->Cancel(keys[1]);  // already gone
  EXPECT_TRUE(trace.Contains("CSiteClient::Cancel_i, cann't find request. hRequest=" + std::to_string(keys[1])));
  EXPECT_EQ(nullptr, s->FindPending(keys[1]));
  for (DWORD k : {keys[0], keys[2], keys[3]}) {
    ASSERT_NE(nullptr, s->FindPending(k));
    EXPECT_EQ(k, s->FindPending(k)->m_key);
  }
  EXPECT_EQ(3u, s->GetPendingCount());
  for (int i = 0; i < 9; ++i) Tick();
  ASSERT_EQ(3u, sink.deliveries.size());
  EXPECT_EQ(keys[0], sink.deliveries[0].key);
  EXPECT_EQ(keys[2], sink.deliveries[1].key);
  EXPECT_EQ(keys[3], sink.deliveries[2].key);
  EXPECT_EQ(0u, s->GetPendingCount());
}
