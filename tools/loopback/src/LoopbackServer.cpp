// Raw-socket HTTP/1.1 server with OpenSSL for HTTPS; see LoopbackServer.h.
#include "qmxloopback/LoopbackServer.h"
#include "qmxloopback/SelfSignedCert.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

namespace qmxloopback {
namespace {

std::string Base64(const std::string& in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  out.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                             reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size())));
  return out;
}

// A TCP socket bound to 127.0.0.1 on a free port; listening with backlog
// when backlog >= 0. -1 on failure.
int BindLoopback(int backlog, uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      (backlog >= 0 && ::listen(fd, backlog) != 0) || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

bool MakeCertificate(const ServerOptions& o, SSL_CTX* ctx, std::string& certFile) {
  const long day = 24 * 3600, serial = static_cast<long>(::getpid()) ^ static_cast<long>(time(nullptr));
  const CertificateRequest request{o.certificateHosts, "", serial, o.expiredCertificate ? -10 * day : -3600,
                                   o.expiredCertificate ? -day : 30 * day};
  SelfSignedCert cert;
  std::string error;
  if (!cert.Make(request, error)) return false;
  char path[] = "/tmp/qmxloopback-XXXXXX.pem";
  const int fd = mkstemps(path, 4);
  FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
  certFile = fd >= 0 ? path : "";
  bool ok = f && PEM_write_X509(f, cert.Certificate()) == 1;
  if (f) std::fclose(f);
  return ok && SSL_CTX_use_certificate(ctx, cert.Certificate()) == 1 && SSL_CTX_use_PrivateKey(ctx, cert.Key()) == 1;
}

// n header lines "<prefix><i>: <64 x fill>", for replies without end.
std::string Filler(const std::string& prefix, char fill) {
  std::string block;
  for (int i = 0; i < 64; ++i) block += prefix + std::to_string(i) + ": " + std::string(64, fill) + "\r\n";
  return block;
}

}  // namespace

std::string ReceivedRequest::Header(const std::string& name) const {
  for (const auto& h : headers)
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
  return std::string();
}

bool ReceivedRequest::HasHeader(const std::string& name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& h) { return strcasecmp(h.first.c_str(), name.c_str()) == 0; });
}

Reply Reply::Text(int status, std::string body) {
  Reply r;
  r.status = status, r.body = std::move(body), r.headers = {{"Content-Type", "text/plain"}};
  return r;
}

Reply Reply::BasicChallenge(const std::string& realm, bool proxy) {
  Reply r = Text(proxy ? 407 : 401, proxy ? "proxy authentication required" : "authentication required");
  r.headers.push_back({proxy ? "Proxy-Authenticate" : "WWW-Authenticate", "Basic realm=\"" + realm + "\""});
  return r;
}

// ---------------------------------------------------------------------------

struct LoopbackServer::Impl {
  struct Conn {
    int fd = -1;
    SSL* ssl = nullptr;
    bool reset = false;  // the reply ended with a reset: no TLS close
  };

  mutable std::mutex mu;
  mutable std::condition_variable cv;
  bool stopping = false;
  bool released = false;
  int listenFd = -1;
  SSL_CTX* ctx = nullptr;
  std::thread acceptor;
  // The open connections; each has a detached thread of its own, which
  // closes it as its last step. Stop waits until there is none.
  std::vector<int> openFds;
  std::vector<ReceivedRequest> requests;
  size_t connections = 0, peak = 0;  // ever accepted; most open at once
  Handler handler;
  std::map<std::string, Handler> routes;
  std::string basic, realm;  // RequireBasic's expected Authorization value and realm

