// Real proxies for tests: tinyproxy (HTTP, CONNECT, Basic authentication)
// and danted (SOCKS4), each started on a free 127.0.0.1 port with its
// configuration in a temporary directory, and stopped (process group
// terminated and reaped) by Stop() or the destructor.
#ifndef QMX_LOOPBACK_PROXYFIXTURES_H
#define QMX_LOOPBACK_PROXYFIXTURES_H

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

namespace qmxloopback {

class ProxyProcess {
 public:
  virtual ~ProxyProcess();
  ProxyProcess(const ProxyProcess&) = delete;
  ProxyProcess& operator=(const ProxyProcess&) = delete;

  // Starts the proxy and waits (up to a generous deadline) until it says it
  // is listening. False when the program is missing or does not come up.
  bool Start();
  void Stop();
  uint16_t Port() const { return m_port; }
  bool Running() const { return m_pid > 0; }
  // Everything the proxy wrote to its log so far.
  std::string Log() const;

 protected:
  ProxyProcess() = default;
  virtual std::string Program() const = 0;
  virtual std::string Config() const = 0;
  virtual std::string ReadyText() const = 0;
  virtual std::vector<std::string> Arguments(const std::string& configFile) const = 0;

  std::string m_dir;
  uint16_t m_port = 0;

 private:
  bool StartOnce();
  pid_t m_pid = -1;
  std::thread m_drain;
  std::mutex m_mu;
  std::condition_variable m_cv;
  bool m_ready = false, m_exited = false;
  int m_logFd = -1;
};

// tinyproxy on 127.0.0.1; with a user name it demands Basic credentials
// (407) from every client.
class TinyProxy : public ProxyProcess {
 public:
  TinyProxy(std::string user = std::string(), std::string password = std::string());
  ~TinyProxy() override;

 protected:
  std::string Program() const override;
  std::string Config() const override;
  std::string ReadyText() const override;
  std::vector<std::string> Arguments(const std::string& configFile) const override;

 private:
  std::string m_user, m_password;
};

// danted as a SOCKS server without authentication (SOCKS4 clients welcome).
class DanteSocks : public ProxyProcess {
 public:
  DanteSocks();
  ~DanteSocks() override;

 protected:
  std::string Program() const override;
  std::string Config() const override;
  std::string ReadyText() const override;
  std::vector<std::string> Arguments(const std::string& configFile) const override;
};

}  // namespace qmxloopback

#endif
