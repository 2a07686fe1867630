// The synchronous path: blocking sends and reads, header queries, time-outs
// and refusals, authentication with credentials, without, and through the
// credential prompt.
#include "WininetTestSupport.h"

using namespace wintest;
using qmxloopback::LoopbackServer;
using qmxloopback::Reply;

namespace {

class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Recorder::Get().Clear();
    ASSERT_TRUE(m_server.Start());
  }
  void TearDown() override {
    m_handles.Close();
    QmxInternetSetCredentialPrompt(nullptr, nullptr);
    m_server.Stop();
  }
  Handles OpenSync(const char* path, const char* user = "", const char* password = "") {
    return Open(
        false, "127.0.0.1", m_server.Port(), path, 1,
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES,
        INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, "GET", user, password);
  }
  LoopbackServer m_server;
  Handles m_handles;
};

TEST_F(SyncTest, ReadsTheWholeBodyWithQueries) {
  std::string body = Pattern(3000);
  m_server.SetHandler([&](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, body); });
  m_handles = OpenSync("/doc");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0)) << GetLastError();
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  DWORD length = 0, size = sizeof length;
  ASSERT_TRUE(
      HttpQueryInfoA(m_handles.request, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH, &length, &size, nullptr));
  EXPECT_EQ(length, 3000u);
  // Reads ask for the announced length: one read fills it, the next ends it.
  std::vector<char> buf(length);
  DWORD got = 0;
  ASSERT_TRUE(InternetReadFile(m_handles.request, buf.data(), length, &got));
  EXPECT_EQ(got, 3000u);
  EXPECT_EQ(std::string(buf.data(), got), body);
  ASSERT_TRUE(InternetReadFile(m_handles.request, buf.data(), length, &got));
  EXPECT_EQ(got, 0u);
  // No REQUEST_COMPLETE in a synchronous session.
  for (const auto& n : Recorder::Get().Notes())
    EXPECT_NE(n.status, static_cast<DWORD>(INTERNET_STATUS_REQUEST_COMPLETE));
}

TEST_F(SyncTest, HeaderQueries) {
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(404, "nope");
    r.framing = Reply::Framing::kChunked;
    r.headers.push_back({"X-Twice", "one"});
    r.headers.push_back({"X-Twice", "two"});
    return r;
  });
  m_handles = OpenSync("/missing");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(m_handles.request), 404u);
  DWORD n = 0, size = sizeof n;
  // A chunked reply has no Content-Length.
  EXPECT_FALSE(
      HttpQueryInfoA(m_handles.request, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH, &n, &size, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HTTP_HEADER_NOT_FOUND));
  // Text answers, too-small buffers, and indexed headers.
  char text[64];
  DWORD len = 2;
  EXPECT_FALSE(HttpQueryInfoA(m_handles.request, HTTP_QUERY_STATUS_TEXT, text, &len, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(len, sizeof("Not Found"));
  len = sizeof text;
  ASSERT_TRUE(HttpQueryInfoA(m_handles.request, HTTP_QUERY_STATUS_TEXT, text, &len, nullptr));
  EXPECT_EQ(std::string(text, len), "Not Found");
  DWORD index = 0;
  std::vector<std::string> values;
  for (;;) {
    std::strcpy(text, "X-Twice");
    len = sizeof text;
    if (!HttpQueryInfoA(m_handles.request, HTTP_QUERY_CUSTOM, text, &len, &index)) break;
    values.push_back(text);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HTTP_HEADER_NOT_FOUND));
  EXPECT_EQ(values, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(index, 2u);
  std::string body;
  ASSERT_TRUE(ReadAllSync(m_handles.request, body));
  EXPECT_EQ(body, "nope");
}

// Folded header lines continue the previous header; a folded line of blanks
// only must not take the worker thread down.
TEST_F(SyncTest, FoldedHeaderLinesJoinThePreviousHeader) {
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r;
    r.raw = "HTTP/1.1 200 OK\r\nX-Folded: a\r\n\tb\r\n \t\r\nContent-Length: 2\r\n\r\nok";
    return r;
  });
  m_handles = OpenSync("/folded");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0)) << GetLastError();
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  char text[64];
  std::strcpy(text, "X-Folded");
  DWORD len = sizeof text;
  ASSERT_TRUE(HttpQueryInfoA(m_handles.request, HTTP_QUERY_CUSTOM, text, &len, nullptr));
  EXPECT_EQ(std::string(text, len), "a b");
  std::string body;
  ASSERT_TRUE(ReadAllSync(m_handles.request, body));
  EXPECT_EQ(body, "ok");
}