  template <class F>
  auto Locked(F f) const {
    std::lock_guard<std::mutex> lock(mu);
    return f();
  }
  static constexpr std::chrono::hours kForever{24 * 365};
  bool WaitUntil(std::chrono::milliseconds deadline, const std::function<bool()>& done) const {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, deadline, done);
  }

  // Appends what arrives next to buf; false at the end of the connection.
  bool Fill(Conn& c, std::string& buf) {
    char tmp[16384];
    ssize_t n;
    do n = c.ssl ? SSL_read(c.ssl, tmp, sizeof tmp) : ::recv(c.fd, tmp, sizeof tmp, 0);
    while (n < 0 && errno == EINTR);
    if (n > 0) buf.append(tmp, static_cast<size_t>(n));
    return n > 0;
  }

  // Sends the first n bytes (all by default), one at a time when drip is set.
  bool Send(Conn& c, const std::string& bytes, bool drip, size_t n = std::string::npos) {
    for (size_t done = 0, end = std::min(n, bytes.size()); done < end;) {
      const size_t k = drip ? 1 : end - done;
      ssize_t w;
      do w = c.ssl ? SSL_write(c.ssl, &bytes[done], static_cast<int>(k)) : ::send(c.fd, &bytes[done], k, MSG_NOSIGNAL);
      while (w < 0 && errno == EINTR);
      if (w <= 0) return false;
      done += static_cast<size_t>(w);
    }
    return true;
  }

  void Reset(Conn& c) {
    linger l{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    c.reset = true;  // the close that follows sends RST
  }

  // Waits for ReleaseStalled(); false when the server stops.
  bool Wait() {
    return WaitUntil(kForever, [this] { return released || stopping; }) && !Locked([this] { return stopping; });
  }

  bool ReadRequest(Conn& c, std::string& buf, ReceivedRequest& req) {
    size_t end;
    while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
      if (!Fill(c, buf)) return false;
      if (!std::isupper(static_cast<unsigned char>(buf[0]))) {
        // Not HTTP (a TLS hello, say): answer as a plain server would.
        Send(c, "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", false);
        return false;
      }
    }
    std::istringstream in(buf.substr(0, end + 2));
    buf.erase(0, end + 4);
    std::string line;
    if (!(in >> req.method >> req.target >> req.version) || !std::getline(in, line)) return false;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t colon = line.find(':'), v = line.find_first_not_of(" \t", colon + 1);
      if (colon != std::string::npos)
        req.headers.push_back({line.substr(0, colon), v < line.size() ? line.substr(v) : ""});
    }
    const size_t len = std::strtoul(req.Header("Content-Length").c_str(), nullptr, 10);
    while (buf.size() < len)
      if (!Fill(c, buf)) return false;
    req.body = buf.substr(0, len);
    buf.erase(0, len);
    return true;
  }

  // Sends the payload bytes [from, to), in chunks when chunked.
  bool SendBody(Conn& c, const Reply& r, size_t from, size_t to, bool chunked) {
    if (!chunked) return Send(c, r.body.substr(from, to - from), r.drip);
    const size_t chunk = r.chunkSize ? r.chunkSize : 1024;
    for (size_t p = from; p < to; p += chunk) {
      const size_t k = std::min(chunk, to - p);
      char size[32];
      std::snprintf(size, sizeof size, r.brokenChunking && p > 0 ? "zz%zx\r\n" : "%zx\r\n", k);
      if (!Send(c, size + r.body.substr(p, k) + "\r\n", r.drip)) return false;
    }
    return true;
  }

  // Sends block after block until the client goes away or the server stops
  // (Stop shuts the socket down). Always false: the connection cannot serve
  // another request.
  bool SendForever(Conn& c, const std::string& block, bool drip) {
    while (Send(c, block, drip)) continue;
    return false;
  }

  // Returns whether the connection may serve another request.
  bool WriteReply(Conn& c, const Reply& r, const ReceivedRequest& req) {
    if (r.noReply) return false;
    if (!r.raw.empty()) {
      Send(c, r.raw, r.drip);
      return false;
    }
    const bool chunked = r.endlessTrailers || r.framing == Reply::Framing::kChunked;
    const bool closeAfter = !r.keepAlive || (!chunked && r.framing == Reply::Framing::kClose) ||
                            strcasecmp(req.Header("Connection").c_str(), "close") == 0;
    std::string head = "HTTP/1.1 " + std::to_string(r.status) + (r.status == 200 ? " OK\r\n" : " Status\r\n");
    for (const auto& h : r.headers) head += h.first + ": " + h.second + "\r\n";
    const long long length = r.contentLength >= 0 ? r.contentLength
                             : r.endlessBody      ? 1LL << 40
                                                  : static_cast<long long>(r.body.size());
    if (chunked)
      head += "Transfer-Encoding: chunked\r\n";
    else if (r.framing == Reply::Framing::kContentLength)
      head += "Content-Length: " + std::to_string(length) + "\r\n";
    if (closeAfter) head += "Connection: close\r\n";
    if (!r.endlessHeaders) head += "\r\n";
    if (r.resetInHeaders) {
      Send(c, head, false, head.size() / 2);
      Reset(c);
      return false;
    }
    if ((r.stallBeforeHeaders && !Wait()) || !Send(c, head, r.drip)) return false;
    if (r.endlessHeaders) return SendForever(c, Filler("X-Filler-", 'h'), r.drip);
    if (req.method == "HEAD" || r.status == 204 || r.status == 304) return !closeAfter;
    if (r.endlessBody)
      return SendForever(c, chunked ? "4000\r\n" + std::string(16384, 'b') + "\r\n" : std::string(16384, 'b'), r.drip);
    if (r.endlessTrailers) {
      return SendBody(c, r, 0, r.body.size(), true) && Send(c, "0\r\n", r.drip) &&
             SendForever(c, Filler("X-Trailer-", 't'), r.drip);
    }
    // The body up to each fault's position in turn, then the fault: a stall
    // goes on afterwards, a reset or a close ends the reply; the end of the
    // body sorts after a fault at the same position.
    enum Stop { kStall, kReset, kClose, kEnd };
    std::pair<size_t, Stop> stops[] = {
        {r.stallAfterBody, kStall}, {r.resetAfterBody, kReset}, {r.closeAfterBody, kClose}, {r.body.size(), kEnd}};
    std::sort(std::begin(stops), std::end(stops));
    size_t sent = 0;
    for (const auto& [at, stop] : stops) {
      const size_t to = std::min(at, r.body.size());  // sorted: never before sent
      if (!SendBody(c, r, sent, to, chunked)) return false;
      sent = to;
      if (stop == kEnd) break;
      if (stop == kReset) Reset(c);
      if (stop == kClose) ::shutdown(c.fd, SHUT_WR);
      if (stop != kStall || !Wait()) return false;
    }
    if (chunked && !Send(c, "0\r\n\r\n", r.drip)) return false;
    if (r.contentLength >= 0 && static_cast<size_t>(r.contentLength) > r.body.size()) return false;  // short body
    return !closeAfter;
  }

  void Serve(int fd) {
    sigset_t pipe;  // SSL_write to a vanished client: EPIPE, not SIGPIPE
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    Conn c{fd};
    if (ctx) {
      c.ssl = SSL_new(ctx);
      SSL_set_fd(c.ssl, fd);
    }
    std::string buf;
    for (bool ok = !ctx || SSL_accept(c.ssl) == 1; ok;) {
      ReceivedRequest req;
      if (!ReadRequest(c, buf, req)) break;
      Handler h;
      const std::string challenge = Locked([&] {
        requests.push_back(req);
        cv.notify_all();
        const auto route = routes.find(req.target);
        h = route != routes.end() ? route->second : handler;
        return basic.empty() || req.Header("Authorization") == basic ? std::string() : realm;
      });
      const Reply reply = !challenge.empty() ? Reply::BasicChallenge(challenge)
                          : h                ? h(req)
                                             : Reply::Text(200, "hello");
      ok = WriteReply(c, reply, req);
    }
    if (c.ssl) {
      if (!c.reset) SSL_shutdown(c.ssl);
      SSL_free(c.ssl);
    }
    // The thread's last touch of the server: Stop may end it right after.
    Locked([&] {
      openFds.erase(std::remove(openFds.begin(), openFds.end(), fd), openFds.end());
      ::close(fd);
      cv.notify_all();
    });
  }

  void Accept() {
    for (;;) {
      pollfd p{listenFd, POLLIN, 0};  // Stop shuts the listener down, which ends the wait
      const int fd = ::poll(&p, 1, -1) > 0 ? ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
      std::lock_guard<std::mutex> lock(mu);
      if (stopping) {
        if (fd >= 0) ::close(fd);
        return;
      }
      if (fd < 0) continue;
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      openFds.push_back(fd);
      ++connections;
      peak = std::max(peak, openFds.size());
      // Detached: a long-running server keeps no finished thread (nor its
      // stack) per connection it ever had.
      std::thread([this, fd] { Serve(fd); }).detach();
    }
  }
};

