// The conference-site simulator's server: routing, the XML interface calls,
// file downloads and the fault modes.
#include "SiteSimulator.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cerrno>
#include <cstring>
#include <strings.h>

#include <httplib.h>
#include <openssl/pem.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "qmxloopback/SelfSignedCert.h"

namespace sitesim {

namespace {

const char kInvokerPath[] = "/external/xml/XmlApiInvoker";

// Site error codes the simulator answers with, and what they mean to it.
const char kErrConfNotFound[] = "0x0604003";
const char kErrConfPassword[] = "0x0604008";
const char kErrNotStarted[] = "0x0604009";
const char kErrEnded[] = "0x0604010";
const char kErrLocked[] = "0x0604006";
const char kErrNoAccount[] = "0x0600010";
const char kErrAccountPassword[] = "0x0600011";
const char kErrUnknownSite[] = "0x0600001";
const char kErrNoAddress[] = "0x0600002";
const char kErrUnknownMethod[] = "0x0600003";

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "a=1&b=2" into raw and decoded maps; a repeated name keeps its first value.
void ParseFields(const std::string& text, std::map<std::string, std::string>& raw,
                 std::map<std::string, std::string>& decoded) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t amp = text.find('&', pos);
    if (amp == std::string::npos) amp = text.size();
    const std::string pair = text.substr(pos, amp - pos);
    if (!pair.empty()) {
      const size_t eq = pair.find('=');
      const std::string name = pair.substr(0, eq);
      const std::string value = eq == std::string::npos ? std::string() : pair.substr(eq + 1);
      raw.emplace(name, value);
      decoded.emplace(FormDecode(name), FormDecode(value));
    }
    pos = amp + 1;
  }
}

std::string Base64(const std::string& in) {
  static const char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned n = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += kTable[n >> 18 & 63];
    out += kTable[n >> 12 & 63];
    out += kTable[n >> 6 & 63];
    out += kTable[n & 63];
  }
  if (i + 1 == in.size()) {
    const unsigned n = (unsigned char)in[i] << 16;
    out += kTable[n >> 18 & 63];
    out += kTable[n >> 12 & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    const unsigned n = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += kTable[n >> 18 & 63];
    out += kTable[n >> 12 & 63];
    out += kTable[n >> 6 & 63];
    out += '=';
  }
  return out;
}

std::string ReplaceBase(std::string value, const std::string& base) {
  const std::string mark = "{base}";
  for (size_t p = value.find(mark); p != std::string::npos; p = value.find(mark, p + base.size())) {
    value.replace(p, mark.size(), base);
  }
  return value;
}

const char* ReasonOf(int status) {
  switch (status) {
    case 401:
      return "Unauthorized";
    case 407:
      return "Proxy Authentication Required";
    default:
      return nullptr;
  }
}

}  // namespace

std::string SiteRequest::HeaderValue(const std::string& name) const {
  for (const auto& h : headers) {
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
  }
  return std::string();
}

