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
    ASSERT_TRUE(server_.Start());
  }
  void TearDown() override {
    handles_.Close();
    QmxInternetSetCredentialPrompt(nullptr, nullptr);
    server_.Stop();
  }
  Handles OpenSync(const char* path, const char* user = "", const char* password = "") {
    return Open(false, "127.0.0.1", server_.Port(), path, 1,
                INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                    INTERNET_FLAG_NO_COOKIES,
                INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, "GET", user, password);
  }
  LoopbackServer server_;
  Handles handles_;
};

TEST_F(SyncTest, ReadsTheWholeBodyWithQueries) {
  std::string body = Pattern(3000);
  server_.SetHandler([&](const qmxloopback::ReceivedRequest&) { return Reply::Text(200, body); });
  handles_ = OpenSync("/doc");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0)) << GetLastError();
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(StatusCode(handles_.request), 200u);
  DWORD length = 0, size = sizeof length;
  ASSERT_TRUE(HttpQueryInfoA(handles_.request, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH, &length, &size,
                             nullptr));
  EXPECT_EQ(length, 3000u);
  // Reads ask for the announced length: one read fills it, the next ends it.
  std::vector<char> buf(length);
  DWORD got = 0;
  ASSERT_TRUE(InternetReadFile(handles_.request, buf.data(), length, &got));
  EXPECT_EQ(got, 3000u);
  EXPECT_EQ(std::string(buf.data(), got), body);
  ASSERT_TRUE(InternetReadFile(handles_.request, buf.data(), length, &got));
  EXPECT_EQ(got, 0u);
  // No REQUEST_COMPLETE in a synchronous session.
  for (const auto& n : Recorder::Get().Notes()) EXPECT_NE(n.status, static_cast<DWORD>(INTERNET_STATUS_REQUEST_COMPLETE));
}

TEST_F(SyncTest, HeaderQueries) {
  server_.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(404, "nope");
    r.framing = Reply::Framing::kChunked;
    r.headers.push_back({"X-Twice", "one"});
    r.headers.push_back({"X-Twice", "two"});
    return r;
  });
  handles_ = OpenSync("/missing");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(handles_.request), 404u);
  DWORD n = 0, size = sizeof n;
  // A chunked reply has no Content-Length.
  EXPECT_FALSE(HttpQueryInfoA(handles_.request, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH, &n, &size, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HTTP_HEADER_NOT_FOUND));
  // Text answers, too-small buffers, and indexed headers.
  char text[64];
  DWORD len = 2;
  EXPECT_FALSE(HttpQueryInfoA(handles_.request, HTTP_QUERY_STATUS_TEXT, text, &len, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(len, sizeof("Not Found"));
  len = sizeof text;
  ASSERT_TRUE(HttpQueryInfoA(handles_.request, HTTP_QUERY_STATUS_TEXT, text, &len, nullptr));
  EXPECT_EQ(std::string(text, len), "Not Found");
  DWORD index = 0;
  std::vector<std::string> values;
  for (;;) {
    std::strcpy(text, "X-Twice");
    len = sizeof text;
    if (!HttpQueryInfoA(handles_.request, HTTP_QUERY_CUSTOM, text, &len, &index)) break;
    values.push_back(text);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HTTP_HEADER_NOT_FOUND));
  EXPECT_EQ(values, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(index, 2u);
  std::string body;
  ASSERT_TRUE(ReadAllSync(handles_.request, body));
  EXPECT_EQ(body, "nope");
}

// Folded header lines continue the previous header; a folded line of blanks
// only must not take the worker thread down.
TEST_F(SyncTest, FoldedHeaderLinesJoinThePreviousHeader) {
  server_.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r;
    r.raw = "HTTP/1.1 200 OK\r\nX-Folded: a\r\n\tb\r\n \t\r\nContent-Length: 2\r\n\r\nok";
    return r;
  });
  handles_ = OpenSync("/folded");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0)) << GetLastError();
  EXPECT_EQ(StatusCode(handles_.request), 200u);
  char text[64];
  std::strcpy(text, "X-Folded");
  DWORD len = sizeof text;
  ASSERT_TRUE(HttpQueryInfoA(handles_.request, HTTP_QUERY_CUSTOM, text, &len, nullptr));
  EXPECT_EQ(std::string(text, len), "a b");
  std::string body;
  ASSERT_TRUE(ReadAllSync(handles_.request, body));
  EXPECT_EQ(body, "ok");
}

