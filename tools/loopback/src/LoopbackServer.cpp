// Raw-socket HTTP/1.1 server with OpenSSL for HTTPS; see LoopbackServer.h.
#include "qmxloopback/LoopbackServer.h"
#include "qmxloopback/SelfSignedCert.h"

#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

namespace qmxloopback {
namespace {

const char* ReasonFor(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 407:
      return "Proxy Authentication Required";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

std::string Base64(const std::string& in) {
  std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), reinterpret_cast<const unsigned char*>(in.data()),
                          static_cast<int>(in.size()));
  out.resize(n);
  return out;
}

bool MakeCertificate(const ServerOptions& o, const std::string& dir, SSL_CTX* ctx, std::string& certFile) {
  const long day = 24 * 3600;
  CertificateRequest request;
  request.hosts = o.certificateHosts;
  request.serial = static_cast<long>(::getpid()) ^ static_cast<long>(time(nullptr));
  request.notBefore = o.expiredCertificate ? -10 * day : -3600;
  request.notAfter = o.expiredCertificate ? -day : 30 * day;
  SelfSignedCert cert;
  std::string error;
  if (!cert.Make(request, error)) return false;
  bool ok = SSL_CTX_use_certificate(ctx, cert.Certificate()) == 1 && SSL_CTX_use_PrivateKey(ctx, cert.Key()) == 1;
  certFile = dir + "/cert.pem";
  if (FILE* f = std::fopen(certFile.c_str(), "w")) {
    PEM_write_X509(f, cert.Certificate());
    std::fclose(f);
  } else {
    ok = false;
  }
  return ok;
}

}  // namespace

std::string ReceivedRequest::Header(const std::string& name) const {
  for (const auto& h : headers)
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
  return std::string();
}

bool ReceivedRequest::HasHeader(const std::string& name) const {
  for (const auto& h : headers)
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return true;
  return false;
}

