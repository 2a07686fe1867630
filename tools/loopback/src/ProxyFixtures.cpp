// tinyproxy and danted fixtures; see ProxyFixtures.h.
#include "qmxloopback/ProxyFixtures.h"
#include "qmxloopback/LoopbackServer.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace qmxloopback {

bool ProxyProcess::Start() {
  // The free port is found before the proxy binds it; should another
  // process take it in between, try again with a new one.
  for (int attempt = 0; attempt < 3; ++attempt)
    if (StartOnce()) return true;
  return false;
}

bool ProxyProcess::StartOnce() {
  char tmpl[] = "/tmp/qmxproxy-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  m_dir = tmpl;
  m_port = UnusedPort();
  const std::string conf = m_dir + "/proxy.conf", port = std::to_string(m_port);
  // The configuration, the command line, and the text of the log that says
  // the proxy listens.
  std::string config, ready;
  std::vector<std::string> argv;
  if (m_kind == Kind::kTinyProxy) {
    config = "Port " + port +
             "\nListen 127.0.0.1\nTimeout 60\nMaxClients 100\nAllow 127.0.0.1\nDisableViaHeader Yes\nLogLevel Info\n";
    if (!m_user.empty()) config += "BasicAuth " + m_user + " " + m_password + "\n";
    argv = {"tinyproxy", "-d", "-c", conf};
    ready = "listening on fd";
  } else {
    config = "logoutput: stderr\ninternal: 127.0.0.1 port = " + port +
             "\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\n";
    if (::getuid() == 0) config += "user.privileged: root\nuser.unprivileged: nobody\n";
    config +=
        "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
        "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  protocol: tcp\n  command: connect\n}\n";
    argv = {::access("/usr/sbin/danted", X_OK) == 0 ? "/usr/sbin/danted" : "danted", "-f", conf, "-N", "1", "-p"};
    argv.push_back(m_dir + "/proxy.pid");
    ready = "running";
  }
  std::ofstream(conf) << config;
  // The proxy writes its log straight into the file, so what it logged about
  // a request is there by the time the client has its reply.
  const int logFd = ::open((m_dir + "/proxy.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (logFd < 0) return false;
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  if ((m_pid = ::fork()) == 0) {
    ::setpgid(0, 0);
    ::dup2(logFd, 1);
    ::dup2(logFd, 2);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(logFd);
  if (m_pid < 0) return false;
  ::setpgid(m_pid, m_pid);
  // Watch the log until the proxy says it listens, it exits, or a generous
  // deadline passes.
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
       std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    if (Log().find(ready) != std::string::npos) return true;
    if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
      m_pid = -1;
      break;
    }
  }
  Stop();
  return false;
}

void ProxyProcess::Stop() {
  if (m_pid > 0) {
    ::kill(-m_pid, SIGTERM);
    ::waitpid(m_pid, nullptr, 0);
    ::kill(-m_pid, SIGKILL);  // any worker the main process left behind
    m_pid = -1;
  }
  std::error_code ec;
  if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
  m_dir.clear();
}

std::string ProxyProcess::Log() const {
  std::ifstream f(m_dir + "/proxy.log");
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace qmxloopback