std::string FormDecode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {

std::string EntryList(const char* name, const std::vector<SiteEntry>& entries) {
  std::string xml = std::string("<") + name + ">";
  for (const auto& e : entries) {
    xml += "<entry><key>" + XmlEscape(e.key) + "</key><value>" + XmlEscape(e.value) + "</value></entry>";
  }
  return xml + "</" + name + ">";
}

const char kXmlDecl[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

}  // namespace

std::string JoinSuccessXml(const std::vector<SiteEntry>& confToken, const std::vector<SiteEntry>& downLoad) {
  return std::string(kXmlDecl) + "<root><header><success>true</success></header><body>" +
         EntryList("confToken", confToken) + EntryList("downLoad", downLoad) + "</body></root>\n";
}

std::string FailureXml(const std::string& errorCode, const std::string& errorMessage) {
  return std::string(kXmlDecl) + "<root><header><success>false</success><errorCode>" + XmlEscape(errorCode) +
         "</errorCode><errorMessage>" + XmlEscape(errorMessage) + "</errorMessage></header><body/></root>\n";
}

std::string SuccessXml() {
  return std::string(kXmlDecl) + "<root><header><success>true</success></header><body/></root>\n";
}

struct CSiteSimulator::Server {
  // Set by the listening thread when its accept loop has returned.
  std::mutex listenMutex;
  std::condition_variable listenCond;
  bool listenEnded = false;

  std::unique_ptr<httplib::Server> http;
};

// The request handlers; friends of the simulator.
struct SiteHandlers {
  struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "text/xml; charset=UTF-8";
  };

  static SiteRequest FromHttp(const httplib::Request& req) {
    SiteRequest r;
    r.method = req.method;
    r.path = req.path;
    r.target = req.target;
    const size_t q = req.target.find('?');
    if (q != std::string::npos) r.query = req.target.substr(q + 1);
    r.body = req.body;
    for (const auto& h : req.headers) r.headers.emplace(h.first, h.second);
    if (req.method == "POST") {
      std::string form = req.body;
      while (!form.empty() && form.back() == '\0') form.pop_back();
      ParseFields(form, r.rawFields, r.fields);
    } else {
      ParseFields(r.query, r.rawFields, r.fields);
    }
    return r;
  }

  static std::string Field(const SiteRequest& r, const char* name) {
    const auto it = r.fields.find(name);
    return it == r.fields.end() ? std::string() : it->second;
  }

  // Empty when the account is fine, else the site error code.
  static const char* CheckAccount(const SiteData& d, const std::string& user, const std::string& pass, bool required) {
    if (d.accounts.empty()) return nullptr;
    if (user.empty()) return required ? kErrNoAccount : nullptr;
    for (const auto& a : d.accounts) {
      if (a.user == user) return a.password == pass ? nullptr : kErrAccountPassword;
    }
    return kErrNoAccount;
  }

  static const SiteConference* FindConference(const SiteData& d, const std::string& confId) {
    for (const auto& c : d.conferences) {
      if (c.confId == confId) return &c;
    }
    return nullptr;
  }

  static Reply Join(CSiteSimulator& sim, const SiteRequest& r) {
    const SiteData& d = sim.m_data;
    Reply reply;
    const std::string site = Field(r, "site");
    if (!site.empty() && site != d.siteName) {
      reply.body = FailureXml(kErrUnknownSite, "unknown site");
      return reply;
    }
    if (const char* err = CheckAccount(d, Field(r, "user"), Field(r, "pass"), false)) {
      reply.body = FailureXml(err, err == kErrNoAccount ? "no such account" : "wrong account password");
      return reply;
    }
    const SiteConference* conf = FindConference(d, Field(r, "confId"));
    if (!conf) {
      reply.body = FailureXml(kErrConfNotFound, "conference not found");
    } else if (!conf->errorCode.empty()) {
      reply.body = FailureXml(conf->errorCode, conf->errorMessage);
    } else if (conf->state == "notStarted") {
      reply.body = FailureXml(kErrNotStarted, "conference has not started");
    } else if (conf->state == "ended") {
      reply.body = FailureXml(kErrEnded, "conference has ended");
    } else if (conf->state == "locked") {
      reply.body = FailureXml(kErrLocked, "conference is locked");
    } else if (!conf->password.empty() && conf->password != Field(r, "confPass")) {
      reply.body = FailureXml(kErrConfPassword, "wrong conference password");
    } else {
      const std::string base = sim.BaseUrl();
      std::vector<SiteEntry> token = conf->confToken, load = conf->downLoad;
      for (auto& e : token) e.value = ReplaceBase(e.value, base);
      for (auto& e : load) e.value = ReplaceBase(e.value, base);
      reply.body = JoinSuccessXml(token, load);
    }
    return reply;
  }

  static Reply Invite(CSiteSimulator& sim, const SiteRequest& r) {
    const SiteData& d = sim.m_data;
    Reply reply;
    if (Field(r, "site") != d.siteName) {
      reply.body = FailureXml(kErrUnknownSite, "unknown site");
      return reply;
    }
    if (const char* err = CheckAccount(d, Field(r, "user"), Field(r, "pass"), true)) {
      reply.body = FailureXml(err, err == kErrNoAccount ? "no such account" : "wrong account password");
      return reply;
    }
    if (!FindConference(d, Field(r, "confId"))) {
      reply.body = FailureXml(kErrConfNotFound, "conference not found");
      return reply;
    }
    std::vector<std::string> addresses;
    const std::string list = Field(r, "emails");
    size_t pos = 0;
    while (pos < list.size()) {
      size_t semi = list.find(';', pos);
      if (semi == std::string::npos) semi = list.size();
      if (semi > pos) addresses.push_back(list.substr(pos, semi - pos));
      pos = semi + 1;
    }
    if (addresses.empty()) {
      reply.body = FailureXml(kErrNoAddress, "no e-mail address");
      return reply;
    }
    {
      std::lock_guard<std::mutex> lock(sim.m_mutex);
      sim.m_invited.insert(sim.m_invited.end(), addresses.begin(), addresses.end());
    }
    reply.body = SuccessXml();
    return reply;
  }

  static Reply Normal(CSiteSimulator& sim, const SiteRequest& r) {
    if (EndsWith(r.path, kInvokerPath)) {
      const std::string method = Field(r, "method");
      if (method == "JoinMeeting") return Join(sim, r);
      if (method == "inviteAttendeeByMail") return Invite(sim, r);
      Reply reply;
      reply.body = FailureXml(kErrUnknownMethod, "unknown method");
      return reply;
    }
    for (const auto& f : sim.m_data.files) {
      if (f.path == r.path) {
        Reply reply;
        reply.contentType = "application/octet-stream";
        for (int i = 0; i < f.repeat; ++i) reply.body += f.content;
        return reply;
      }
    }
    Reply reply;
    reply.status = 404;
    reply.contentType = "text/plain";
    reply.body = "not found\n";
    return reply;
  }

  static bool Authorized(const SiteRequest& r, const char* header, const SiteFault& f) {
    return r.HeaderValue(header) == "Basic " + Base64(f.user + ":" + f.password);
  }

  static void Handle(CSiteSimulator& sim, const httplib::Request& req, httplib::Response& res) {
    const SiteRequest r = FromHttp(req);
    {
      std::lock_guard<std::mutex> lock(sim.m_mutex);
      sim.m_received.push_back(r);
    }
    SiteFault fault = sim.TakeFault(r.path);
    Reply reply;
    bool answered = true;
    switch (fault.kind) {
      case SiteFault::kChallenge401:
        if (!Authorized(r, "Authorization", fault)) {
          reply.status = 401;
          res.set_header("WWW-Authenticate", "Basic realm=\"sitesim\"");
        } else {
          answered = false;
        }
        break;
      case SiteFault::kChallenge407:
        if (!Authorized(r, "Proxy-Authorization", fault)) {
          reply.status = 407;
          res.set_header("Proxy-Authenticate", "Basic realm=\"sitesim\"");
        } else {
          answered = false;
        }
        break;
      case SiteFault::kStatus:
        reply.status = fault.status;
        reply.body = fault.body;
        break;
      case SiteFault::kEmptyBody:
        break;
      case SiteFault::kMalformedXml:
        reply.body = std::string(kXmlDecl) + "<root><header><success>true</success></header><body><confToken>";
        break;
      case SiteFault::kRawBody:
        reply.body = fault.body;
        break;
      case SiteFault::kDelay:
        sim.Wait(fault.delayMs, false);
        answered = false;
        break;
      case SiteFault::kStall:
        sim.Wait(-1, true);
        answered = false;
        break;
      default:
        answered = false;
    }
    if (reply.status == 401 || reply.status == 407) {
      reply.contentType = "text/html";
      reply.body = std::string("<html><body>") + ReasonOf(reply.status) + "</body></html>\n";
    }
    if (!answered) reply = Normal(sim, r);

    res.status = reply.status;
    if (fault.kind == SiteFault::kDropMidBody) {
      auto body = std::make_shared<std::string>(reply.body);
      res.set_content_provider(body->size(), reply.contentType, [body](size_t, size_t, httplib::DataSink& sink) {
        sink.write(body->data(), body->size() / 2);
        return false;
      });
    } else if (fault.kind == SiteFault::kChunked) {
      auto body = std::make_shared<std::string>(reply.body);
      res.set_chunked_content_provider(reply.contentType, [body](size_t offset, httplib::DataSink& sink) {
        if (offset >= body->size()) {
          sink.done();
          return true;
        }
        const size_t n = std::min<size_t>(64, body->size() - offset);
        return sink.write(body->data() + offset, n);
      });
    } else {
      res.set_content(reply.body, reply.contentType);
    }

    SiteLogger logger;
    {
      std::lock_guard<std::mutex> lock(sim.m_mutex);
      logger = sim.m_logger;
    }
    if (logger) logger(r, reply.status);
  }
};

