// Proxy lists, bypass lists, the desktop's proxy settings (libproxy) and
// the environment's proxy settings.
#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string_view>
#include <thread>

#include "ProxyAuth.h"

namespace qmxinet {
namespace {

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> SplitAny(const char* text, const char* seps) {
  std::vector<std::string> out;
  std::string cur;
  for (const char* p = text; p && *p; ++p) {
    if (std::strchr(seps, *p)) {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += *p;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

// "host[:port]" with an optional "[v6]" host; port 0 when absent.
void SplitHostPort(const std::string& text, std::string& host, uint16_t& port) {
  port = 0;
  host = text;
  size_t colon = std::string::npos;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find(']');
    if (close != std::string::npos) {
      host = text.substr(1, close - 1);
      if (close + 1 < text.size() && text[close + 1] == ':') colon = close + 1;
    }
  } else {
    colon = text.rfind(':');
    if (colon != std::string::npos) host = text.substr(0, colon);
  }
  if (colon != std::string::npos) port = static_cast<uint16_t>(std::strtoul(text.c_str() + colon + 1, nullptr, 10));
}

// Parses "scheme://user:pw@host:port/..." loosely: any part may be absent.
void ParseProxyUrl(const std::string& url, std::string& scheme, std::string& user, std::string& password,
                   std::string& host, uint16_t& port) {
  std::string rest = url;
  scheme.clear();
  size_t sep = rest.find("://");
  if (sep != std::string::npos) {
    scheme = Lower(rest.substr(0, sep));
    rest = rest.substr(sep + 3);
  }
  size_t slash = rest.find('/');
  if (slash != std::string::npos) rest.resize(slash);
  size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    std::string info = rest.substr(0, at);
    rest = rest.substr(at + 1);
    size_t colon = info.find(':');
    user = info.substr(0, colon);
    password = colon == std::string::npos ? std::string() : info.substr(colon + 1);
  }
  SplitHostPort(rest, host, port);
}

std::string Bracket(const std::string& host) { return host.find(':') != std::string::npos ? "[" + host + "]" : host; }

bool WildcardMatch(const char* pat, const char* s) {
  // Iterative, with one saved position for the last '*': linear in practice
  // and never recursive, whatever a bypass list holds.
  auto same = [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  };
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*s) {
    if (*pat == '*') {
      star = pat++;
      resume = s;
    } else if (*pat && same(*pat, *s)) {
      ++pat;
      ++s;
    } else if (star) {
      pat = star + 1;
      s = ++resume;
    } else {
      return false;
    }
  }
  while (*pat == '*') ++pat;
  return *pat == '\0';
}

// An environment value that names where proxy settings come from (a PAC
// file, WPAD) rather than a proxy: only libproxy can use it.
bool NamesConfigSource(const std::string& url) {
  std::string l = Lower(url);
  return l.compare(0, 4, "pac+") == 0 || l.compare(0, 5, "wpad:") == 0;
}

// ---------------------------------------------------------------------------
// The desktop's proxy settings, through libproxy loaded at run time (no hard
// dependency on it). Its look-ups may block for long (PAC download, WPAD,
// DNS inside a PAC), so they all run on one resolver thread of our own; the
// answers are kept per scheme and host for kAnswerLifeMs, or until a root
// handle with the preconfigured type is opened under proxy variables that
// differ from those the answers were had under (libproxy's environment
// module reads them on every look-up, so a changed variable can change an
// answer; the desktop's own settings are caught by the age). A caller that
// finds no answer waits for the resolver at most kWaitMs and then uses the
// environment rules for that request, so neither the worker nor a caller is
// held longer than that; PendingSystemProxy lets a caller have the answer
// ready before the worker needs it.

// In a root's kEnvironment configuration, this entry (unused by the
// environment rules) means "ask libproxy first".
const char kSystemMarker[] = "libproxy";
constexpr int64_t kAnswerLifeMs = 60000;
constexpr int64_t kWaitMs = 2000;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// libproxy's first usable entry as a route: direct, HTTP or SOCKS. False
// when none is usable (the caller then applies the environment rules).
bool RouteFromLibproxy(char** list, ProxyChoice& out) {
  for (char** p = list; p && *p; ++p) {
    std::string scheme, user, password, host;
    uint16_t port = 0;
    ParseProxyUrl(*p, scheme, user, password, host, port);
    if (scheme == "direct") {
      out = ProxyChoice();
      return true;
    }
    bool socks = scheme == "socks" || scheme == "socks4" || scheme == "socks5";
    if ((!socks && scheme != "http") || host.empty()) continue;
    out = ProxyChoice();
    out.none = false;
    out.socks = socks;
    out.host = host;
    out.port = port ? port : (socks ? INTERNET_DEFAULT_SOCKS_PORT : INTERNET_DEFAULT_HTTP_PORT);
    out.user = user;
    out.password = password;
    out.curlUrl = scheme + "://" + Bracket(host) + ":" + std::to_string(out.port);
    return true;
  }
  return false;
}

class SystemProxy {
 public:
  static SystemProxy& Get() {
    // Never destroyed: the resolver may be inside libproxy when the process
    // exits.
    static SystemProxy* instance = new SystemProxy();
    return *instance;
  }

