// wininet_probe: asks a WinINet a fixed set of questions against the
// loopback_serve server and prints the answers one per line. Built for
// Windows (and run under Wine) it shows what a real WinINet does; built
// natively against libqmxwininet it shows what this layer does, so the two
// outputs can be compared line by line (compare.sh).
//
// usage: wininet_probe <port> <refused-port>
#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../CrackUrlCases.h"

namespace {

std::mutex g_mu;
std::condition_variable g_cv;
std::vector<std::string> g_notes;
int g_completions = 0;
std::thread::id g_main;

// Keeps each report (status, context, the string or result it carries, and
// whether it came on the caller's thread) until the next Flush, so that
// the output's order does not depend on thread timing.
void CALLBACK Callback(HINTERNET, DWORD_PTR ctx, DWORD status, LPVOID info, DWORD len) {
  char line[256];
  const int n = std::snprintf(line, sizeof line, "  note %lu ctx=%lu ", (unsigned long)status, (unsigned long)ctx);
  const char* who = std::this_thread::get_id() == g_main ? "caller" : "other";
  if (status == INTERNET_STATUS_REQUEST_COMPLETE && info) {
    auto* r = static_cast<INTERNET_ASYNC_RESULT*>(info);
    std::snprintf(line + n, sizeof line - n, "{%lu,%lu} %s", (unsigned long)r->dwResult, (unsigned long)r->dwError,
                  who);
  } else if (status == INTERNET_STATUS_CONNECTING_TO_SERVER || status == INTERNET_STATUS_REDIRECT) {
    std::snprintf(line + n, sizeof line - n, "\"%.*s\" %s", (int)(len ? len - 1 : 0),
                  info ? static_cast<const char*>(info) : "", who);
  } else {
    std::snprintf(line + n, sizeof line - n, "len=%lu %s", (unsigned long)len, who);
  }
  std::lock_guard<std::mutex> lock(g_mu);
  g_notes.push_back(line);
  if (status == INTERNET_STATUS_REQUEST_COMPLETE) ++g_completions;
  g_cv.notify_all();
}

void Flush() {
  std::lock_guard<std::mutex> lock(g_mu);
  for (auto& n : g_notes) std::printf("%s\n", n.c_str());
  g_notes.clear();
}

bool WaitCompletions(int n) {
  std::unique_lock<std::mutex> lock(g_mu);
  return g_cv.wait_for(lock, std::chrono::seconds(10), [n] { return g_completions >= n; });
}

void Print(const char* what, BOOL ok, DWORD value) {
  std::printf("%s %s %lu\n", what, ok ? "TRUE" : "FALSE", (unsigned long)(ok ? value : GetLastError()));
}

// One GET: the send, the status and length queries, the body read the
// module's way (asynchronous: flags 9, a new call after each completion;
// synchronous: pieces of `piece` bytes), and for /auth the logon call.
void Get(bool async, INTERNET_PORT port, const char* path, DWORD piece) {
  std::printf("== %s GET %s\n", async ? "async" : "sync", path);
  HINTERNET root = InternetOpenA("probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, async ? INTERNET_FLAG_ASYNC : 0);
  InternetSetStatusCallbackA(root, Callback);
  HINTERNET conn = InternetConnectA(root, "127.0.0.1", port, "", "", INTERNET_SERVICE_HTTP, 0, 10);
  LPCSTR accept[] = {"*", nullptr};
  HINTERNET req = HttpOpenRequestA(
      conn, "GET", path, "HTTP/1.1", "", accept,
      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES,
      10);
  int completions;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    completions = g_completions;
  }
  BOOL ok = HttpSendRequestA(req, nullptr, 0, nullptr, 0);
  Print("send", ok, 0);
  if (!ok && GetLastError() == ERROR_IO_PENDING) ok = WaitCompletions(++completions);
  Flush();
  for (DWORD query : {HTTP_QUERY_STATUS_CODE, HTTP_QUERY_CONTENT_LENGTH}) {
    DWORD v = 0, size = sizeof v;
    const BOOL answered = HttpQueryInfoA(req, HTTP_QUERY_FLAG_NUMBER | query, &v, &size, nullptr);
    Print(query == HTTP_QUERY_STATUS_CODE ? "status-code" : "content-length", answered, v);
  }
  std::vector<char> buf(piece);
  INTERNET_BUFFERSA b;
  std::memset(&b, 0, sizeof b);
  b.dwStructSize = sizeof b;
  for (int guard = 0; ok && guard < 200; ++guard) {
    b.lpvBuffer = buf.data();
    b.dwBufferLength = piece - 1;
    DWORD got = 0;
    BOOL read = async ? InternetReadFileExA(req, &b, IRF_ASYNC | IRF_NO_WAIT, 10)
                      : InternetReadFile(req, buf.data(), piece, &got);
    const DWORD err = read ? 0 : GetLastError();
    if (async) got = b.dwBufferLength;
    std::printf("read %s %lu len=%lu\n", read ? "TRUE" : "FALSE", (unsigned long)err, (unsigned long)got);
    SetLastError(err);
    if (read && got == 0) break;
    if (!read && (!async || GetLastError() != ERROR_IO_PENDING || !WaitCompletions(++completions))) break;
  }
  if (std::strcmp(path, "/auth") == 0)
    Print("errordlg no-ui", TRUE,
          InternetErrorDlg(
              GetForegroundWindow(), req, ERROR_INTERNET_INCORRECT_PASSWORD,
              FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_NO_UI,
              nullptr));
  Flush();
  InternetCloseHandle(req);
  InternetCloseHandle(conn);
  InternetCloseHandle(root);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  g_main = std::this_thread::get_id();
  INTERNET_PORT port = (INTERNET_PORT)std::atoi(argv[1]);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  for (const CrackUrlCase& c : kCrackUrlCases) {
    CrackedUrl u;
    if (CrackInto(c.url, &u))
      std::printf("crack [%s] ok scheme=[%s] n=%d host=[%s] port=%u user=[%s] pass=[%s] path=[%s] extra=[%s]\n", c.url,
                  u.scheme, (int)u.uc.nScheme, u.host, (unsigned)u.uc.nPort, u.user, u.password, u.path, u.extra);
    else
      std::printf("crack [%s] fail %lu\n", c.url, (unsigned long)GetLastError());
  }
  std::printf("sizeof INTERNET_BUFFERSA=%u URL_COMPONENTSA=%u\n", (unsigned)sizeof(INTERNET_BUFFERSA),
              (unsigned)sizeof(URL_COMPONENTSA));
  for (const char* path : {"/hello", "/chunked", "/close", "/redirect", "/short"}) Get(true, port, path, 2048);
  Get(false, port, "/hello", 5);
  Get(false, port, "/short", 100);
  Get(false, port, "/auth", 1024);
  Get(false, (INTERNET_PORT)std::atoi(argv[2]), "/", 16);
  return 0;
}
