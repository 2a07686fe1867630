// wininet_probe: asks a WinINet a fixed set of questions against the
// loopback_serve server and prints the answers one per line. Built for
// Windows (and run under Wine) it shows what a real WinINet does; built
// natively against libqmxwininet it shows what this layer does, so the two
// outputs can be compared line by line.
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

namespace {

std::mutex g_mu;
std::condition_variable g_cv;
std::vector<std::string> g_notes;
int g_completions = 0;
INTERNET_ASYNC_RESULT g_last{};
std::thread::id g_main;

void CALLBACK Callback(HINTERNET, DWORD_PTR ctx, DWORD status, LPVOID info, DWORD len) {
  char line[256];
  const char* who = std::this_thread::get_id() == g_main ? "caller" : "other";
  if (status == INTERNET_STATUS_REQUEST_COMPLETE && info) {
    auto* r = static_cast<INTERNET_ASYNC_RESULT*>(info);
    std::snprintf(line, sizeof line, "  note %lu ctx=%lu {%lu,%lu} %s", (unsigned long)status, (unsigned long)ctx,
                  (unsigned long)r->dwResult, (unsigned long)r->dwError, who);
  } else if ((status == INTERNET_STATUS_REQUEST_SENT || status == INTERNET_STATUS_RESPONSE_RECEIVED) && len == 4) {
    std::snprintf(line, sizeof line, "  note %lu ctx=%lu dword %s", (unsigned long)status, (unsigned long)ctx, who);
  } else if (status == INTERNET_STATUS_RESOLVING_NAME || status == INTERNET_STATUS_NAME_RESOLVED ||
             status == INTERNET_STATUS_CONNECTING_TO_SERVER || status == INTERNET_STATUS_CONNECTED_TO_SERVER ||
             status == INTERNET_STATUS_REDIRECT) {
    std::snprintf(line, sizeof line, "  note %lu ctx=%lu \"%.*s\" %s", (unsigned long)status, (unsigned long)ctx,
                  (int)(len ? len - 1 : 0), info ? static_cast<const char*>(info) : "", who);
  } else {
    std::snprintf(line, sizeof line, "  note %lu ctx=%lu len=%lu %s", (unsigned long)status, (unsigned long)ctx,
                  (unsigned long)len, who);
  }
  std::lock_guard<std::mutex> lock(g_mu);
  g_notes.push_back(line);
  if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
    ++g_completions;
    if (info) g_last = *static_cast<INTERNET_ASYNC_RESULT*>(info);
  }
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

void Crack(const char* url) {
  char scheme[64] = {}, host[64] = {}, path[64] = {}, extra[64] = {}, user[64] = {}, pass[64] = {};
  URL_COMPONENTSA uc;
  std::memset(&uc, 0, sizeof uc);
  uc.dwStructSize = sizeof uc;
  uc.lpszScheme = scheme;
  uc.dwSchemeLength = sizeof scheme;
  uc.lpszHostName = host;
  uc.dwHostNameLength = sizeof host;
  uc.lpszUrlPath = path;
  uc.dwUrlPathLength = sizeof path;
  uc.lpszExtraInfo = extra;
  uc.dwExtraInfoLength = sizeof extra;
  uc.lpszUserName = user;
  uc.dwUserNameLength = sizeof user;
  uc.lpszPassword = pass;
  uc.dwPasswordLength = sizeof pass;
  if (InternetCrackUrlA(url, 0, 0, &uc))
    std::printf("crack [%s] ok scheme=[%s] n=%d host=[%s] port=%u user=[%s] pass=[%s] path=[%s] extra=[%s]\n", url,
                scheme, (int)uc.nScheme, host, (unsigned)uc.nPort, user, pass, path, extra);
  else
    std::printf("crack [%s] fail %lu\n", url, (unsigned long)GetLastError());
}

struct Session {
  HINTERNET root = nullptr, conn = nullptr, req = nullptr;
  ~Session() {
    if (req) InternetCloseHandle(req);
    if (conn) InternetCloseHandle(conn);
    if (root) InternetCloseHandle(root);
  }
};

void Open(Session& s, bool async, INTERNET_PORT port, const char* path, DWORD_PTR ctx) {
  s.root = InternetOpenA("probe", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, async ? INTERNET_FLAG_ASYNC : 0);
  InternetSetStatusCallbackA(s.root, Callback);
  s.conn = InternetConnectA(s.root, "127.0.0.1", port, "", "", INTERNET_SERVICE_HTTP, 0, ctx);
  LPCSTR accept[] = {"*", nullptr};
  s.req = HttpOpenRequestA(
      s.conn, "GET", path, "HTTP/1.1", "", accept,
      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_COOKIES,
      ctx);
}

void Queries(HINTERNET req) {
  DWORD v = 0, size = sizeof v;
  BOOL ok = HttpQueryInfoA(req, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE, &v, &size, nullptr);
  std::printf("status-code %s %lu\n", ok ? "TRUE" : "FALSE", ok ? (unsigned long)v : (unsigned long)GetLastError());
  size = sizeof v;
  ok = HttpQueryInfoA(req, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH, &v, &size, nullptr);
  std::printf("content-length %s %lu\n", ok ? "TRUE" : "FALSE", ok ? (unsigned long)v : (unsigned long)GetLastError());
}

// The module's read loop: flags 9, a new call after each completion.
void ReadLoop9(HINTERNET req, DWORD_PTR ctx, int& completions) {
  char buf[2048];
  INTERNET_BUFFERSA b;
  std::memset(&b, 0, sizeof b);
  b.dwStructSize = sizeof b;
  size_t total = 0;
  for (int guard = 0; guard < 200; ++guard) {
    b.lpvBuffer = buf;
    b.dwBufferLength = 2047;
    if (InternetReadFileExA(req, &b, IRF_ASYNC | IRF_NO_WAIT, ctx)) {
      if (b.dwBufferLength == 0) {
        std::printf("read9 end total=%lu\n", (unsigned long)total);
        return;
      }
      total += b.dwBufferLength;
      continue;
    }
    DWORD e = GetLastError();
    if (e != ERROR_IO_PENDING) {
      std::printf("read9 FALSE %lu total=%lu\n", (unsigned long)e, (unsigned long)total);
      return;
    }
    std::printf("read9 pending dwBufferLength=%lu\n", (unsigned long)b.dwBufferLength);
    if (!WaitCompletions(++completions)) {
      std::printf("read9 no completion\n");
      return;
    }
  }
}

void AsyncGet(INTERNET_PORT port, const char* path, DWORD_PTR ctx) {
  std::printf("== async GET %s\n", path);
  Session s;
  Open(s, true, port, path, ctx);
  int completions;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    completions = g_completions;
  }
  BOOL ok = HttpSendRequestA(s.req, nullptr, 0, nullptr, 0);
  std::printf("send %s %lu\n", ok ? "TRUE" : "FALSE", (unsigned long)GetLastError());
  if (!ok && GetLastError() == ERROR_IO_PENDING && !WaitCompletions(++completions)) std::printf("no completion\n");
  Flush();
  Queries(s.req);
  ReadLoop9(s.req, ctx, completions);
  Flush();
}