Reply Reply::Text(int status, std::string body) {
  Reply r;
  r.status = status;
  r.body = std::move(body);
  r.headers.push_back({"Content-Type", "text/plain"});
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
    int number = 0;
    bool gone = false;  // closed by the reply (reset or close)
  };

  mutable std::mutex mu;
  mutable std::condition_variable cv;
  bool stopping = false;
  std::atomic<bool> halt{false};  // stopping, for the loops of endless replies
  bool released = false;
  int listenFd = -1;
  SSL_CTX* ctx = nullptr;
  std::string dir;
  std::thread acceptor;
  std::vector<std::thread> workers;
  std::vector<std::thread::id> finished;  // workers that have returned, to be joined
  std::vector<int> openFds;
  std::vector<ReceivedRequest> requests;
  int connections = 0;
  size_t open = 0, peak = 0;
  Handler handler;
  std::map<std::string, Handler> routes;
  std::function<bool(const ReceivedRequest&, Reply&)> gate;

  ssize_t Recv(Conn& c, char* buf, size_t n) {
    if (c.ssl) {
      int r = SSL_read(c.ssl, buf, static_cast<int>(n));
      return r > 0 ? r : -1;
    }
    ssize_t r;
    do r = ::recv(c.fd, buf, n, 0);
    while (r < 0 && errno == EINTR);
    return r > 0 ? r : -1;
  }

  bool Send(Conn& c, const char* p, size_t n, bool drip) {
    while (n) {
      size_t k = drip ? 1 : n;
      ssize_t w;
      if (c.ssl) {
        w = SSL_write(c.ssl, p, static_cast<int>(k));
      } else {
        do w = ::send(c.fd, p, k, MSG_NOSIGNAL);
        while (w < 0 && errno == EINTR);
      }
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }

  void Reset(Conn& c) {
    linger l{1, 0};
    setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    c.gone = true;  // the close that follows sends RST
  }

  // Waits for ReleaseStalled() or Stop(); false when stopping.
  bool WaitRelease() {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [this] { return released || stopping; });
    return !stopping;
  }

  bool WaitDelay(std::chrono::milliseconds d) {
    std::unique_lock<std::mutex> lock(mu);
    return !cv.wait_for(lock, d, [this] { return stopping; });
  }

  bool ReadRequest(Conn& c, std::string& buf, ReceivedRequest& req) {
    size_t end;
    char tmp[16384];
    while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
      ssize_t n = Recv(c, tmp, sizeof tmp);
      if (n <= 0) return false;
      buf.append(tmp, static_cast<size_t>(n));
      if (!std::isupper(static_cast<unsigned char>(buf[0]))) {
        // Not HTTP (a TLS hello, say): answer as a plain server would.
        static const char kBad[] = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
        Send(c, kBad, sizeof kBad - 1, false);
        return false;
      }
    }
    std::string head = buf.substr(0, end);
    buf.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    std::string first = head.substr(0, lineEnd);
    size_t s1 = first.find(' '), s2 = first.rfind(' ');
    if (s1 == std::string::npos || s2 == s1) return false;
    req.method = first.substr(0, s1);
    req.target = first.substr(s1 + 1, s2 - s1 - 1);
    req.version = first.substr(s2 + 1);
    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
      size_t e = head.find("\r\n", pos);
      if (e == std::string::npos) e = head.size();
      std::string line = head.substr(pos, e - pos);
      pos = e + 2;
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      size_t v = line.find_first_not_of(" \t", colon + 1);
      req.headers.push_back({line.substr(0, colon), v == std::string::npos ? "" : line.substr(v)});
    }
    if (strcasecmp(req.Header("Transfer-Encoding").c_str(), "chunked") == 0) {
      for (;;) {
        size_t le;
        while ((le = buf.find("\r\n")) == std::string::npos) {
          ssize_t n = Recv(c, tmp, sizeof tmp);
          if (n <= 0) return false;
          buf.append(tmp, static_cast<size_t>(n));
        }
        size_t size = std::strtoul(buf.c_str(), nullptr, 16);
        buf.erase(0, le + 2);
        while (buf.size() < size + 2) {
          ssize_t n = Recv(c, tmp, sizeof tmp);
          if (n <= 0) return false;
          buf.append(tmp, static_cast<size_t>(n));
        }
        req.body.append(buf, 0, size);
        buf.erase(0, size + 2);
        if (size == 0) break;
      }
    } else {
      size_t len = std::strtoul(req.Header("Content-Length").c_str(), nullptr, 10);
      while (buf.size() < len) {
        ssize_t n = Recv(c, tmp, sizeof tmp);
        if (n <= 0) return false;
        buf.append(tmp, static_cast<size_t>(n));
      }
      req.body = buf.substr(0, len);
      buf.erase(0, len);
    }
    return true;
  }

  // Sends the payload bytes [from, to) in the reply's framing.
  bool SendBody(Conn& c, const Reply& r, size_t from, size_t to, bool& brokenSent) {
    if (r.framing != Reply::Framing::kChunked) return Send(c, r.body.data() + from, to - from, r.drip);
    size_t chunk = r.chunkSize ? r.chunkSize : 1024;
    for (size_t p = from; p < to; p += chunk) {
      size_t k = std::min(chunk, to - p);
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", k);
      if (r.brokenChunking && p > 0 && !brokenSent) {
        brokenSent = true;
        std::snprintf(size, sizeof size, "zz%zx\r\n", k);
      }
      std::string piece = std::string(size) + r.body.substr(p, k) + "\r\n";
      if (!Send(c, piece.data(), piece.size(), r.drip)) return false;
    }
    return true;
  }

  // Sends block after block until the client goes away or the server stops.
  // Always false: the connection cannot serve another request.
  bool SendForever(Conn& c, const std::string& block, bool drip) {
    while (!halt.load(std::memory_order_relaxed))
      if (!Send(c, block.data(), block.size(), drip)) break;
    return false;
  }

  // Returns whether the connection may serve another request.
  bool WriteReply(Conn& c, const Reply& r, const ReceivedRequest& req) {
    if (r.delay.count() > 0 && !WaitDelay(r.delay)) return false;
    if (r.noReply) return false;
    if (!r.raw.empty()) {
      Send(c, r.raw.data(), r.raw.size(), r.drip);
      return false;
    }
    const Reply::Framing framing = r.endlessTrailers ? Reply::Framing::kChunked : r.framing;
    bool closeAfter =
        !r.keepAlive || framing == Reply::Framing::kClose || strcasecmp(req.Header("Connection").c_str(), "close") == 0;
    std::string head =
        "HTTP/1.1 " + std::to_string(r.status) + " " + (r.reason.empty() ? ReasonFor(r.status) : r.reason) + "\r\n";
    for (const auto& h : r.headers) head += h.first + ": " + h.second + "\r\n";
    long long length = r.contentLength >= 0 ? r.contentLength
                       : r.endlessBody      ? 1LL << 40
                                            : static_cast<long long>(r.body.size());
    if (framing == Reply::Framing::kContentLength)
      head += "Content-Length: " + std::to_string(length) + "\r\n";
    else if (framing == Reply::Framing::kChunked)
      head += "Transfer-Encoding: chunked\r\n";
    if (closeAfter) head += "Connection: close\r\n";
    if (r.endlessHeaders) {
      if (r.stallBeforeHeaders && !WaitRelease()) return false;
      if (!Send(c, head.data(), head.size(), r.drip)) return false;
      std::string block;
      for (int i = 0; i < 64; ++i) block += "X-Filler-" + std::to_string(i) + ": " + std::string(64, 'h') + "\r\n";
      return SendForever(c, block, r.drip);
    }
    head += "\r\n";
    if (r.resetInHeaders) {
      Send(c, head.data(), head.size() / 2, false);
      Reset(c);
      return false;
    }
    if (r.stallBeforeHeaders && !WaitRelease()) return false;
    if (!Send(c, head.data(), head.size(), r.drip)) return false;
    if (req.method == "HEAD" || r.status == 204 || r.status == 304) return !closeAfter;
    if (r.endlessBody) {
      std::string block(16384, 'b');
      if (framing == Reply::Framing::kChunked) block = "4000\r\n" + block + "\r\n";
      return SendForever(c, block, r.drip);
    }
    if (r.endlessTrailers) {
      Reply chunked = r;
      chunked.framing = Reply::Framing::kChunked;
      bool broken = false;
      if (!SendBody(c, chunked, 0, r.body.size(), broken)) return false;
      if (!Send(c, "0\r\n", 3, r.drip)) return false;
      std::string block;
      for (int i = 0; i < 64; ++i) block += "X-Trailer-" + std::to_string(i) + ": " + std::string(64, 't') + "\r\n";
      return SendForever(c, block, r.drip);
    }

    size_t limit = std::min({r.stallAfterBody, r.closeAfterBody, r.resetAfterBody, r.body.size()});
    bool broken = false;
    if (!SendBody(c, r, 0, limit, broken)) return false;
    if (limit == r.stallAfterBody && limit < Reply::kNever) {
      if (!WaitRelease()) return false;
      size_t next = std::min({r.closeAfterBody, r.resetAfterBody, r.body.size()});
      if (!SendBody(c, r, limit, std::max(limit, next), broken)) return false;
      limit = std::max(limit, next);
    }
    if (limit == r.resetAfterBody && r.resetAfterBody != Reply::kNever) {
      Reset(c);
      return false;
    }
    if (limit == r.closeAfterBody && r.closeAfterBody != Reply::kNever) {
      ::shutdown(c.fd, SHUT_WR);
      return false;
    }
    if (r.framing == Reply::Framing::kChunked && !Send(c, "0\r\n\r\n", 5, r.drip)) return false;
    if (r.contentLength >= 0 && static_cast<size_t>(r.contentLength) > r.body.size()) return false;  // short body
    return !closeAfter;
  }

  // Joins the workers that have returned, so that a long-running server does
  // not keep a finished thread (and its stack) per connection it ever had.
  void ReapFinished() {
    std::vector<std::thread> done;
    {
      std::lock_guard<std::mutex> lock(mu);
      for (const std::thread::id& id : finished) {
        auto it = std::find_if(workers.begin(), workers.end(), [&](const std::thread& t) { return t.get_id() == id; });
        if (it != workers.end()) {
          done.push_back(std::move(*it));
          workers.erase(it);
        }
      }
      finished.clear();
    }
    for (std::thread& t : done) t.join();
  }

  void Serve(int fd) {
    sigset_t pipe;  // SSL_write to a vanished client: EPIPE, not SIGPIPE
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    Conn c;
    c.fd = fd;
    {
      std::lock_guard<std::mutex> lock(mu);
      c.number = ++connections;
      ++open;
      if (open > peak) peak = open;
      cv.notify_all();
    }
    bool ok = true;
    if (ctx) {
      c.ssl = SSL_new(ctx);
      SSL_set_fd(c.ssl, fd);
      ok = SSL_accept(c.ssl) == 1;
    }
    std::string buf;
    while (ok) {
      ReceivedRequest req;
      req.connection = c.number;
      if (!ReadRequest(c, buf, req)) break;
      Reply reply;
      Handler h;
      bool gated = false;
      {
        std::lock_guard<std::mutex> lock(mu);
        requests.push_back(req);
        cv.notify_all();
        auto it = routes.find(req.target);
        h = it != routes.end() ? it->second : handler;
        if (gate) gated = gate(req, reply);
      }
      if (!gated) reply = h ? h(req) : Reply::Text(200, "hello");
      if (!WriteReply(c, reply, req)) break;
    }
    if (c.ssl) {
      if (!c.gone) SSL_shutdown(c.ssl);
      SSL_free(c.ssl);
    }
    std::lock_guard<std::mutex> lock(mu);
    for (auto it = openFds.begin(); it != openFds.end(); ++it)
      if (*it == fd) {
        openFds.erase(it);
        break;
      }
    ::close(fd);
    --open;
    cv.notify_all();
  }

  void Accept() {
    for (;;) {
      pollfd p{listenFd, POLLIN, 0};
      int r = ::poll(&p, 1, -1);
      {
        std::lock_guard<std::mutex> lock(mu);
        if (stopping) return;
      }
      if (r <= 0) continue;
      int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ReapFinished();
      std::lock_guard<std::mutex> lock(mu);
      if (stopping) {
        ::close(fd);
        return;
      }
      openFds.push_back(fd);
      workers.emplace_back([this, fd] {
        Serve(fd);
        std::lock_guard<std::mutex> done(mu);
        finished.push_back(std::this_thread::get_id());
      });
    }
  }
};