CSiteSimulator::CSiteSimulator(SiteData data) : m_data(std::move(data)), m_fault(m_data.fault) {}

CSiteSimulator::~CSiteSimulator() { Stop(); }

bool CSiteSimulator::Start(const std::string& host, int port, bool tls, std::string* error) {
  if (m_server) {
    if (error) *error = "already started";
    return false;
  }
  auto server = std::make_unique<Server>();
  if (tls) {
    qmxloopback::SelfSignedCert cert;
    qmxloopback::CertificateRequest request;
    request.hosts = {host, "localhost"};
    request.organization = "sitesim";
    std::string why;
    if (!cert.Make(request, why)) {
      if (error) *error = "cannot make a certificate: " + why;
      return false;
    }
    server->http = std::make_unique<httplib::SSLServer>(cert.Certificate(), cert.Key());
    char path[] = "/tmp/sitesim-cert-XXXXXX";
    const int fd = mkstemp(path);
    FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!file || !PEM_write_X509(file, cert.Certificate())) {
      if (file) fclose(file);
      if (fd >= 0) unlink(path);
      if (error) *error = "cannot write the certificate file";
      return false;
    }
    fclose(file);
    m_certFile = path;
  } else {
    server->http = std::make_unique<httplib::Server>();
  }
  if (!server->http->is_valid()) {
    if (error) *error = "cannot set up the server";
    return false;
  }
  httplib::Server::Handler handler = [this](const httplib::Request& req, httplib::Response& res) {
    SiteHandlers::Handle(*this, req, res);
  };
  server->http->Get(".*", handler);
  server->http->Post(".*", handler);
  // The keep-alive time-out is also how long a new connection may wait for
  // its first request; a second keeps a loaded machine's requests, and holds
  // Stop() at most that long for idle connections.
  server->http->set_keep_alive_timeout(1);

  // The port is this server's alone: cpp-httplib's default SO_REUSEPORT
  // would let a second simulator share a port that is already in use.
  server->http->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  errno = 0;
  int bound = port == 0 ? server->http->bind_to_any_port(host) : (server->http->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    const int why = errno;
    if (error) {
      *error = "cannot listen on " + host + ":" + std::to_string(port) +
               (why == EADDRINUSE ? ": the port is already in use"
                : why != 0        ? std::string(": ") + std::strerror(why)
                                  : "");
    }
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = false;
  }
  m_port = bound;
  m_tls = tls;
  m_server = std::move(server);
  Server* srv = m_server.get();
  m_thread = std::thread([srv] {
    srv->http->listen_after_bind();
    std::lock_guard<std::mutex> lock(srv->listenMutex);
    srv->listenEnded = true;
    srv->listenCond.notify_all();
  });
  return true;
}