TEST_F(SyncTest, RequestLineAndHeadersAsSent) {
  m_handles = Open(
      false, "127.0.0.1", m_server.Port(), "site1/external/x y?a=1", 1,
      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES,
      INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, "POST");
  const char body[] = "k=v";
  std::string headers = "X-One: 1\r\nX-Two: 2\r\n";
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, headers.c_str(), static_cast<DWORD>(headers.size()),
                               const_cast<char*>(body), 3));
  ASSERT_TRUE(m_server.WaitForRequests(1));
  auto req = m_server.Requests()[0];
  EXPECT_EQ(req.method, "POST");
  EXPECT_EQ(req.target, "/site1/external/x%20y?a=1");  // a "/" put in front
  EXPECT_EQ(req.version, "HTTP/1.1");
  EXPECT_EQ(req.body, "k=v");
  EXPECT_EQ(req.Header("X-Two"), "2");
  EXPECT_EQ(req.Header("User-Agent"), "testAgent");
  EXPECT_EQ(req.Header("Accept"), "*");
  EXPECT_EQ(req.Header("Connection"), "Keep-Alive");
  EXPECT_EQ(req.Header("Cache-Control"), "no-cache");
  EXPECT_FALSE(req.HasHeader("Expect"));
  EXPECT_FALSE(req.HasHeader("Content-Type"));
  // Sending again on the same handle sends the request again.
  std::string drained;
  ASSERT_TRUE(ReadAllSync(m_handles.request, drained));
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  ASSERT_TRUE(m_server.WaitForRequests(2));
  EXPECT_EQ(m_server.Requests()[1].target, "/site1/external/x%20y?a=1");
}

// The engine keeps the handles of finished transfers for later ones: nothing
// of an earlier request may go out with the next.
TEST_F(SyncTest, LaterRequestSendsNothingOfAnEarlierOne) {
  Handles first = Open(false, "127.0.0.1", m_server.Port(), "first", 1,
                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_COOKIES,
                       INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, "PUT");
  const char body[] = "k=v";
  std::string headers = "X-One: 1\r\nContent-Type: text/plain\r\n";
  ASSERT_TRUE(
      HttpSendRequestA(first.request, headers.c_str(), static_cast<DWORD>(headers.size()), const_cast<char*>(body), 3));
  std::string drained;
  ASSERT_TRUE(ReadAllSync(first.request, drained));
  first.Close();
  m_handles = OpenSync("second");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  ASSERT_TRUE(m_server.WaitForRequests(2));
  auto req = m_server.Requests()[1];
  EXPECT_EQ(req.method, "GET");
  EXPECT_EQ(req.target, "/second");
  EXPECT_EQ(req.body, "");
  EXPECT_FALSE(req.HasHeader("X-One"));
  EXPECT_FALSE(req.HasHeader("Content-Type"));
  EXPECT_FALSE(req.HasHeader("Content-Length"));
  EXPECT_FALSE(req.HasHeader("Pragma"));
}

// Cookies are the process's, whichever transfer received them.
TEST_F(SyncTest, CookieOfOneRequestGoesWithTheNext) {
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, "c");
    r.headers.push_back({"Set-Cookie", "reuse=1; Path=/cookie-test"});  // this test's paths only
    return r;
  });
  const DWORD withCookies = INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION;
  for (int i = 0; i < 2; ++i) {
    Handles h = Open(false, "127.0.0.1", m_server.Port(), "cookie-test/x", 1, withCookies);
    ASSERT_TRUE(HttpSendRequestA(h.request, nullptr, 0, nullptr, 0));
    std::string drained;
    ASSERT_TRUE(ReadAllSync(h.request, drained));
    h.Close();
  }
  ASSERT_TRUE(m_server.WaitForRequests(2));
  EXPECT_EQ(m_server.Requests()[1].Header("Cookie"), "reuse=1");
}

TEST_F(SyncTest, RefusedAndTimedOutConnections) {
  Handles refused = Open(false, "127.0.0.1", qmxloopback::UnusedPort(), "/", 1);
  EXPECT_FALSE(HttpSendRequestA(refused.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT));
  refused.Close();

  qmxloopback::BlackholeListener hole;
  ASSERT_TRUE(hole.Start());
  Handles slow = Open(false, "127.0.0.1", hole.Port(), "/", 1);
  DWORD shortTimeout = 300;
  ASSERT_TRUE(InternetSetOptionA(slow.request, INTERNET_OPTION_CONNECT_TIMEOUT, &shortTimeout, sizeof shortTimeout));
  EXPECT_FALSE(HttpSendRequestA(slow.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
  slow.Close();
}

TEST_F(SyncTest, ReceiveTimeoutIsAnInactivityLimit) {
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, "late");
    r.stallBeforeHeaders = true;
    return r;
  });
  m_handles = OpenSync("/");
  DWORD t = 300;
  ASSERT_TRUE(InternetSetOptionA(m_handles.request, INTERNET_OPTION_RECEIVE_TIMEOUT, &t, sizeof t));
  EXPECT_FALSE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
  m_server.ReleaseStalled();
}