LoopbackServer::LoopbackServer(ServerOptions options) : m_options(std::move(options)), m_impl(new Impl) {}

LoopbackServer::~LoopbackServer() { Stop(); }

bool LoopbackServer::Start() {
  if (m_options.tls) {
    char tmpl[] = "/tmp/qmxloopback-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    m_impl->dir = tmpl;
    m_impl->ctx = SSL_CTX_new(TLS_server_method());
    if (!m_impl->ctx || !MakeCertificate(m_options, m_impl->dir, m_impl->ctx, m_certFile)) return false;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(fd);
    return false;
  }
  m_port = ntohs(a.sin_port);
  m_impl->listenFd = fd;
  m_impl->acceptor = std::thread([this] { m_impl->Accept(); });
  return true;
}

void LoopbackServer::Stop() {
  if (!m_impl) return;
  {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    if (m_impl->stopping && !m_impl->acceptor.joinable()) return;
    m_impl->stopping = true;
    m_impl->halt = true;
    m_impl->cv.notify_all();
    for (int fd : m_impl->openFds) ::shutdown(fd, SHUT_RDWR);
    if (m_impl->listenFd >= 0) ::shutdown(m_impl->listenFd, SHUT_RDWR);
  }
  if (m_impl->acceptor.joinable()) m_impl->acceptor.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(m_impl->mu);
    workers.swap(m_impl->workers);
  }
  for (auto& t : workers) t.join();
  if (m_impl->listenFd >= 0) ::close(m_impl->listenFd);
  m_impl->listenFd = -1;
  if (m_impl->ctx) SSL_CTX_free(m_impl->ctx);
  m_impl->ctx = nullptr;
  if (!m_certFile.empty()) ::unlink(m_certFile.c_str());
  if (!m_impl->dir.empty()) ::rmdir(m_impl->dir.c_str());
  m_impl->dir.clear();
}

