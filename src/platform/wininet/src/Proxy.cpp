// Proxy lists, bypass lists and the environment's proxy settings.
#include <cctype>
#include <cstdlib>
#include <cstring>

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

}  // namespace

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
  auto get = [](const char* a, const char* b) -> std::string {
    const char* v = std::getenv(a);
    if ((!v || !*v) && b) v = std::getenv(b);
    return v ? std::string(v) : std::string();
  };
  cfg.mode = ProxyConfig::kEnvironment;
  // Upper-case HTTP_PROXY is ignored on purpose: under CGI it is set from a
  // request header.
  cfg.envHttp = get("http_proxy", nullptr);
  cfg.envHttps = get("https_proxy", "HTTPS_PROXY");
  cfg.envAll = get("all_proxy", "ALL_PROXY");
  cfg.envNoProxy = get("no_proxy", "NO_PROXY");
  if (cfg.envHttp.empty() && cfg.envHttps.empty() && cfg.envAll.empty()) cfg.mode = ProxyConfig::kDirect;
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