TEST_F(SyncTest, ShortBodyFailsTheRead) {
  m_server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, Pattern(2000));
    r.contentLength = 4000;
    return r;
  });
  m_handles = OpenSync("/");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  std::string got;
  DWORD err = 0;
  EXPECT_FALSE(ReadAllSync(m_handles.request, got, &err, 4000));
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED));
}

TEST_F(SyncTest, ChallengeWithoutCredentialsIsTheReply) {
  m_server.RequireBasic("bob", "pw", "site");
  m_handles = OpenSync("/");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(m_handles.request), 401u);
  std::string body;
  ASSERT_TRUE(ReadAllSync(m_handles.request, body));
  EXPECT_EQ(body, "authentication required");
  // Without a prompt the logon is cancelled.
  EXPECT_EQ(InternetErrorDlg(nullptr, m_handles.request, ERROR_INTERNET_INCORRECT_PASSWORD,
                             FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS, nullptr),
            static_cast<DWORD>(ERROR_CANCELLED));
}

TEST_F(SyncTest, CredentialsAnswerTheChallengeAndAreRemembered) {
  m_server.RequireBasic("bob", "pw", "site");
  m_handles = OpenSync("/", "bob", "pw");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  m_handles.Close();
  // A new session without credentials presents the remembered ones at once.
  size_t before = m_server.RequestCount();
  m_handles = OpenSync("/again");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  EXPECT_EQ(m_server.RequestCount(), before + 1);
  m_handles.Close();
  // Wrong credentials on a handle get the 401 as the reply.
  m_handles = OpenSync("/wrong", "bob", "bad");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(m_handles.request), 401u);
  m_handles.Close();
  // Remembered credentials that the server now rejects are forgotten.
  m_server.RequireBasic("bob", "changed", "site");
  m_handles = OpenSync("/stale");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(m_handles.request), 401u);
  m_handles.Close();
  m_handles = OpenSync("/plain");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(m_handles.request), 401u);
  ASSERT_TRUE(m_server.WaitForRequests(1));
  EXPECT_FALSE(m_server.Requests().back().HasHeader("Authorization"));
}

struct PromptLog {
  int calls = 0;
  bool fProxy = true;
  std::string host, realm, scheme;
  INTERNET_PORT port = 0;
  bool answer = true;
};

BOOL CALLBACK Prompt(const QMX_CREDENTIAL_REQUEST* q, LPSTR user, DWORD cu, LPSTR pw, DWORD cp, LPVOID data) {
  auto* log = static_cast<PromptLog*>(data);
  ++log->calls;
  log->fProxy = q->fProxy;
  log->host = q->lpszHost;
  log->port = q->nPort;
  log->realm = q->lpszRealm;
  log->scheme = q->lpszScheme;
  if (!log->answer) return FALSE;
  std::snprintf(user, cu, "bob");
  std::snprintf(pw, cp, "pw");
  return TRUE;
}

TEST_F(SyncTest, PromptAnswersTheChallengeOnRetry) {
  m_server.RequireBasic("bob", "pw", "conference");
  PromptLog log;
  QmxInternetSetCredentialPrompt(&Prompt, &log);
  m_handles = OpenSync("/");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  ASSERT_EQ(StatusCode(m_handles.request), 401u);
  DWORD r = InternetErrorDlg(nullptr, m_handles.request, ERROR_INTERNET_INCORRECT_PASSWORD,
                             FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS, nullptr);
  EXPECT_EQ(r, static_cast<DWORD>(ERROR_INTERNET_FORCE_RETRY));
  EXPECT_EQ(log.calls, 1);
  EXPECT_FALSE(log.fProxy);
  EXPECT_EQ(log.host, "127.0.0.1");
  EXPECT_EQ(log.port, m_server.Port());
  EXPECT_EQ(log.realm, "conference");
  EXPECT_EQ(log.scheme, "Basic");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  // A 200 needs no logon.
  EXPECT_EQ(InternetErrorDlg(nullptr, m_handles.request, ERROR_INTERNET_INCORRECT_PASSWORD,
                             FLAGS_ERROR_UI_FILTER_FOR_ERRORS, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(SyncTest, PromptAnswerServesNewHandlesAndCancelIsReported) {
  m_server.RequireBasic("bob", "pw", "conference");
  PromptLog log;
  log.answer = false;
  QmxInternetSetCredentialPrompt(&Prompt, &log);
  m_handles = OpenSync("/");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(InternetErrorDlg(nullptr, m_handles.request, ERROR_INTERNET_INCORRECT_PASSWORD, 3, nullptr),
            static_cast<DWORD>(ERROR_CANCELLED));
  log.answer = true;
  EXPECT_EQ(InternetErrorDlg(nullptr, m_handles.request, ERROR_INTERNET_INCORRECT_PASSWORD, 3, nullptr),
            static_cast<DWORD>(ERROR_INTERNET_FORCE_RETRY));
  // The answer outlives the handles it was given on.
  m_handles.Close();
  m_handles = OpenSync("/fresh");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  EXPECT_EQ(log.calls, 2);
}

}  // namespace
