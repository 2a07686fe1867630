// The synchronous path: blocking sends and reads, header queries, the
// requests as they go out, and server authentication with credentials,
// without, and through the credential prompt.
#include "WininetTestSupport.h"

using namespace wintest;
using qmxloopback::Reply;
using Request = qmxloopback::ReceivedRequest;

namespace {

class SyncTest : public LayerTest {
 protected:
  DWORD SendSync(const char* path, const char* user = "", const char* password = "") {
    Req q = At(path);
    q.user = user;
    q.password = password;
    return Get(q);
  }
  DWORD AskForLogon(DWORD flags = FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS) {
    return InternetErrorDlg(nullptr, m_handles.request, ERROR_INTERNET_INCORRECT_PASSWORD, flags, nullptr);
  }
};

// One reply with a repeated header and a folded one (a folded line of blanks
// only must not take the worker thread down), asked in every way.
struct QueryCase {
  DWORD query;
  const char* name;  // HTTP_QUERY_CUSTOM
  DWORD index;
  const char* text;  // nullptr: ERROR_HTTP_HEADER_NOT_FOUND
};

TEST_F(SyncTest, HeaderQueries) {
  m_server.SetHandler([](const Request&) {
    Reply r;
    r.raw =
        "HTTP/1.1 404 Not Found\r\nX-Twice: one\r\nX-Folded: a\r\n\tb\r\n \t\r\nX-Twice: two\r\n"
        "Content-Length: 4\r\n\r\nnope";
    return r;
  });
  ASSERT_EQ(SendSync("/missing"), 404u);
  const QueryCase cases[] = {
      {HTTP_QUERY_CONTENT_LENGTH, nullptr, 0, "4"}, {HTTP_QUERY_CUSTOM, "X-Twice", 0, "one"},
      {HTTP_QUERY_CUSTOM, "X-Twice", 1, "two"},     {HTTP_QUERY_CUSTOM, "X-Twice", 2, nullptr},
      {HTTP_QUERY_CUSTOM, "X-Folded", 0, "a b"},    {HTTP_QUERY_CONTENT_TYPE, nullptr, 0, nullptr},
  };
  for (const QueryCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.query) + (c.name ? c.name : "") + std::to_string(c.index));
    char text[64] = {};
    if (c.name) std::strcpy(text, c.name);
    DWORD len = sizeof text, index = c.index;
    const BOOL ok = HttpQueryInfoA(m_handles.request, c.query, text, &len, &index);
    EXPECT_EQ(ok, c.text != nullptr);
    if (!ok) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HTTP_HEADER_NOT_FOUND));
      continue;
    }
    EXPECT_EQ(std::string(text, len), c.text);
    EXPECT_EQ(index, c.index + 1);
  }
  // No REQUEST_COMPLETE in a synchronous session.
  EXPECT_EQ(Recorder::Get().Completions(1), 0u);
}

