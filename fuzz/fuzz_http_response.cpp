// The WinINet layer reading a reply: a loopback server answers every request
// with the fuzzed bytes exactly (status line, headers, chunked or plain
// body, whatever they are) and closes. The layer must end every exchange
// with a result, hand out no byte it did not receive, and never write past
// the buffers it is given.
//
// Input: one byte of options (buffer sizes, asynchronous root, which header
// queries), then the raw reply.
#include <cstring>
#include <memory>

#include "FuzzCommon.h"
#include "qmxloopback/LoopbackServer.h"
#include "wininet.h"

namespace {

qmxloopback::LoopbackServer* g_server;
HINTERNET g_root;
std::string g_reply;  // read by the server thread while a request runs

void QueryText(HINTERNET req, DWORD level, DWORD size) {
  std::unique_ptr<char[]> buf(new char[size ? size : 1]);
  DWORD len = size;
  if (HttpQueryInfoA(req, level, size ? buf.get() : nullptr, &len, nullptr))
    QMX_FUZZ_CHECK(len < size && buf[len] == '\0', "query result longer than its buffer or not terminated");
  else
    QMX_FUZZ_CHECK(GetLastError() != ERROR_INSUFFICIENT_BUFFER || len >= size, "refused a large enough buffer");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_server = new qmxloopback::LoopbackServer();
  g_server->SetHandler([](const qmxloopback::ReceivedRequest&) {
    qmxloopback::Reply r;
    r.raw = g_reply;
    r.keepAlive = false;
    return r;
  });
  if (!g_server->Start()) qmxfuzz::Fail("loopback server");
  g_root = InternetOpenA("fuzz", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  if (!g_root) qmxfuzz::Fail("InternetOpenA");
  // A reply that stops short must end in a failure, not a wait.
  DWORD ms = 10000;
  InternetSetOptionA(g_root, INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, sizeof ms);
  InternetSetOptionA(g_root, INTERNET_OPTION_CONNECT_TIMEOUT, &ms, sizeof ms);
  std::atexit([] {
    InternetCloseHandle(g_root);
    g_server->Stop();
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 65536) return 0;
  const uint8_t opt = data[0];
  g_reply.assign(reinterpret_cast<const char*>(data + 1), size - 1);

  HINTERNET conn = InternetConnectA(g_root, "127.0.0.1", g_server->Port(), "", "", INTERNET_SERVICE_HTTP, 0, 1);
  QMX_FUZZ_CHECK(conn != nullptr, "InternetConnectA");
  HINTERNET req =
      HttpOpenRequestA(conn, (opt & 0x40) ? "POST" : "GET", "/x", "HTTP/1.1", "", nullptr,
                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION, 2);
  QMX_FUZZ_CHECK(req != nullptr, "HttpOpenRequestA");
  char body[] = "a=1";
  const BOOL sent =
      (opt & 0x40) ? HttpSendRequestA(req, nullptr, 0, body, 3) : HttpSendRequestA(req, nullptr, 0, nullptr, 0);
  QMX_FUZZ_CHECK(sent || GetLastError() != 0, "send failed without an error");
  if (sent) {
    DWORD number = 0, len = sizeof number;
    if (HttpQueryInfoA(req, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE, &number, &len, nullptr))
      QMX_FUZZ_CHECK(number <= 999, std::to_string(number));
    HttpQueryInfoA(req, HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH, &number, &(len = sizeof number), nullptr);
    const DWORD levels[] = {HTTP_QUERY_RAW_HEADERS_CRLF, HTTP_QUERY_STATUS_TEXT, HTTP_QUERY_CONTENT_TYPE};
    for (DWORD level : levels) QueryText(req, level, (opt & 0x80) ? 4096 : (opt & 0x0F));
    // Read to the end in pieces of 1 to 64 bytes (or 2047 as the module does),
    // each into a buffer of exactly that size.
    const DWORD piece = (opt & 0x20) ? 2047 : 1 + ((opt >> 1) & 0x3F);
    size_t total = 0;
    for (DWORD got = 1; got;) {
      std::unique_ptr<char[]> buf(new char[piece]);
      if (!InternetReadFile(req, buf.get(), piece, &(got = 0))) break;
      total += got;
      QMX_FUZZ_CHECK(got <= piece && total <= g_reply.size(), "read more than asked or than the reply had");
    }
  }
  InternetCloseHandle(req);
  InternetCloseHandle(conn);
  return 0;
}
