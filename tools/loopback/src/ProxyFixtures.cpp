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
    ready_ = exited_ = false;
    if (StartOnce()) return true;
  }
  return false;
}

bool ProxyProcess::StartOnce() {
  char tmpl[] = "/tmp/qmxproxy-XXXXXX";
  if (!mkdtemp(tmpl)) return false;
  dir_ = tmpl;
  port_ = FreePort();
  std::string conf = dir_ + "/proxy.conf";
  {
    std::ofstream f(conf);
    f << Config();
  }
  std::string logPath = dir_ + "/proxy.log";
  logFd_ = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int pipeFds[2];
  if (logFd_ < 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) return false;

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
  pid_ = pid;
  ::close(pipeFds[1]);

  // A thread copies the proxy's output into the log file for as long as it
  // runs and tells Start when the proxy reports that it listens.
  int readFd = pipeFds[0];
  std::string ready = ReadyText();
  drain_ = std::thread([this, readFd, ready] {
    std::string seen;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(readFd, buf, sizeof buf)) > 0) {
      if (::write(logFd_, buf, static_cast<size_t>(n)) < 0) break;
      std::lock_guard<std::mutex> lock(mu_);
      if (!ready_) {
        seen.append(buf, static_cast<size_t>(n));
        ready_ = seen.find(ready) != std::string::npos;
        if (ready_) cv_.notify_all();
      }
    }
    ::close(readFd);
    std::lock_guard<std::mutex> lock(mu_);
    exited_ = true;
    cv_.notify_all();
  });
  bool up;
  {
    std::unique_lock<std::mutex> lock(mu_);
    up = cv_.wait_for(lock, std::chrono::seconds(30), [this] { return ready_ || exited_; }) && ready_;
  }
  if (!up) {
    Stop();
    return false;
  }
  return true;
}

void ProxyProcess::Stop() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGTERM);
    int status;
    ::waitpid(pid_, &status, 0);
    ::kill(-pid_, SIGKILL);  // any worker the main process left behind
    pid_ = -1;
  }
  if (drain_.joinable()) drain_.join();  // ends once every writer of the pipe is gone
  if (logFd_ >= 0) ::close(logFd_);
  logFd_ = -1;
  if (!dir_.empty()) {
    ::unlink((dir_ + "/proxy.conf").c_str());
    ::unlink((dir_ + "/proxy.log").c_str());
    ::unlink((dir_ + "/proxy.pid").c_str());
    ::rmdir(dir_.c_str());
    dir_.clear();
  }
}

std::string ProxyProcess::Log() const {
  std::lock_guard<std::mutex> lock(g_logMu);
  std::ifstream f(dir_ + "/proxy.log");
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------

TinyProxy::TinyProxy(std::string user, std::string password) : user_(std::move(user)), password_(std::move(password)) {}
TinyProxy::~TinyProxy() { Stop(); }

std::string TinyProxy::Program() const { return "tinyproxy"; }

std::string TinyProxy::Config() const {
  std::string c = "Port " + std::to_string(port_) +
                  "\nListen 127.0.0.1\nTimeout 60\nMaxClients 100\nAllow 127.0.0.1\n"
                  "DisableViaHeader Yes\nLogLevel Info\n";
  if (!user_.empty()) c += "BasicAuth " + user_ + " " + password_ + "\n";
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
  std::string c = "logoutput: stderr\ninternal: 127.0.0.1 port = " + std::to_string(port_) +
                  "\nexternal: 127.0.0.1\nsocksmethod: none\nclientmethod: none\n";
  if (::getuid() == 0) c += "user.privileged: root\nuser.unprivileged: nobody\n";
  c += "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
       "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  protocol: tcp\n  command: connect\n}\n";
  return c;
}

std::string DanteSocks::ReadyText() const { return "running"; }

std::vector<std::string> DanteSocks::Arguments(const std::string& configFile) const {
  return {"-f", configFile, "-N", "1", "-p", dir_ + "/proxy.pid"};
}

}  // namespace qmxloopback
