// Real proxies for tests: tinyproxy (HTTP, CONNECT, Basic authentication)
// and danted (SOCKS4), each started on a free 127.0.0.1 port with its
// configuration in a temporary directory, and stopped (process group
// terminated and reaped) by Stop() or the destructor.
#ifndef QMX_LOOPBACK_PROXYFIXTURES_H
#define QMX_LOOPBACK_PROXYFIXTURES_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>

namespace qmxloopback {

class ProxyProcess {
 public:
  enum class Kind { kTinyProxy, kDante };
  // With a user name, tinyproxy demands Basic credentials (407) from every client.
  explicit ProxyProcess(Kind kind, std::string user = std::string(), std::string password = std::string())
      : m_kind(kind), m_user(std::move(user)), m_password(std::move(password)) {}
  ~ProxyProcess() { Stop(); }
  ProxyProcess(const ProxyProcess&) = delete;
  ProxyProcess& operator=(const ProxyProcess&) = delete;

  // Starts the proxy and waits (up to a generous deadline) until it says it
  // is listening. False when the program is missing or does not come up.
  bool Start();
  void Stop();
  uint16_t Port() const { return m_port; }
  // Everything the proxy wrote to its log so far.
  std::string Log() const;

 private:
  bool StartOnce();
  const Kind m_kind;
  const std::string m_user, m_password;
  std::string m_dir;
  uint16_t m_port = 0;
  pid_t m_pid = -1;
};

// tinyproxy on 127.0.0.1, optionally demanding Basic credentials.
struct TinyProxy : ProxyProcess {
  explicit TinyProxy(std::string user = std::string(), std::string password = std::string())
      : ProxyProcess(Kind::kTinyProxy, std::move(user), std::move(password)) {}
};

// danted as a SOCKS server without authentication (SOCKS4 clients welcome).
struct DanteSocks : ProxyProcess {
  DanteSocks() : ProxyProcess(Kind::kDante) {}
};

}  // namespace qmxloopback

#endif