void CSiteSimulator::Stop() {
  if (!m_server) {
    if (!m_certFile.empty()) unlink(m_certFile.c_str());
    m_certFile.clear();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_cond.notify_all();
  // The server's stop() only takes effect once its accept loop is running,
  // and the thread may not have got there yet: repeat it until the loop ends.
  {
    std::unique_lock<std::mutex> lock(m_server->listenMutex);
    while (!m_server->listenEnded) {
      lock.unlock();
      m_server->http->stop();
      lock.lock();
      m_server->listenCond.wait_for(lock, std::chrono::milliseconds(5), [&] { return m_server->listenEnded; });
    }
  }
  if (m_thread.joinable()) m_thread.join();
  m_server.reset();
  if (!m_certFile.empty()) {
    unlink(m_certFile.c_str());
    m_certFile.clear();
  }
}

std::string CSiteSimulator::BaseUrl() const {
  return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + "/";
}

std::string CSiteSimulator::SiteUrl() const { return BaseUrl() + m_data.siteName + "/"; }

std::string CSiteSimulator::InvitationUrl(const std::string& confId) const {
  return SiteUrl() + "join.do?confKey=" + confId + "&lang=en";
}

void CSiteSimulator::SetFault(const SiteFault& fault) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_fault = fault;
}

void CSiteSimulator::ReleaseStall() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_stallGeneration;
  }
  m_cond.notify_all();
}

SiteFault CSiteSimulator::TakeFault(const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_fault.kind == SiteFault::kNone || m_fault.times == 0 ||
      path.compare(0, m_fault.pathPrefix.size(), m_fault.pathPrefix) != 0) {
    return SiteFault();
  }
  SiteFault taken = m_fault;
  if (m_fault.times > 0 && --m_fault.times == 0) m_fault = SiteFault();
  return taken;
}

bool CSiteSimulator::Wait(int ms, bool stall) {
  std::unique_lock<std::mutex> lock(m_mutex);
  const unsigned generation = m_stallGeneration;
  auto done = [&] { return m_stopping || (stall && m_stallGeneration != generation); };
  if (ms < 0) {
    m_cond.wait(lock, done);
    return true;
  }
  return m_cond.wait_for(lock, std::chrono::milliseconds(ms), done);
}

std::vector<SiteRequest> CSiteSimulator::Received() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_received;
}

void CSiteSimulator::ClearReceived() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_received.clear();
}

std::vector<std::string> CSiteSimulator::Invited() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_invited;
}

void CSiteSimulator::SetLogger(SiteLogger logger) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_logger = std::move(logger);
}

}  // namespace sitesim