std::string LoopbackServer::Url(const std::string& path) const {
  return std::string(m_options.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + path;
}

void LoopbackServer::SetHandler(Handler h) {
  std::lock_guard<std::mutex> lock(m_impl->mu);
  m_impl->handler = std::move(h);
}

void LoopbackServer::Route(const std::string& target, Handler h) {
  std::lock_guard<std::mutex> lock(m_impl->mu);
  m_impl->routes[target] = std::move(h);
}

void LoopbackServer::RequireBasic(const std::string& user, const std::string& password, const std::string& realm) {
  std::string expected = "Basic " + Base64(user + ":" + password);
  std::lock_guard<std::mutex> lock(m_impl->mu);
  m_impl->gate = [expected, realm](const ReceivedRequest& req, Reply& reply) {
    if (req.Header("Authorization") == expected) return false;
    reply = Reply::BasicChallenge(realm);
    return true;
  };
}

void LoopbackServer::ReleaseStalled() {
  std::lock_guard<std::mutex> lock(m_impl->mu);
  m_impl->released = true;
  m_impl->cv.notify_all();
}

std::vector<ReceivedRequest> LoopbackServer::Requests() const {
  std::lock_guard<std::mutex> lock(m_impl->mu);
  return m_impl->requests;
}

size_t LoopbackServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(m_impl->mu);
  return m_impl->requests.size();
}