  // True when libproxy can be loaded (tried once per process).
  bool Available() {
    std::call_once(m_loadOnce, [this] { Load(); });
    return m_getProxies != nullptr;
  }

  // The answer for url if known; else starts its look-up and waits up to
  // waitMs. False: no usable answer (yet).
  bool Lookup(const std::string& url, ProxyChoice& out, int64_t waitMs) {
    std::unique_lock<std::mutex> lock(m_mu);
    int64_t deadline = SteadyMs() + waitMs;
    Submit(url, nullptr);
    for (;;) {
      auto it = m_answers.find(url);
      if (it != m_answers.end() && !it->second.pending) {
        out = it->second.route;
        return it->second.usable;
      }
      int64_t left = deadline - SteadyMs();
      if (left <= 0) return false;
      m_answered.wait_for(lock, std::chrono::milliseconds(left));
    }
  }

  // False when url's answer is at hand; else true, and ready runs on the
  // resolver thread once it is.
  bool Pending(const std::string& url, std::function<void()> ready) {
    std::lock_guard<std::mutex> lock(m_mu);
    return Submit(url, std::move(ready));
  }

  // A new root under the proxy variables given by fingerprint: the answers
  // at hand stay when the variables are those they were had under, and are
  // dropped otherwise, so that a root reads changed settings afresh.
  void Renew(const std::string& fingerprint) {
    std::lock_guard<std::mutex> lock(m_mu);
    if (fingerprint == m_fingerprint) return;
    m_fingerprint = fingerprint;
    for (auto it = m_answers.begin(); it != m_answers.end();)
      it = it->second.pending ? std::next(it) : m_answers.erase(it);
  }

 private:
  struct Answer {
    bool pending = true, usable = false;
    ProxyChoice route;
    int64_t expires = 0;
    std::vector<std::function<void()>> ready;
  };
  using NewFn = void* (*)();
  using GetFn = char** (*)(void*, const char*);
  using FreeListFn = void (*)(char**);

