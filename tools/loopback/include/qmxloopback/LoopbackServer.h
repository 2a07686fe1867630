// A scriptable HTTP/1.1 and HTTPS server on 127.0.0.1 for tests, with fault
// modes that a well-behaved server library cannot produce (short bodies,
// broken chunking, resets, stalls, a byte at a time).
//
// The server binds an ephemeral port when started and stops (every thread it
// made has ended when it returns) in Stop() or its destructor. Handlers run on the server's
// connection threads; the record of received requests can be read from any
// thread.
#ifndef QMX_LOOPBACK_LOOPBACKSERVER_H
#define QMX_LOOPBACK_LOOPBACKSERVER_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qmxloopback {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as the server received it.
struct ReceivedRequest {
  std::string method, target, version;
  HeaderList headers;
  std::string body;

  // Value of the first header with this name (case-insensitive), "" if none.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
};

// What the server answers, and how it misbehaves while doing so.
struct Reply {
  static constexpr size_t kNever = static_cast<size_t>(-1);
  enum class Framing {
    kContentLength,  // Content-Length: body size (or contentLength if set)
    kChunked,        // Transfer-Encoding: chunked, chunkSize bytes a chunk
    kClose,          // no length; the connection closes after the body
  };

  int status = 200;
  HeaderList headers;
  std::string body;
  Framing framing = Framing::kContentLength;
  size_t chunkSize = 1024;
  long long contentLength = -1;  // announce a different length (>= 0)

  // Faults, applied in this order.
  bool noReply = false;             // close without answering
  bool resetInHeaders = false;      // send half the header block, then RST
  bool stallBeforeHeaders = false;  // answer only after ReleaseStalled()
  size_t stallAfterBody = kNever;   // send that many body bytes, then wait for ReleaseStalled()
  size_t closeAfterBody = kNever;   // send that many body bytes, then close (FIN)
  size_t resetAfterBody = kNever;   // send that many body bytes, then RST
  bool brokenChunking = false;      // chunk headers after the first are not hex
  bool drip = false;                // write one byte at a time
  std::string raw;                  // if set: exactly these bytes, then close

  // Replies without end, for a client's limits. Each goes on until the
  // client goes away or the server stops, repeating a small fixed block, so
  // the server holds nothing of what it sent.
  bool endlessHeaders = false;   // status line and headers, then header lines for ever
  bool endlessBody = false;      // body bytes for ever, in the framing: kContentLength
                                 // announces contentLength if set, else 1 TiB
  bool endlessTrailers = false;  // chunked body, last chunk, then trailer lines for ever

  bool keepAlive = true;  // honour keep-alive after a complete reply

  static Reply Text(int status, std::string body);
  // 401 (server) or 407 (proxy) with a Basic challenge for realm.
  static Reply BasicChallenge(const std::string& realm, bool proxy = false);
};

using Handler = std::function<Reply(const ReceivedRequest&)>;

struct ServerOptions {
  bool tls = false;
  // Names and addresses the certificate is made for (subject alternative
  // names); IP literals become IP entries.
  std::vector<std::string> certificateHosts{"127.0.0.1", "localhost"};
  bool expiredCertificate = false;
};

class LoopbackServer {
 public:
  explicit LoopbackServer(ServerOptions options = {});
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Binds 127.0.0.1 on a free port and starts serving. False on failure.
  bool Start();
  // Closes the listener and every connection, releases stalls, waits for every thread.
  void Stop();

  uint16_t Port() const { return m_port; }
  // "http://127.0.0.1:port" + path (https for a TLS server).
  std::string Url(const std::string& path = "/") const;
  // PEM file of the server's self-signed certificate (TLS servers).
  std::string CertificateFile() const { return m_certFile; }

  // The handler for every request (default: 200 "hello").
  void SetHandler(Handler h);
  // A handler for one exact target (path with query); falls back to SetHandler's.
  void Route(const std::string& target, Handler h);
  // Accept only requests with these Basic credentials; others get a 401 (or
  // 407 when proxy is true) challenge for realm.
  void RequireBasic(const std::string& user, const std::string& password, const std::string& realm = "test");

  // Lets stalled replies go on.
  void ReleaseStalled();

  std::vector<ReceivedRequest> Requests() const;
  size_t RequestCount() const;
  size_t ConnectionCount() const;
  // Waits until at least n requests arrived (false when the deadline passed).
  bool WaitForRequests(size_t n, std::chrono::milliseconds deadline = std::chrono::seconds(30)) const;
  // Waits until no connection is open (the clients went away).
  bool WaitForConnectionsClosed(std::chrono::milliseconds deadline = std::chrono::seconds(30)) const;
  // Highest number of connections that were open at the same time.
  size_t PeakConnections() const;

 private:
  struct Impl;
  ServerOptions m_options;
  uint16_t m_port = 0;
  std::string m_certFile;
  std::unique_ptr<Impl> m_impl;
};

// A listener whose backlog is full, so that a connect to it neither
// succeeds nor is refused: for connect time-out tests.
class BlackholeListener {
 public:
  ~BlackholeListener();
  bool Start();
  void Stop();
  uint16_t Port() const { return m_port; }

 private:
  int m_listenFd = -1;
  std::vector<int> m_fillers;
  uint16_t m_port = 0;
};

// A port on 127.0.0.1 where nothing listens (connections are refused).
uint16_t UnusedPort();

}  // namespace qmxloopback

#endif