LoopbackServer::LoopbackServer(ServerOptions options) : m_options(std::move(options)), m_impl(new Impl) {}

LoopbackServer::~LoopbackServer() { Stop(); }

bool LoopbackServer::Start() {
  if (m_options.tls) {
    m_impl->ctx = SSL_CTX_new(TLS_server_method());
    if (!m_impl->ctx || !MakeCertificate(m_options, m_impl->ctx, m_certFile)) return false;
  }
  m_impl->listenFd = BindLoopback(64, m_port);
  if (m_impl->listenFd < 0) return false;
  m_impl->acceptor = std::thread([this] { m_impl->Accept(); });
  return true;
}

void LoopbackServer::Stop() {
  Impl& s = *m_impl;
  std::unique_lock<std::mutex> lock(s.mu);
  if (s.stopping && !s.acceptor.joinable()) return;
  s.stopping = true;
  s.cv.notify_all();
  for (int fd : s.openFds) ::shutdown(fd, SHUT_RDWR);
  if (s.listenFd >= 0) ::shutdown(s.listenFd, SHUT_RDWR);
  lock.unlock();
  if (s.acceptor.joinable()) s.acceptor.join();
  s.WaitUntil(Impl::kForever, [&] { return s.openFds.empty(); });  // each connection's thread closes its own
  if (s.listenFd >= 0) ::close(s.listenFd);
  s.listenFd = -1;
  SSL_CTX_free(s.ctx);
  s.ctx = nullptr;
  if (!m_certFile.empty()) ::unlink(m_certFile.c_str());
  m_certFile.clear();
}