TEST_F(SyncTest, RequestLineAndHeadersAsSent) {
  handles_ = Open(false, "127.0.0.1", server_.Port(), "site1/external/x y?a=1", 1,
                  INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION |
                      INTERNET_FLAG_NO_COOKIES,
                  INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, "POST");
  const char body[] = "k=v";
  std::string headers = "X-One: 1\r\nX-Two: 2\r\n";
  ASSERT_TRUE(HttpSendRequestA(handles_.request, headers.c_str(), static_cast<DWORD>(headers.size()),
                               const_cast<char*>(body), 3));
  ASSERT_TRUE(server_.WaitForRequests(1));
  auto req = server_.Requests()[0];
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
  ASSERT_TRUE(ReadAllSync(handles_.request, drained));
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  ASSERT_TRUE(server_.WaitForRequests(2));
  EXPECT_EQ(server_.Requests()[1].target, "/site1/external/x%20y?a=1");
}

// The engine keeps the handles of finished transfers for later ones: nothing
// of an earlier request may go out with the next.
TEST_F(SyncTest, LaterRequestSendsNothingOfAnEarlierOne) {
  Handles first = Open(false, "127.0.0.1", server_.Port(), "first", 1,
                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_COOKIES,
                       INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, "PUT");
  const char body[] = "k=v";
  std::string headers = "X-One: 1\r\nContent-Type: text/plain\r\n";
  ASSERT_TRUE(HttpSendRequestA(first.request, headers.c_str(), static_cast<DWORD>(headers.size()),
                               const_cast<char*>(body), 3));
  std::string drained;
  ASSERT_TRUE(ReadAllSync(first.request, drained));
  first.Close();
  handles_ = OpenSync("second");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  ASSERT_TRUE(server_.WaitForRequests(2));
  auto req = server_.Requests()[1];
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
  server_.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, "c");
    r.headers.push_back({"Set-Cookie", "reuse=1; Path=/cookie-test"});  // this test's paths only
    return r;
  });
  const DWORD withCookies = INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION;
  for (int i = 0; i < 2; ++i) {
    Handles h = Open(false, "127.0.0.1", server_.Port(), "cookie-test/x", 1, withCookies);
    ASSERT_TRUE(HttpSendRequestA(h.request, nullptr, 0, nullptr, 0));
    std::string drained;
    ASSERT_TRUE(ReadAllSync(h.request, drained));
    h.Close();
  }
  ASSERT_TRUE(server_.WaitForRequests(2));
  EXPECT_EQ(server_.Requests()[1].Header("Cookie"), "reuse=1");
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
  server_.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, "late");
    r.stallBeforeHeaders = true;
    return r;
  });
  handles_ = OpenSync("/");
  DWORD t = 300;
  ASSERT_TRUE(InternetSetOptionA(handles_.request, INTERNET_OPTION_RECEIVE_TIMEOUT, &t, sizeof t));
  EXPECT_FALSE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
  server_.ReleaseStalled();
}

TEST_F(SyncTest, ShortBodyFailsTheRead) {
  server_.SetHandler([](const qmxloopback::ReceivedRequest&) {
    Reply r = Reply::Text(200, Pattern(2000));
    r.contentLength = 4000;
    return r;
  });
  handles_ = OpenSync("/");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  std::string got;
  DWORD err = 0;
  EXPECT_FALSE(ReadAllSync(handles_.request, got, &err, 4000));
  EXPECT_EQ(err, static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED));
}

