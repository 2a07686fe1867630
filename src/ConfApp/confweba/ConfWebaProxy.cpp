// QmxConfWebaSetProxy: checks the host's proxy address and direct-host list
// and hands them to the transport in WinINet's list forms.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ConfWebaImp.h"
#include "ConfWebaResults.h"
#include "SiteWininet.h"
#include "qmxconfweba_ext.h"

namespace {

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

// "host", "host:port", "[v6]" or "[v6]:port"; the port 1 to 65535. Keeps the
// brackets of an IPv6 host, as the proxy list wants them.
bool SplitHostPort(const std::string& text, std::string& host, unsigned& port) {
  port = 0;
  size_t end;
  if (!text.empty() && text[0] == '[') {
    end = text.find(']');
    if (end == std::string::npos || end == 1) return false;
    for (size_t i = 1; i < end; ++i)
      if (!isxdigit(static_cast<unsigned char>(text[i])) && text[i] != ':' && text[i] != '.') return false;
    ++end;
  } else {
    end = text.find(':');
    if (end == std::string::npos) end = text.size();
    if (end == 0) return false;
    for (size_t i = 0; i < end; ++i)
      if (!IsHostChar(text[i])) return false;
  }
  host = text.substr(0, end);
  if (end == text.size()) return true;
  if (text[end] != ':' || end + 1 == text.size() || text.size() - end - 1 > 5) return false;
  for (size_t i = end + 1; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  port = static_cast<unsigned>(atoi(text.c_str() + end + 1));
  return port >= 1 && port <= 65535;
}

bool ProxyList(const std::string& proxy, std::string& list) {
  std::string rest = proxy;
  std::string scheme = "http";
  const size_t sep = rest.find("://");
  if (sep != std::string::npos) {
    scheme = rest.substr(0, sep);
    for (char& c : scheme) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    rest.erase(0, sep + 3);
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  // Credentials are not part of the address: the proxy asks for them and the
  // credential prompt answers.
  if (rest.find('@') != std::string::npos || rest.find('/') != std::string::npos) return false;
  const bool socks =
      scheme == "socks" || scheme == "socks4" || scheme == "socks4a" || scheme == "socks5" || scheme == "socks5h";
  if (!socks && scheme != "http") return false;
  std::string host;
  unsigned port = 0;
  if (!SplitHostPort(rest, host, port)) return false;
  if (port == 0) port = 1080;
  // An entry without a key serves both HTTP and HTTPS requests.
  list = (socks ? "SOCKS=" : "") + host + ":" + std::to_string(port);
  return true;
}

// "a.b.c.d/n" with n 8, 16, 24 or 32 as a wildcard on the leading octets.
bool CidrPattern(const std::string& entry, std::string& pattern) {
  const size_t slash = entry.find('/');
  const std::string address = entry.substr(0, slash);
  const std::string bits = entry.substr(slash + 1);
  unsigned octets[4];
  char tail;
  if (sscanf(address.c_str(), "%u.%u.%u.%u%c", &octets[0], &octets[1], &octets[2], &octets[3], &tail) != 4)
    return false;
  if (address.find_first_not_of("0123456789.") != std::string::npos) return false;
  if (bits != "8" && bits != "16" && bits != "24" && bits != "32") return false;
  for (unsigned octet : octets)
    if (octet > 255) return false;
  const int keep = atoi(bits.c_str()) / 8;
  pattern.clear();
  for (int i = 0; i < keep; ++i) {
    pattern += std::to_string(octets[i]) + (i + 1 < 4 ? "." : "");
  }
  if (keep < 4) pattern += "*";
  return true;
}

bool BypassList(const std::string& noProxy, std::string& bypass) {
  bypass.clear();
  size_t start = 0;
  while (start <= noProxy.size()) {
    size_t comma = noProxy.find(',', start);
    if (comma == std::string::npos) comma = noProxy.size();
    std::string entry = noProxy.substr(start, comma - start);
    start = comma + 1;
    while (!entry.empty() && isspace(static_cast<unsigned char>(entry.front()))) entry.erase(0, 1);
    while (!entry.empty() && isspace(static_cast<unsigned char>(entry.back()))) entry.pop_back();
    if (entry.empty()) continue;
    std::string add;
    if (entry == "*") {
      add = "*";
    } else if (entry.find('/') != std::string::npos) {
      if (!CidrPattern(entry, add)) return false;
    } else {
      if (entry[0] == '.') entry.erase(0, 1);
      if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']') entry = entry.substr(1, entry.size() - 2);
      if (entry.empty()) return false;
      for (char c : entry)
        if (!IsHostChar(c) && c != ':') return false;
      // A name stands for itself and every name under it; an address only
      // for itself.
      const bool address =
          entry.find_first_not_of("0123456789.") == std::string::npos || entry.find(':') != std::string::npos;
      add = address ? entry : entry + ";*." + entry;
    }
    bypass += (bypass.empty() ? "" : ";") + add;
  }
  return true;
}

// The proxy as a WinINet proxy list ("" for none: the system's settings) and
// the hosts that go direct as a WinINet bypass list; false when either is
// malformed.
bool Translate(const char* proxy, const char* noProxy, std::string& list, std::string& bypass) {
  list.clear();
  bypass.clear();
  if (!BypassList(noProxy ? noProxy : "", bypass)) return false;
  if (!proxy || !*proxy) return true;
  return ProxyList(proxy, list);
}

}  // namespace

extern "C" int QmxConfWebaSetProxy(const char* proxy, const char* noProxy) {
  RT_INFO_TRACE("QmxConfWebaSetProxy, proxy=" << (proxy ? proxy : "(null)")
                                              << ",noProxy=" << (noProxy ? noProxy : "(null)"));
  try {
    std::string list, bypass;
    if (!Translate(proxy, noProxy, list, bypass)) return QMX_ERR_INVALID_ARG;
    SetHostProxy(list, list.empty() ? std::string() : bypass);
    return QMX_OK;
  } catch (...) {
    return QMX_ERR_OUT_OF_MEMORY;
  }
}
