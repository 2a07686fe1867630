// Proxy selection of the WinINet layer: a proxy list and a bypass list as
// InternetOpenA takes them (the transport builds "HTTP=HTTP://host:port"
// and friends), or proxy variables as the environment gives them, and the
// proxy chosen for a target host.
//
// Input: one byte of options, then three lines: proxy list (or proxy URL),
// bypass list (or no_proxy), target host.
#include <cstring>

#include "FuzzCommon.h"
#include "Internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  const uint8_t opt = data[0];
  const std::vector<std::string> f = qmxfuzz::Fields(data + 1, size - 1, 3);
  const std::string list = f[0].substr(0, f[0].find('\0'));
  const std::string bypass = f[1].substr(0, f[1].find('\0'));
  const std::string& host = f[2];
  const bool https = opt & 1;
  qmxinet::ProxyConfig cfg;
  if (opt & 2) {
    cfg.mode = qmxinet::ProxyConfig::kEnvironment;
    (https ? cfg.envHttps : cfg.envHttp) = list;
    if (opt & 4) cfg.envAll = list;
    cfg.envNoProxy = bypass;
  } else {
    cfg.mode = qmxinet::ProxyConfig::kList;
    if (!qmxinet::ParseProxyList(list.c_str(), cfg.entries)) return 0;
    qmxinet::ParseBypassList(bypass.c_str(), cfg.bypass);
  }
  const qmxinet::ProxyChoice c = qmxinet::ChooseProxy(cfg, https, host);
  if (c.none) {
    QMX_FUZZ_CHECK(c.curlUrl.empty() && c.Key().empty(), c.curlUrl);
  } else {
    const bool knownScheme = c.curlUrl.rfind("http://", 0) == 0 || c.curlUrl.rfind("socks", 0) == 0;
    QMX_FUZZ_CHECK(knownScheme || cfg.mode == qmxinet::ProxyConfig::kEnvironment, c.curlUrl);
    QMX_FUZZ_CHECK(c.socks == (c.curlUrl.rfind("socks", 0) == 0), c.curlUrl);
    // The address ends in the port chosen, so libcurl never falls back to a default.
    const std::string port = ":" + std::to_string(c.port);
    QMX_FUZZ_CHECK(
        c.curlUrl.size() >= port.size() && c.curlUrl.compare(c.curlUrl.size() - port.size(), port.size(), port) == 0,
        c.curlUrl);
    QMX_FUZZ_CHECK(c.Key() == c.host + port, c.Key());
  }
  // A host that a bypass entry matches never goes through the proxy list.
  if (cfg.mode == qmxinet::ProxyConfig::kList && qmxinet::BypassMatches(cfg.bypass, host)) QMX_FUZZ_CHECK(c.none, host);
  return 0;
}