void SyncGet(INTERNET_PORT port, const char* path, DWORD piece) {
  std::printf("== sync GET %s\n", path);
  Session s;
  Open(s, false, port, path, 1);
  BOOL ok = HttpSendRequestA(s.req, nullptr, 0, nullptr, 0);
  std::printf("send %s %lu\n", ok ? "TRUE" : "FALSE", (unsigned long)GetLastError());
  Flush();
  if (!ok) return;
  Queries(s.req);
  std::vector<char> buf(piece);
  for (int i = 0; i < 50; ++i) {
    DWORD got = 0;
    if (!InternetReadFile(s.req, buf.data(), piece, &got)) {
      std::printf("read FALSE %lu\n", (unsigned long)GetLastError());
      break;
    }
    std::printf("read TRUE %lu\n", (unsigned long)got);
    if (!got) break;
  }
  if (std::strcmp(path, "/auth") == 0) {
    DWORD r = InternetErrorDlg(
        GetForegroundWindow(), s.req, ERROR_INTERNET_INCORRECT_PASSWORD,
        FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_NO_UI, nullptr);
    std::printf("errordlg no-ui %lu\n", (unsigned long)r);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  g_main = std::this_thread::get_id();
  INTERNET_PORT port = (INTERNET_PORT)std::atoi(argv[1]);
  INTERNET_PORT refused = (INTERNET_PORT)std::atoi(argv[2]);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const char* urls[] = {"http://h",
                        "http://h/",
                        "https://h:8443/p?x=1#f",
                        "HTTPS://H/",
                        "http://user:pass@h/x",
                        "http://user@h/",
                        "foo://h/x",
                        "mailto:a@b",
                        "C:\\file.txt",
                        "www.example.com/x",
                        ""};
  for (const char* u : urls) Crack(u);
  std::printf("sizeof INTERNET_BUFFERSA=%u URL_COMPONENTSA=%u\n", (unsigned)sizeof(INTERNET_BUFFERSA),
              (unsigned)sizeof(URL_COMPONENTSA));
  AsyncGet(port, "/hello", 10);
  AsyncGet(port, "/chunked", 11);
  AsyncGet(port, "/close", 12);
  AsyncGet(port, "/redirect", 13);
  AsyncGet(port, "/short", 14);
  SyncGet(port, "/hello", 5);
  SyncGet(port, "/short", 100);
  SyncGet(port, "/auth", 1024);
  SyncGet(refused, "/", 16);
  return 0;
}
