// tinyproxy and danted fixtures; see ProxyFixtures.h.
#include "qmxloopback/ProxyFixtures.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

namespace qmxloopback {
namespace {

uint16_t FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

std::mutex g_logMu;

}  // namespace

ProxyProcess::~ProxyProcess() = default;

bool ProxyProcess::Start() {
  // The free port is found before the proxy binds it; should another
  // process take it in between, try again with a new one.
  for (int attempt = 0; attempt < 3; ++attempt) {
    m_ready = m_exited = false;
    if (StartOnce()) return true;
  }
  return false;
}

bool ProxyProcess::StartOnce() {
  char tmpl[] = "/tmp/qmxproxy-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  m_dir = tmpl;
  m_port = FreePort();
  std::string conf = m_dir + "/proxy.conf";
  {
    std::ofstream f(conf);
    f << Config();
  }
  std::string logPath = m_dir + "/proxy.log";
  m_logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int pipeFds[2];
  if (m_logFd < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) return false;

  std::vector<std::string> args = Arguments(conf);
  std::string program = Program();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::setpgid(0, 0);
    ::dup2(pipeFds[1], 1);
    ::dup2(pipeFds[1], 2);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  m_pid = pid;
  ::close(pipeFds[1]);

  // A thread copies the proxy's output into the log file for as long as it
  // runs and tells Start when the proxy reports that it listens.
  int readFd = pipeFds[0];
  std::string ready = ReadyText();
  m_drain = std::thread([this, readFd, ready] {
    std::string seen;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(readFd, buf, sizeof buf)) > 0) {
      if (::write(m_logFd, buf, static_cast<size_t>(n)) < 0) break;
      std::lock_guard<std::mutex> lock(m_mu);
      if (!m_ready) {
        seen.append(buf, static_cast<size_t>(n));
        m_ready = seen.find(ready) != std::string::npos;
        if (m_ready) m_cv.notify_all();
      }
    }
    ::close(readFd);
    std::lock_guard<std::mutex> lock(m_mu);
    m_exited = true;
    m_cv.notify_all();
  });
  bool up;
  {
    std::unique_lock<std::mutex> lock(m_mu);
    up = m_cv.wait_for(lock, std::chrono::seconds(30), [this] { return m_ready || m_exited; }) && m_ready;
  }
  if (!up) {
    Stop();
    return false;
  }
  return true;
}

void ProxyProcess::Stop() {
  if (m_pid > 0) {
    ::kill(-m_pid, SIGTERM);
    int status;
    ::waitpid(m_pid, &status, 0);
    ::kill(-m_pid, SIGKILL);  // any worker the main process left behind
    m_pid = -1;
  }
  if (m_drain.joinable()) m_drain.join();  // ends once every writer of the pipe is gone
  if (m_logFd >= 0) ::close(m_logFd);
  m_logFd = -1;
  if (!m_dir.empty()) {
    ::unlink((m_dir + "/proxy.conf").c_str());
    ::unlink((m_dir + "/proxy.log").c_str());
    ::unlink((m_dir + "/proxy.pid").c_str());
    ::rmdir(m_dir.c_str());
    m_dir.clear();
  }
}

std::string ProxyProcess::Log() const {
  std::lock_guard<std::mutex> lock(g_logMu);
  std::ifstream f(m_dir + "/proxy.log");
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------

TinyProxy::TinyProxy(std::string user, std::string password)
    : m_user(std::move(user)), m_password(std::move(password)) {}
TinyProxy::~TinyProxy() { Stop(); }

std::string TinyProxy::Program() const { return "tinyproxy"; }

std::string TinyProxy::Config() const {
  std::string c = "Port " + std::to_string(m_port) +
                  "\nListen 127.0.0.1\nTimeout 60\nMaxClients 100\nAllow 127.0.0.1\n"
                  "DisableViaHeader Yes\nLogLevel Info\n";
  if (!m_user.empty()) c += "BasicAuth " + m_user + " " + m_password + "\n";
  return c;
}

std::string TinyProxy::ReadyText() const { return "listening on fd"; }

std::vector<std::string> TinyProxy::Arguments(const std::string& configFile) const { return {"-d", "-c", configFile}; }

DanteSocks::DanteSocks() = default;
DanteSocks::~DanteSocks() { Stop(); }

std::string DanteSocks::Program() const {
  return ::access("/usr/sbin/danted", X_OK) == 0 ? "/usr/sbin/danted" : "danted";
}

std::string DanteSocks::Config() const {
  std::string c = "logoutput: stderr\ninternal: 127.0.0.1 port = " + std::to_string(m_port) +
                  "\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\n";
  if (::getuid() == 0) c += "user.privileged: root\nuser.unprivileged: nobody\n";
  c += "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
       "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  protocol: tcp\n  command: connect\n}\n";
  return c;
}

std::string DanteSocks::ReadyText() const { return "running"; }

std::vector<std::string> DanteSocks::Arguments(const std::string& configFile) const {
  return {"-f", configFile, "-N", "1", "-p", m_dir + "/proxy.pid"};
}

}  // namespace qmxloopback