  void Load() {
    void* lib = dlopen("libproxy.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return;
    auto make = reinterpret_cast<NewFn>(dlsym(lib, "px_proxy_factory_new"));
    auto get = reinterpret_cast<GetFn>(dlsym(lib, "px_proxy_factory_get_proxies"));
    if (!make || !get) return;
    m_new = make;
    m_freeList = reinterpret_cast<FreeListFn>(dlsym(lib, "px_proxy_factory_free_proxies"));
    m_getProxies = get;
  }

  // With m_mu held. True when url's answer is not at hand (look-up queued or
  // running); ready, if any, then runs once it is.
  bool Submit(const std::string& url, std::function<void()> ready) {
    auto it = m_answers.find(url);
    if (it != m_answers.end() && (it->second.pending || it->second.expires > SteadyMs())) {
      if (!it->second.pending) return false;
      if (ready) it->second.ready.push_back(std::move(ready));
      return true;
    }
    Answer& a = m_answers[url];
    a = Answer();
    if (ready) a.ready.push_back(std::move(ready));
    m_queue.push_back(url);
    if (!m_resolver) {
      m_resolver = true;
      std::thread([this] { Resolve(); }).detach();
    }
    m_work.notify_one();
    return true;
  }

  void Resolve() {
    std::unique_lock<std::mutex> lock(m_mu);
    for (;;) {
      m_work.wait(lock, [this] { return !m_queue.empty(); });
      std::string url = m_queue.front();
      m_queue.pop_front();
      lock.unlock();
      ProxyChoice route;
      bool usable = false;
      try {
        if (!m_factory) m_factory = m_new();
        char** list = m_factory ? m_getProxies(m_factory, url.c_str()) : nullptr;
        if (list) {
          usable = RouteFromLibproxy(list, route);
          if (m_freeList) {
            m_freeList(list);
          } else {
            for (char** p = list; *p; ++p) std::free(*p);
            std::free(list);
          }
        }
      } catch (...) {
        usable = false;  // out of memory: the environment rules for now
      }
      lock.lock();
      Answer& a = m_answers[url];
      a.pending = false;
      a.usable = usable;
      a.route = route;
      a.expires = SteadyMs() + kAnswerLifeMs;
      std::vector<std::function<void()>> ready;
      ready.swap(a.ready);
      m_answered.notify_all();
      lock.unlock();
      for (auto& fn : ready) {
        try {
          fn();
        } catch (...) {
        }
      }
      lock.lock();
    }
  }

  std::once_flag m_loadOnce;
  NewFn m_new = nullptr;
  GetFn m_getProxies = nullptr;
  FreeListFn m_freeList = nullptr;
  void* m_factory = nullptr;  // resolver thread only
  std::mutex m_mu;
  std::condition_variable m_work, m_answered;
  std::deque<std::string> m_queue;
  std::map<std::string, Answer> m_answers;
  std::string m_fingerprint;  // the proxy variables m_answers were had under
  bool m_resolver = false;
};

// The proxy variables, read in one pass over the environment (a getenv per
// name would scan it once per name, at every InternetOpen). As with getenv,
// the first entry of a name counts.
enum ProxyVariable {
  kHttpProxy,
  kHttpProxyUpper,
  kHttpsProxy,
  kHttpsProxyUpper,
  kAllProxy,
  kAllProxyUpper,
  kNoProxy,
  kNoProxyUpper,
  kNoLibproxy,
  kProxyVariableCount
};
struct ProxyEnvironment {
  const char* value[kProxyVariableCount] = {};
};

ProxyEnvironment ReadProxyVariables() {
  static constexpr std::string_view kNames[kProxyVariableCount] = {"http_proxy",  "HTTP_PROXY", "https_proxy",
                                                                   "HTTPS_PROXY", "all_proxy",  "ALL_PROXY",
                                                                   "no_proxy",    "NO_PROXY",   "QMX_NO_LIBPROXY"};
  ProxyEnvironment env;
  for (char** entry = environ; entry && *entry; ++entry) {
    const char* text = *entry;
    switch (text[0]) {  // most of the environment is skipped at its first letter
      case 'h':
      case 'H':
      case 'a':
      case 'A':
      case 'n':
      case 'N':
      case 'Q':
        break;
      default:
        continue;
    }
    size_t length = 1;
    while (text[length] && text[length] != '=') ++length;
    if (!text[length]) continue;
    for (int i = 0; i < kProxyVariableCount; ++i)
      if (!env.value[i] && kNames[i] == std::string_view(text, length)) {
        env.value[i] = text + length + 1;
        break;
      }
  }
  return env;
}

// The process's proxy variables as one text, what libproxy's answers depend
// on: every name its environment module or our own rules read, with its
// value or its absence.
std::string ProxyVariables(const ProxyEnvironment& env) {
  std::string out;
  for (const char* v : env.value) {
    // An absent variable and an empty one differ: '\1' never occurs in a value.
    out += v ? v : "\1";
    out += '\0';
  }
  return out;
}

bool UsesSystemProxy(const ProxyConfig& cfg) {
  return cfg.mode == ProxyConfig::kEnvironment && !cfg.entries.empty() && cfg.entries[0].key == kSystemMarker;
}

// What libproxy is asked about: the scheme and host (the port and path are
// not known where the route is chosen).
std::string LookupUrl(bool https, const std::string& host) {
  return std::string(https ? "https://" : "http://") + Bracket(host) + "/";
}

}  // namespace

bool PendingSystemProxy(const ProxyConfig& cfg, bool https, const std::string& host, std::function<void()> ready) {
  if (!UsesSystemProxy(cfg)) return false;
  return SystemProxy::Get().Pending(LookupUrl(https, host), std::move(ready));
}

bool ParseProxyList(const char* list, std::vector<ProxyEntry>& out) {
  out.clear();
  for (const std::string& item : SplitAny(list, " ;\t\r\n")) {
    ProxyEntry e;
    std::string rest = item;
    size_t eq = rest.find('=');
    if (eq != std::string::npos) {
      e.key = Lower(rest.substr(0, eq));
      rest = rest.substr(eq + 1);
    }
    size_t sep = rest.find("://");
    if (sep != std::string::npos) rest = rest.substr(sep + 3);
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    SplitHostPort(rest, e.host, e.port);
    if (e.host.empty()) continue;
    if (e.port == 0) e.port = e.key == "socks" ? INTERNET_DEFAULT_SOCKS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    out.push_back(e);
  }
  return !out.empty();
}

void ParseBypassList(const char* list, std::vector<std::string>& out) { out = SplitAny(list, " ;\t\r\n"); }

bool BypassMatches(const std::vector<std::string>& bypass, const std::string& host) {
  for (const std::string& entry : bypass) {
    if (Lower(entry) == "<local>") {
      if (host.find('.') == std::string::npos && host.find(':') == std::string::npos) return true;
    } else if (WildcardMatch(entry.c_str(), host.c_str())) {
      return true;
    }
  }
  return false;
}

bool NoProxyMatches(const std::string& noProxy, const std::string& host) {
  std::string h = Lower(host);
  for (std::string entry : SplitAny(noProxy.c_str(), ", \t")) {
    entry = Lower(entry);
    if (entry == "*") return true;
    if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
    if (h == entry) return true;
    if (h.size() > entry.size() && h.compare(h.size() - entry.size(), entry.size(), entry) == 0 &&
        h[h.size() - entry.size() - 1] == '.')
      return true;
  }
  return false;
}

void ReadProxyEnvironment(ProxyConfig& cfg) {
  const ProxyEnvironment env = ReadProxyVariables();
  auto get = [&env](ProxyVariable a, ProxyVariable b) -> std::string {
    const char* v = env.value[a];
    if ((!v || !*v) && b != kProxyVariableCount) v = env.value[b];
    return v ? std::string(v) : std::string();
  };
  cfg.mode = ProxyConfig::kEnvironment;
  cfg.entries.clear();
  // The desktop's settings come first unless QMX_NO_LIBPROXY turns them off.
  const char* off = env.value[kNoLibproxy];
  bool system = !(off && *off && std::strcmp(off, "0") != 0) && SystemProxy::Get().Available();
  if (system) {
    cfg.entries.push_back(ProxyEntry{kSystemMarker, std::string(), 0});
    SystemProxy::Get().Renew(ProxyVariables(env));
  }
  // Upper-case HTTP_PROXY is ignored on purpose: under CGI it is set from a
  // request header.
  cfg.envHttp = get(kHttpProxy, kProxyVariableCount);
  cfg.envHttps = get(kHttpsProxy, kHttpsProxyUpper);
  cfg.envAll = get(kAllProxy, kAllProxyUpper);
  cfg.envNoProxy = get(kNoProxy, kNoProxyUpper);
  for (std::string* v : {&cfg.envHttp, &cfg.envHttps, &cfg.envAll})
    if (NamesConfigSource(*v)) v->clear();
  if (!system && cfg.envHttp.empty() && cfg.envHttps.empty() && cfg.envAll.empty()) cfg.mode = ProxyConfig::kDirect;
}

ProxyChoice ChooseProxy(const ProxyConfig& cfg, bool https, const std::string& host) {
  ProxyChoice c;
  if (cfg.mode == ProxyConfig::kList) {
    if (BypassMatches(cfg.bypass, host)) return c;
    const char* want = https ? "https" : "http";
    const ProxyEntry* pick = nullptr;
    bool socks = false;
    for (const auto& e : cfg.entries)
      if (e.key == want) {
        pick = &e;
        break;
      }
    if (!pick)
      for (const auto& e : cfg.entries)
        if (e.key.empty()) {
          pick = &e;
          break;
        }
    if (!pick)
      for (const auto& e : cfg.entries)
        if (e.key == "socks") {
          pick = &e;
          socks = true;
          break;
        }
    if (!pick) return c;
    c.none = false;
    c.socks = socks;
    c.host = pick->host;
    c.port = pick->port;
    // WinINet speaks SOCKS version 4 and plain HTTP to an HTTP proxy.
    c.curlUrl = std::string(socks ? "socks4://" : "http://") + Bracket(c.host) + ":" + std::to_string(c.port);
    return c;
  }
  if (cfg.mode == ProxyConfig::kEnvironment) {
    if (UsesSystemProxy(cfg)) {
      ProxyChoice system;
      if (SystemProxy::Get().Lookup(LookupUrl(https, host), system, kWaitMs)) return system;
    }
    std::string url = https ? cfg.envHttps : cfg.envHttp;
    if (url.empty()) url = cfg.envAll;
    if (url.empty() || NoProxyMatches(cfg.envNoProxy, host)) return c;
    std::string scheme;
    ParseProxyUrl(url, scheme, c.user, c.password, c.host, c.port);
    if (c.host.empty()) return c;
    if (scheme.empty() || scheme == "https") scheme = "http";
    c.socks = scheme.compare(0, 5, "socks") == 0;
    if (c.port == 0) c.port = c.socks ? INTERNET_DEFAULT_SOCKS_PORT : 1080;
    c.none = false;
    c.curlUrl = scheme + "://" + Bracket(c.host) + ":" + std::to_string(c.port);
  }
  return c;
}

}  // namespace qmxinet