size_t LoopbackServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(m_impl->mu);
  return static_cast<size_t>(m_impl->connections);
}

size_t LoopbackServer::OpenConnections() const {
  std::lock_guard<std::mutex> lock(m_impl->mu);
  return m_impl->open;
}

size_t LoopbackServer::PeakConnections() const {
  std::lock_guard<std::mutex> lock(m_impl->mu);
  return m_impl->peak;
}

bool LoopbackServer::WaitForRequests(size_t n, std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(m_impl->mu);
  return m_impl->cv.wait_for(lock, deadline, [&] { return m_impl->requests.size() >= n; });
}

bool LoopbackServer::WaitForOpenConnections(size_t n, std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(m_impl->mu);
  return m_impl->cv.wait_for(lock, deadline, [&] { return m_impl->open >= n; });
}

bool LoopbackServer::WaitForConnectionsClosed(std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(m_impl->mu);
  return m_impl->cv.wait_for(lock, deadline, [&] { return m_impl->open == 0; });
}

// ---------------------------------------------------------------------------

BlackholeListener::BlackholeListener() = default;
BlackholeListener::~BlackholeListener() { Stop(); }

bool BlackholeListener::Start() {
  m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m_listenFd, 0) != 0 ||
      ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return false;
  m_port = ntohs(a.sin_port);
  // Fill the accept queue; nobody ever accepts, so later SYNs go unanswered.
  for (int i = 0; i < 4; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    m_fillers.push_back(fd);
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
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);  // bound, never listened: connections are refused
  return ntohs(a.sin_port);
}

}  // namespace qmxloopback