TEST_F(SyncTest, ChallengeWithoutCredentialsIsTheReply) {
  server_.RequireBasic("bob", "pw", "site");
  handles_ = OpenSync("/");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(handles_.request), 401u);
  std::string body;
  ASSERT_TRUE(ReadAllSync(handles_.request, body));
  EXPECT_EQ(body, "authentication required");
  // Without a prompt the logon is cancelled.
  EXPECT_EQ(InternetErrorDlg(nullptr, handles_.request, ERROR_INTERNET_INCORRECT_PASSWORD,
                             FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS, nullptr),
            static_cast<DWORD>(ERROR_CANCELLED));
}

TEST_F(SyncTest, CredentialsAnswerTheChallengeAndAreRemembered) {
  server_.RequireBasic("bob", "pw", "site");
  handles_ = OpenSync("/", "bob", "pw");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(handles_.request), 200u);
  handles_.Close();
  // A new session without credentials presents the remembered ones at once.
  size_t before = server_.RequestCount();
  handles_ = OpenSync("/again");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(handles_.request), 200u);
  EXPECT_EQ(server_.RequestCount(), before + 1);
  handles_.Close();
  // Wrong credentials on a handle get the 401 as the reply.
  handles_ = OpenSync("/wrong", "bob", "bad");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(handles_.request), 401u);
  handles_.Close();
  // Remembered credentials that the server now rejects are forgotten.
  server_.RequireBasic("bob", "changed", "site");
  handles_ = OpenSync("/stale");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(handles_.request), 401u);
  handles_.Close();
  handles_ = OpenSync("/plain");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(handles_.request), 401u);
  ASSERT_TRUE(server_.WaitForRequests(1));
  EXPECT_FALSE(server_.Requests().back().HasHeader("Authorization"));
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
  server_.RequireBasic("bob", "pw", "conference");
  PromptLog log;
  QmxInternetSetCredentialPrompt(&Prompt, &log);
  handles_ = OpenSync("/");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  ASSERT_EQ(StatusCode(handles_.request), 401u);
  DWORD r = InternetErrorDlg(nullptr, handles_.request, ERROR_INTERNET_INCORRECT_PASSWORD,
                             FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS, nullptr);
  EXPECT_EQ(r, static_cast<DWORD>(ERROR_INTERNET_FORCE_RETRY));
  EXPECT_EQ(log.calls, 1);
  EXPECT_FALSE(log.fProxy);
  EXPECT_EQ(log.host, "127.0.0.1");
  EXPECT_EQ(log.port, server_.Port());
  EXPECT_EQ(log.realm, "conference");
  EXPECT_EQ(log.scheme, "Basic");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(handles_.request), 200u);
  // A 200 needs no logon.
  EXPECT_EQ(InternetErrorDlg(nullptr, handles_.request, ERROR_INTERNET_INCORRECT_PASSWORD,
                             FLAGS_ERROR_UI_FILTER_FOR_ERRORS, nullptr),
            static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(SyncTest, PromptAnswerServesNewHandlesAndCancelIsReported) {
  server_.RequireBasic("bob", "pw", "conference");
  PromptLog log;
  log.answer = false;
  QmxInternetSetCredentialPrompt(&Prompt, &log);
  handles_ = OpenSync("/");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(InternetErrorDlg(nullptr, handles_.request, ERROR_INTERNET_INCORRECT_PASSWORD, 3, nullptr),
            static_cast<DWORD>(ERROR_CANCELLED));
  log.answer = true;
  EXPECT_EQ(InternetErrorDlg(nullptr, handles_.request, ERROR_INTERNET_INCORRECT_PASSWORD, 3, nullptr),
            static_cast<DWORD>(ERROR_INTERNET_FORCE_RETRY));
  // The answer outlives the handles it was given on.
  handles_.Close();
  handles_ = OpenSync("/fresh");
  ASSERT_TRUE(HttpSendRequestA(handles_.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(handles_.request), 200u);
  EXPECT_EQ(log.calls, 2);
}

}  // namespace
