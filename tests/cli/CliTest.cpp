// The confweba program, run as a user runs it (on files or on a
// pseudo-terminal), against a simulator the test starts on 127.0.0.1.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "SiteSimulator.h"
#include "qmxloopback/LoopbackServer.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Args = std::vector<std::string>;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct CliRun {
  int exitCode = -1;
  std::string out, err;  // on a terminal: everything in out
  json Json() const { return json::parse(out, nullptr, false); }
};

struct RunOptions {
  std::string input;             // stdin, or typed on the terminal
  std::vector<std::string> env;  // added to an environment without the password variables
  bool terminal = false;         // stdin, stdout and stderr a terminal; out holds what it showed
  bool interrupt = false;        // Ctrl-C once the terminal shows a progress line
};

Args Cat(Args args, const Args& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/confweba-cli-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    m_dir = tmpl;
    std::string error;
    ASSERT_TRUE(m_sim.Start("127.0.0.1", 0, false, &error)) << error;
  }
  void TearDown() override {
    m_sim.Stop();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  // Runs confweba and waits for it to exit.
  CliRun Run(const Args& args, const RunOptions& o = {}) {
    const std::string in = m_dir + "/stdin", out = m_dir + "/stdout", err = m_dir + "/stderr";
    std::ofstream(in, std::ios::binary) << o.input;
    const int fds[3] = {open(in.c_str(), O_RDONLY | O_CLOEXEC),
                        open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600),
                        open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    std::vector<std::string> env = o.env;
    for (char** e = environ; *e; ++e)
      if (strncmp(*e, "QMX_CONF_PASS=", 14) != 0 && strncmp(*e, "QMX_PASSWORD=", 13) != 0) env.push_back(*e);
    Args all = Cat({QMX_CONFWEBA_BINARY}, args);
    std::vector<char*> argv, envp;
    for (auto& a : all) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int tty = -1;
    winsize ws{30, 100, 0, 0};
    const pid_t pid = o.terminal ? forkpty(&tty, nullptr, nullptr, &ws) : fork();
    if (pid == 0) {
      for (int i = 0; !o.terminal && i < 3; ++i) dup2(fds[i], i);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    for (int fd : fds) close(fd);
    CliRun r;
    if (tty >= 0) {
      EXPECT_EQ(static_cast<ssize_t>(o.input.size()), write(tty, o.input.data(), o.input.size()));
      char buf[4096];
      pollfd p{tty, POLLIN, 0};
      ssize_t n;  // until EOF, or EIO once the terminal's last writer is gone
      bool interrupted = false;
      while (poll(&p, 1, 60000) > 0 && (n = read(tty, buf, sizeof buf)) > 0) {
        r.out.append(buf, n);
        if (o.interrupt && !interrupted && r.out.find('\r') != std::string::npos) interrupted = kill(pid, SIGINT) == 0;
      }
      close(tty);
      EXPECT_EQ(o.interrupt, interrupted) << r.out;
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    if (!o.terminal) {
      r.out = Slurp(out);
      r.err = Slurp(err);
    }
    return r;
  }

  std::string LoaderUrl() const { return m_sim.BaseUrl() + "files/qmxloader.bin"; }
  std::string Loader() const {
    for (const auto& f : m_sim.Data().files)
      if (f.path == "/files/qmxloader.bin") {
        std::string bytes;
        for (int i = 0; i < f.repeat; ++i) bytes += f.content;
        return bytes;
      }
    return "";
  }

  sitesim::CSiteSimulator m_sim;
  std::string m_dir;
};

// join: the texts in JSON and in the --out files, which only the user can
// read and which replace what was there (a symlink is not written through);
// --fetch-loader stores the loader beside them.
TEST_F(CliTest, JoinWritesPrivateFilesAndFetchesTheLoader) {
  const std::string out = m_dir + "/meeting";
  fs::create_directories(out);
  std::ofstream(out + "/conftoken.ini") << "old";
  chmod((out + "/conftoken.ini").c_str(), 0644);
  std::ofstream(m_dir + "/victim") << "keep";
  fs::create_symlink(m_dir + "/victim", out + "/loader.ini");

  const CliRun r = Run({"join", m_sim.InvitationUrl("123456"), "--conf-pass", "meet", "--name", "Ann Lee", "--out", out,
                        "--fetch-loader", "--json"});
  ASSERT_EQ(0, r.exitCode) << r.err;
  const json j = r.Json();
  EXPECT_EQ(0, j["result"]);
  EXPECT_EQ(LoaderUrl(), j["confDownloadUrl"]);
  EXPECT_EQ(0u, j["confTokenIni"].get<std::string>().find("[Parlevo]\nConfId=123456\n"));
  EXPECT_EQ(0u, j["loaderIni"].get<std::string>().find("[qmxloader]\n"));
  EXPECT_EQ("keep", Slurp(m_dir + "/victim"));
  const std::pair<const char*, std::string> files[] = {
      {"conftoken.ini", j["confTokenIni"]}, {"loader.ini", j["loaderIni"]}, {"loaderurl.txt", LoaderUrl() + "\n"}};
  for (const auto& f : files) {
    const std::string path = out + "/" + f.first;
    struct stat st;
    ASSERT_EQ(0, lstat(path.c_str(), &st)) << path;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
    EXPECT_EQ(0600u, st.st_mode & 07777) << path;
    EXPECT_EQ(f.second, Slurp(path));
  }
  EXPECT_EQ(0, j["loader"]["result"]);
  EXPECT_EQ(Loader(), Slurp(out + "/qmxloader.bin"));
  EXPECT_EQ(4, std::distance(fs::directory_iterator(out), fs::directory_iterator()));  // no temporary files left
}

// invite: the addresses go out and the program says how many.
TEST_F(CliTest, InviteSaysHowManyAddressesWentOut) {
  const CliRun r = Run({"invite", "--site-url", m_sim.SiteUrl(), "--site-name", "site1", "--conf-id", "123456",
                        "--user", "host", "--password", "secret", "a@example.com", "b@example.com", "--json"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(json::parse(R"({"command":"invite","result":0,"error":"","sent":2})"), r.Json());
  EXPECT_EQ((Args{"a@example.com", "b@example.com"}), m_sim.Invited());
}

// Exit codes: 0 done, 1 the operation failed (with the module's result and
// the transport's cause), 2 the command line is wrong (then nothing is
// sent). Global options stand after the command as well. -o FILE is
// replaced only by a whole download, never by a failure, and no temporary
// name is left beside it.
TEST_F(CliTest, CommandLines) {
  const std::string inv = m_sim.InvitationUrl("123456"), dir = m_dir + "/d", file = dir + "/out.bin";
  const std::string missing = m_sim.BaseUrl() + "files/missing.bin";
  const std::string dead = "127.0.0.1:" + std::to_string(qmxloopback::UnusedPort());
  const struct {
    Args args;
    int exitCode;
    std::string text;           // in stdout or stderr
    std::string after = "old";  // in dir/out.bin afterwards
  } cases[] = {
      {{}, 2, "Usage:"},
      {{"--help"}, 0, "Usage:"},
      {{"jion", inv}, 2, "unknown command 'jion'\nconfweba: did you mean 'join'?\n"},
      {{"--noproxy", "*", "get", LoaderUrl(), "-o", "-"}, 2, "--noproxy needs --proxy"},
      {{"get", LoaderUrl(), dir, "--name", "../up.bin"}, 2, "is not a plain file name"},
      {{"get", LoaderUrl(), dir, "--cacert", m_dir + "/missing.pem"}, 2, "--cacert"},
      {{"get", LoaderUrl(), "-o", file},
       0,
       "result: 0\nsaved " + file + " (" + std::to_string(Loader().size()),
       Loader()},
      {{"get", missing, "--output", file}, 1, "(4010): HTTP status 404"},
      {{"get", LoaderUrl(), file}, 1, "the file could not be written (4011)"},
      {{"-x", dead, "get", LoaderUrl(), "-o", file}, 1, "(4010): connection refused"},
      {{"-x", dead, "--noproxy", "127.0.0.1", "get", LoaderUrl(), "-o", file}, 0, "saved ", Loader()},
      {{"join", inv, "--conf-pass", "nope"}, 1, "join failed: wrong conference password (4021)"},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    m_sim.ClearReceived();
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    std::ofstream(file, std::ios::binary) << "old";
    const CliRun r = Run(c.args);
    EXPECT_EQ(c.exitCode, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, (r.out + r.err).find(c.text)) << r.out << r.err;
    EXPECT_TRUE(c.exitCode != 2 || m_sim.Received().empty());  // a wrong command line sends nothing
    EXPECT_EQ(c.after, Slurp(file));
    for (const auto& e : fs::directory_iterator(dir)) EXPECT_EQ("out.bin", e.path().filename()) << e.path();
  }
  EXPECT_FALSE(fs::exists(m_dir + "/up.bin"));
}

// Ctrl-C once the progress line shows: the download is cancelled, nothing is
// left in the folder, and the exit status is the shell's 130. --max-time ends the same download by itself.
TEST_F(CliTest, CtrlCOrMaxTimeEndsTheDownloadAndLeavesNothing) {
  qmxloopback::LoopbackServer server;
  server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    qmxloopback::Reply r;
    r.endlessBody = true;
    return r;
  });
  ASSERT_TRUE(server.Start());
  fs::create_directories(m_dir + "/d");
  RunOptions o;
  o.terminal = true;
  o.interrupt = true;
  CliRun r = Run({"get", server.Url("/big.iso"), m_dir + "/d"}, o);
  EXPECT_EQ(130, r.exitCode) << r.out;
  EXPECT_TRUE(fs::is_empty(m_dir + "/d"));

  r = Run({"--json", "get", server.Url("/big.iso"), m_dir + "/d", "--max-time", "0.3"});
  server.Stop();
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(4010, r.Json()["result"]) << r.out;
  EXPECT_EQ("timed out", r.Json()["cause"]) << r.out;
  EXPECT_TRUE(fs::is_empty(m_dir + "/d"));
}

// HTTPS certificates are checked; --cacert adds a trusted certificate,
// --insecure lets everything through and says so.
TEST_F(CliTest, CertificateOptionsReachTheModule) {
  sitesim::CSiteSimulator tls;
  std::string error;
  ASSERT_TRUE(tls.Start("127.0.0.1", 0, true, &error)) << error;
  const struct {
    Args options;
    int exitCode;
    const char* err;
  } cases[] = {
      {{}, 1, "(4010): certificate rejected: unknown issuer\n"},
      {{"--insecure"}, 0, "confweba: warning: --insecure: HTTPS certificates are not checked\n"},
      {{"--cacert", tls.CertificateFile()}, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options.empty() ? "checked" : c.options[0]);
    std::error_code ec;
    fs::remove(m_dir + "/tls.bin", ec);
    const CliRun r = Run(Cat(c.options, {"get", tls.BaseUrl() + "files/qmxloader.bin", m_dir, "--name", "tls.bin"}));
    EXPECT_EQ(c.exitCode, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    EXPECT_EQ(c.exitCode == 0, fs::exists(m_dir + "/tls.bin"));
  }
  tls.Stop();
}

// Passwords come from stdin ("-"), without the line break, or from the
// environment; an option on the command line wins over the environment.
TEST_F(CliTest, PasswordsFromStdinAndEnvironment) {
  const CliRun r = Run({"join", m_sim.InvitationUrl("123456"), "--user", "host", "--conf-pass", "-"},
                       {"meet\r\n", {"QMX_CONF_PASS=wrong", "QMX_PASSWORD=secret"}});
  EXPECT_EQ(0, r.exitCode) << r.err;
  const std::vector<sitesim::SiteRequest> got = m_sim.Received();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ("meet", got[0].fields.at("confPass"));
  EXPECT_EQ("secret", got[0].fields.at("pass"));
}

// Control characters a site sends never reach the terminal: the module
// drops entries with C0 controls (shown in its own tests), and the program
// escapes what is left: the C1 controls, which some terminals obey as well.
TEST_F(CliTest, ControlCharactersFromTheSiteArePrintedEscaped) {
  sitesim::SiteData data = sitesim::SiteData::Default();
  data.conferences.front().confToken[1].value = "Weekly\u009b2J review";  // U+009B: CSI
  data.conferences.front().downLoad[0].value = "{base}files/qmx\u009b2Jloader.bin";
  sitesim::CSiteSimulator hostile(data);
  std::string error;
  ASSERT_TRUE(hostile.Start("127.0.0.1", 0, false, &error)) << error;
  const CliRun r = Run({"join", hostile.InvitationUrl("123456"), "--conf-pass", "meet"});
  hostile.Stop();
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find("\xc2\x9b")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\n    ConfName=Weekly\\u009b2J review\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("loader address: " + hostile.BaseUrl() + "files/qmx\\u009b2Jloader.bin\n"))
      << r.out;
}

// The logon prompt shows the realm the server named escaped: a realm cannot
// clear the screen or retitle the window. The user ends the input (Ctrl-D),
// which cancels the logon.
TEST_F(CliTest, LogonPromptShowsTheRealmEscaped) {
  qmxloopback::LoopbackServer server;
  server.RequireBasic("ann", "pw", "Staff\x1b]0;owned\x07\x1b[2J area");
  ASSERT_TRUE(server.Start());
  const CliRun r = Run({"-q", "get", server.Url("/files/x.bin"), m_dir}, {"\x04", {}, true});
  server.Stop();
  EXPECT_EQ(1, r.exitCode) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("asks for a logon (realm \"Staff\\x1b]0;owned\\x07\\x1b[2J area\")"))
      << r.out;
  EXPECT_EQ(std::string::npos, r.out.find_first_of("\x1b\x07")) << r.out;
}

}  // namespace
