// Proxy configuration and choice, and the process-wide credential cache and
// prompt. Plain values: any thread; the cache and the prompt have their own
// lock (Credentials.cpp). The structs keep their short field names because
// the proxy-list fuzzer reads them too.
#ifndef QMX_WININET_PROXYAUTH_H
#define QMX_WININET_PROXYAUTH_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Common.h"

namespace qmxinet {

// ---------------------------------------------------------------------------
// Proxies

struct ProxyEntry {
  std::string key;  // "" for a bare entry, else lower-case scheme before '='
  std::string host;
  uint16_t port = 0;
};

struct ProxyConfig {
  enum Mode { kDirect, kList, kEnvironment } mode = kDirect;
  std::vector<ProxyEntry> entries;  // kList
  std::vector<std::string> bypass;  // kList: WinINet bypass entries
  // kEnvironment: proxy URLs as found, and the no_proxy list.
  std::string envHttp, envHttps, envAll, envNoProxy;
};

// Route chosen for one request.
struct ProxyChoice {
  bool none = true;
  bool socks = false;
  std::string host;
  uint16_t port = 0;
  std::string curlUrl;         // "" for direct
  std::string user, password;  // embedded in an environment proxy URL
  std::string Key() const { return none ? std::string() : host + ":" + std::to_string(port); }
};

bool ParseProxyList(const char* list, std::vector<ProxyEntry>& out);
void ParseBypassList(const char* list, std::vector<std::string>& out);
void ReadProxyEnvironment(ProxyConfig& cfg);
ProxyChoice ChooseProxy(const ProxyConfig& cfg, bool https, const std::string& host);
bool BypassMatches(const std::vector<std::string>& bypass, const std::string& host);
bool NoProxyMatches(const std::string& noProxy, const std::string& host);
// For a configuration that asks the desktop's settings: false when the
// answer for this scheme and host is at hand (ChooseProxy will not wait);
// else true, its look-up is under way, and ready runs on the resolver thread
// once the answer is there. Always false for other configurations.
bool PendingSystemProxy(const ProxyConfig& cfg, bool https, const std::string& host, std::function<void()> ready);

// ---------------------------------------------------------------------------
// Credentials remembered for the process, per server or proxy (host:port).

struct Credentials {
  std::string user, password;
  std::string scheme;  // challenge scheme last seen ("Basic", ...), may be empty
  bool Empty() const { return user.empty(); }
};
void CachePut(bool proxy, const std::string& key, const Credentials& c);
bool CacheGet(bool proxy, const std::string& key, Credentials& c);
void CacheRemove(bool proxy, const std::string& key, const Credentials& c);
void CacheClear();
bool RunCredentialPrompt(const QMX_CREDENTIAL_REQUEST& req, std::string& user, std::string& password);
std::string TrustedCertificates();

}  // namespace qmxinet

#endif