std::string LoopbackServer::Url(const std::string& path) const {
  return std::string(m_options.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + path;
}

void LoopbackServer::SetHandler(Handler h) {
  m_impl->Locked([&] { m_impl->handler = std::move(h); });
}

void LoopbackServer::Route(const std::string& target, Handler h) {
  m_impl->Locked([&] { m_impl->routes[target] = std::move(h); });
}

void LoopbackServer::RequireBasic(const std::string& user, const std::string& password, const std::string& realm) {
  m_impl->Locked([&] {
    m_impl->basic = "Basic " + Base64(user + ":" + password);
    m_impl->realm = realm;
  });
}

void LoopbackServer::ReleaseStalled() {
  m_impl->Locked([&] {
    m_impl->released = true;
    m_impl->cv.notify_all();
  });
}

std::vector<ReceivedRequest> LoopbackServer::Requests() const {
  return m_impl->Locked([&] { return m_impl->requests; });
}
size_t LoopbackServer::RequestCount() const {
  return m_impl->Locked([&] { return m_impl->requests.size(); });
}
size_t LoopbackServer::ConnectionCount() const {
  return m_impl->Locked([&] { return m_impl->connections; });
}
size_t LoopbackServer::PeakConnections() const {
  return m_impl->Locked([&] { return m_impl->peak; });
}
bool LoopbackServer::WaitForRequests(size_t n, std::chrono::milliseconds deadline) const {
  return m_impl->WaitUntil(deadline, [&] { return m_impl->requests.size() >= n; });
}
bool LoopbackServer::WaitForConnectionsClosed(std::chrono::milliseconds deadline) const {
  return m_impl->WaitUntil(deadline, [&] { return m_impl->openFds.empty(); });
}

// ---------------------------------------------------------------------------

BlackholeListener::~BlackholeListener() { Stop(); }

bool BlackholeListener::Start() {
  m_listenFd = BindLoopback(0, m_port);
  if (m_listenFd < 0) return false;
  // Fill the accept queue; nobody ever accepts, so later SYNs go unanswered.
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&a), &len);
  for (int i = 0; i < 4; ++i) {
    m_fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::connect(m_fillers.back(), reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  return true;
}

void BlackholeListener::Stop() {
  for (int fd : m_fillers) ::close(fd);
  m_fillers.clear();
  if (m_listenFd >= 0) ::close(m_listenFd);
  m_listenFd = -1;
}

uint16_t UnusedPort() {
  uint16_t port = 0;
  ::close(BindLoopback(-1, port));  // bound, never listened: connections are refused
  return port;
}

}  // namespace qmxloopback
