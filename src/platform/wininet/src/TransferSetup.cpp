// Option translation: a request's verb, path, headers, flags, proxy,
// credentials, time limits and security flags become the options of its
// libcurl easy handle (worker thread).
#include <strings.h>

#include <new>
#include <stdexcept>

#include "MultiLoop.h"

namespace qmxinet {

void MustSet(CURLcode rc) {
  if (rc == CURLE_OK) return;
  if (rc == CURLE_OUT_OF_MEMORY) throw std::bad_alloc();
  throw std::runtime_error("libcurl refused an option");
}

namespace {

std::string BracketHost(const std::string& host) {
  return host.find(':') != std::string::npos && host[0] != '[' ? "[" + host + "]" : host;
}

std::string NormalisePath(const std::string& in) {
  std::string p = in.empty() ? "/" : in;
  for (auto& c : p)
    if (c == '\\') c = '/';
  if (p[0] != '/') p.insert(p.begin(), '/');
  std::string out;
  for (char c : p) {
    if (c == ' ')
      out += "%20";
    else
      out += c;
  }
  return out;
}

}  // namespace

// Fills in the transfer and its easy handle. Throws when something cannot
// be had; the transfer then owns what was made so far and frees it.
void Engine::Setup(Transfer* t, const std::string& extraHeaders) {
  const RequestPtr& req = t->m_req;
  std::shared_ptr<ConnectObj> conn = req->m_conn;
  std::shared_ptr<RootObj> root = conn->m_root;
  std::string verb, path, version, referrer, accept, reqUser, reqPass, reqProxyUser, reqProxyPass;
  std::vector<std::string> added;
  DWORD flags, secFlags, connectTimeout, totalTimeout;
  bool decoding;
  {
    std::lock_guard<std::mutex> lock(req->m_mu);
    verb = req->m_verb;
    path = req->m_path;
    version = req->m_version;
    referrer = req->m_referrer;
    accept = req->m_accept;
    flags = req->m_flags;
    secFlags = req->m_securityFlags;
    t->m_errorMask = req->m_errorMask;
    reqUser = req->m_user;
    reqPass = req->m_password;
    reqProxyUser = req->m_proxyUser;
    reqProxyPass = req->m_proxyPassword;
    added = req->m_addedHeaders;
    connectTimeout = req->m_connectTimeout;
    t->m_receiveTimeout = req->m_receiveTimeout;
    totalTimeout = req->m_totalTimeout;
    decoding = req->m_decoding;
  }
  if (totalTimeout != 0 && totalTimeout != kInfinite) {
    t->m_totalDeadline = NowMs() + totalTimeout;
  }
  t->m_decoding = decoding;
  t->m_headRequest = strcasecmp(verb.c_str(), "HEAD") == 0;
  std::string host, connUser, connPass, connProxyUser, connProxyPass;
  INTERNET_PORT port;
  DWORD connFlags;
  {
    std::lock_guard<std::mutex> lock(conn->m_mu);
    host = conn->m_host;
    port = conn->m_port;
    connFlags = conn->m_flags;
    connUser = conn->m_user;
    connPass = conn->m_password;
    connProxyUser = conn->m_proxyUser;
    connProxyPass = conn->m_proxyPassword;
  }
  t->m_https = flags & INTERNET_FLAG_SECURE;
  t->m_allowHttpsToHttp = ((flags & INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP) != 0) ||
                          ((secFlags & SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP) != 0);
  if (port == INTERNET_INVALID_PORT_NUMBER)
    port = (connFlags & INTERNET_FLAG_SECURE) ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
  bool defaultPort = (t->m_https && port == 443) || (!t->m_https && port == 80);
  t->m_url = std::string(t->m_https ? "https://" : "http://") + BracketHost(host) +
             (defaultPort ? std::string() : ":" + std::to_string(port)) + NormalisePath(path);

  ProxyChoice proxy = ChooseProxy(root->m_proxy, t->m_https, host);
  t->m_connectHost = proxy.none ? host : proxy.host;
  std::string serverKey = host + ":" + std::to_string(port);

  CURL* e = m_spare.empty() ? curl_easy_init() : m_spare.back();
  if (!e) throw std::bad_alloc();
  if (!m_spare.empty()) m_spare.pop_back();
  t->m_easy = e;  // the transfer owns it from here
  MustSet(curl_easy_setopt(e, CURLOPT_PRIVATE, t));
  MustSet(curl_easy_setopt(e, CURLOPT_URL, t->m_url.c_str()));
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION,
                   version == "HTTP/1.0" ? (long)CURL_HTTP_VERSION_1_0 : (long)CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(e, CURLOPT_HTTP09_ALLOWED, 1L);
  MustSet(curl_easy_setopt(e, CURLOPT_SHARE, m_share));
  curl_easy_setopt(e, CURLOPT_MAXAGE_CONN, 60L);
  MustSet(curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https"));
  MustSet(curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, HeaderCallback));
  MustSet(curl_easy_setopt(e, CURLOPT_HEADERDATA, t));
  MustSet(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, WriteCallback));
  MustSet(curl_easy_setopt(e, CURLOPT_WRITEDATA, t));
  MustSet(curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, OpenSocketCallback));
  MustSet(curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, t));
  MustSet(curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, PrereqCallback));
  MustSet(curl_easy_setopt(e, CURLOPT_PREREQDATA, t));
  long ct = connectTimeout == kInfinite ? 0x7FFFFFFFL : (long)connectTimeout;
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, ct ? ct : 1L);
  if (root->m_hasAgent) curl_easy_setopt(e, CURLOPT_USERAGENT, root->m_agent.c_str());
  if (!referrer.empty()) curl_easy_setopt(e, CURLOPT_REFERER, referrer.c_str());
  if (decoding) curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
  if (!(flags & INTERNET_FLAG_NO_COOKIES)) {
    curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");
    t->m_cookies = true;
  }

  // Redirects: GET after 301/302/303, the verb kept for 307/308.
  t->m_follow = !(flags & INTERNET_FLAG_NO_AUTO_REDIRECT);
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, t->m_follow ? 1L : 0L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 30L);
  MustSet(curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"));

  // Verb and body.
  if (verb == "GET") {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    if (!t->m_postData.empty()) {
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->m_postData.c_str());
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, (long)t->m_postData.size());
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, "GET");
    }
  } else if (verb == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, (long)t->m_postData.size());
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, t->m_postData.c_str());
    if (verb != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, verb.c_str());
  }

  // Request headers.
  auto add = [t](const std::string& h) {
    curl_slist* grown = curl_slist_append(t->m_headerList, h.c_str());
    if (!grown) throw std::bad_alloc();  // the list so far stays the transfer's
    t->m_headerList = grown;
  };
  add("Expect:");
  bool haveContentType = false;
  std::vector<std::string> lines = added;
  for (std::string& l : SplitHeaderLines(extraHeaders, false)) lines.push_back(std::move(l));
  for (const auto& l : lines)
    if (strncasecmp(l.c_str(), "Content-Type:", 13) == 0) haveContentType = true;
  add(accept.empty() ? "Accept:" : "Accept: " + accept);
  if (!haveContentType && verb != "GET" && verb != "HEAD") add("Content-Type:");
  if (flags & INTERNET_FLAG_KEEP_CONNECTION) add("Connection: Keep-Alive");
  if ((flags & INTERNET_FLAG_NO_CACHE_WRITE) && verb != "GET") add("Cache-Control: no-cache");
  if (flags & INTERNET_FLAG_PRAGMA_NOCACHE) add("Pragma: no-cache");
  for (const auto& l : lines) add(l);
  MustSet(curl_easy_setopt(e, CURLOPT_HTTPHEADER, t->m_headerList));

  // Proxy: always explicit, so that nothing comes from the environment by
  // accident.
  MustSet(curl_easy_setopt(e, CURLOPT_PROXY, proxy.curlUrl.c_str()));
  MustSet(curl_easy_setopt(e, CURLOPT_NOPROXY, ""));
  if (!proxy.none && !proxy.socks && t->m_https) t->m_tunnelPending = true;

  // Server credentials: the request's, the connection's, or the cache's.
  bool noAuth = flags & INTERNET_FLAG_NO_AUTH;
  Credentials server;
  if (!reqUser.empty())
    server = {reqUser, reqPass, ""};
  else if (!connUser.empty())
    server = {connUser, connPass, ""};
  else
    CacheGet(false, serverKey, server);
  if (!noAuth && !server.Empty()) {
    t->m_serverCreds = true;
    t->m_serverUsed = server;
    t->m_serverKey = serverKey;
    curl_easy_setopt(e, CURLOPT_USERNAME, server.user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, server.password.c_str());
    // A scheme learnt earlier as Basic is answered at once, as WinINet does;
    // otherwise libcurl waits for the challenge.
    curl_easy_setopt(e, CURLOPT_HTTPAUTH,
                     strcasecmp(server.scheme.c_str(), "Basic") == 0
                         ? (long)CURLAUTH_BASIC
                         : (long)(CURLAUTH_BASIC | CURLAUTH_DIGEST | CURLAUTH_NTLM));
  }
  if (!proxy.none) {
    Credentials pc;
    if (!reqProxyUser.empty())
      pc = {reqProxyUser, reqProxyPass, ""};
    else if (!connProxyUser.empty())
      pc = {connProxyUser, connProxyPass, ""};
    else if (!CacheGet(true, proxy.Key(), pc) && !proxy.user.empty())
      pc = {proxy.user, proxy.password, ""};
    if (!noAuth && !pc.Empty() && !proxy.socks) {
      t->m_proxyCreds = true;
      t->m_proxyUsed = pc;
      t->m_proxyKey = proxy.Key();
      curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, pc.user.c_str());
      curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, pc.password.c_str());
      curl_easy_setopt(e, CURLOPT_PROXYAUTH,
                       strcasecmp(pc.scheme.c_str(), "Basic") == 0
                           ? (long)CURLAUTH_BASIC
                           : (long)(CURLAUTH_BASIC | CURLAUTH_DIGEST | CURLAUTH_NTLM));
    }
  }

  // TLS.
  ConfigureTls(t, flags, secFlags);

  // Connection cap: per proxy when one is used, else per server.
  {
    std::lock_guard<std::mutex> lock(SettingsMutex());
    t->m_routeCap = proxy.none ? Settings().m_maxConnsPerServer : Settings().m_maxConnsPerProxy;
  }
  t->m_routeKey = proxy.none ? "S " + std::string(t->m_https ? "https " : "http ") + serverKey : "P " + proxy.Key();
}

}  // namespace qmxinet