// The request line and headers as sent; the engine keeps the handles of
// finished transfers for later ones, but nothing of an earlier request may
// go out with the next. Cookies are the process's, whichever transfer
// received them.
TEST_F(SyncTest, RequestsAsSent) {
  m_server.SetHandler([](const Request&) {
    Reply r = Reply::Text(200, "c");
    r.headers.push_back({"Set-Cookie", "reuse=1; Path=/cookie-test"});  // this test's paths only
    return r;
  });
  Req q = At("cookie-test/x y?a=1");
  q.verb = "PUT";
  q.flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_CACHE_WRITE;
  m_handles = Open(q);
  std::string headers = "X-One: 1\r\nContent-Type: text/plain\r\n", drained;
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, headers.c_str(), static_cast<DWORD>(headers.size()),
                               const_cast<char*>("k=v"), 3));
  ASSERT_TRUE(ReadAllSync(m_handles.request, drained));
  ASSERT_TRUE(m_server.WaitForRequests(1));
  Request first = m_server.Requests()[0];
  EXPECT_EQ(first.method, "PUT");
  EXPECT_EQ(first.target, "/cookie-test/x%20y?a=1");  // a "/" put in front
  EXPECT_EQ(first.version, "HTTP/1.1");
  EXPECT_EQ(first.body, "k=v");
  EXPECT_EQ(first.Header("X-One"), "1");
  EXPECT_EQ(first.Header("Content-Type"), "text/plain");
  EXPECT_EQ(first.Header("User-Agent"), "testAgent");
  EXPECT_EQ(first.Header("Accept"), "*");
  EXPECT_EQ(first.Header("Pragma"), "no-cache");
  EXPECT_EQ(first.Header("Content-Length"), "3");
  EXPECT_EQ(first.Header("Cache-Control"), "no-cache");
  EXPECT_FALSE(first.HasHeader("Expect"));
  // Sending again on the same handle sends the request again.
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  ASSERT_TRUE(ReadAllSync(m_handles.request, drained));
  q = At("cookie-test/second");
  q.flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION;
  ASSERT_EQ(Get(q), 200u);
  ASSERT_TRUE(ReadAllSync(m_handles.request, drained));
  ASSERT_TRUE(m_server.WaitForRequests(3));
  std::vector<Request> all = m_server.Requests();
  EXPECT_EQ(all[1].target, "/cookie-test/x%20y?a=1");
  EXPECT_EQ(all[2].method, "GET");
  EXPECT_EQ(all[2].body, "");
  EXPECT_EQ(all[2].Header("Connection"), "Keep-Alive");
  EXPECT_EQ(all[2].Header("Cookie"), "reuse=1");
  for (const char* h : {"X-One", "Content-Type", "Content-Length", "Pragma", "Cache-Control"})
    EXPECT_FALSE(all[2].HasHeader(h)) << h;
  // INTERNET_FLAG_NO_COOKIES holds even on a handle a cookie user had before.
  q.flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_COOKIES;
  ASSERT_EQ(Get(q), 200u);
  ASSERT_TRUE(ReadAllSync(m_handles.request, drained));
  ASSERT_TRUE(m_server.WaitForRequests(4));
  EXPECT_FALSE(m_server.Requests()[3].HasHeader("Cookie"));
}

TEST_F(SyncTest, CredentialsAnswerTheChallengeAndAreRemembered) {
  m_server.RequireBasic("bob", "pw", "site");
  // Without credentials the challenge is the reply.
  EXPECT_EQ(SendSync("/none"), 401u);
  EXPECT_EQ(SendSync("/", "bob", "pw"), 200u);
  // A new session without credentials presents the remembered ones at once.
  size_t before = m_server.RequestCount();
  EXPECT_EQ(SendSync("/again"), 200u);
  EXPECT_EQ(m_server.RequestCount(), before + 1);
  // Wrong credentials on a handle get the 401 as the reply.
  EXPECT_EQ(SendSync("/wrong", "bob", "bad"), 401u);
  // Remembered credentials that the server now rejects are forgotten.
  m_server.RequireBasic("bob", "changed", "site");
  EXPECT_EQ(SendSync("/stale"), 401u);
  EXPECT_EQ(SendSync("/plain"), 401u);
  EXPECT_FALSE(m_server.Requests().back().HasHeader("Authorization"));
}

// The logon call on a 401: cancelled without a prompt or when the prompt
// declines; the prompt's answer makes the caller retry, and serves new
// handles too.
TEST_F(SyncTest, PromptAnswersTheChallengeOnRetry) {
  m_server.RequireBasic("bob", "pw", "conference");
  ASSERT_EQ(SendSync("/"), 401u);
  EXPECT_EQ(AskForLogon(), static_cast<DWORD>(ERROR_CANCELLED));
  PromptLog log{"bob", "pw", false};
  QmxInternetSetCredentialPrompt(&PromptLog::Prompt, &log);
  EXPECT_EQ(AskForLogon(), static_cast<DWORD>(ERROR_CANCELLED));
  log.answer = true;
  EXPECT_EQ(AskForLogon(), static_cast<DWORD>(ERROR_INTERNET_FORCE_RETRY));
  EXPECT_EQ(log.calls, 2);
  EXPECT_FALSE(log.fProxy);
  EXPECT_EQ(log.host, "127.0.0.1");
  EXPECT_EQ(log.port, m_server.Port());
  EXPECT_EQ(log.realm, "conference");
  EXPECT_EQ(log.scheme, "Basic");
  ASSERT_TRUE(HttpSendRequestA(m_handles.request, nullptr, 0, nullptr, 0));
  EXPECT_EQ(StatusCode(m_handles.request), 200u);
  // A 200 needs no logon.
  EXPECT_EQ(AskForLogon(FLAGS_ERROR_UI_FILTER_FOR_ERRORS), static_cast<DWORD>(ERROR_SUCCESS));
  // The answer outlives the handles it was given on.
  EXPECT_EQ(SendSync("/fresh"), 200u);
  EXPECT_EQ(log.calls, 2);
}

}  // namespace
