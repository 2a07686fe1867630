// What confweba shows on a terminal: the download progress line (drawn only
// when stdout is a terminal and --quiet is not given), its formatting, and
// the bash completion knowing every option the program has.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ProgressBar.h"
#include "SiteSimulator.h"
#include "qmxloopback/LoopbackServer.h"

namespace {

namespace fs = std::filesystem;
using confweba::FormatDuration;
using confweba::FormatProgress;

struct Output {
  int exitCode = -1;
  std::string text;
};

// Runs confweba with args on a pseudo-terminal (or with stdout on a pipe),
// types input on the terminal, and collects everything it writes until it
// exits.
Output RunConfweba(const std::vector<std::string>& args, bool terminal, const std::string& input = "") {
  std::vector<std::string> all{QMX_CONFWEBA_BINARY};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  Output out;
  int fd = -1;
  pid_t pid;
  if (terminal) {
    struct winsize ws {};
    ws.ws_col = 100;
    ws.ws_row = 30;
    pid = forkpty(&fd, nullptr, nullptr, &ws);
  } else {
    int p[2];
    if (pipe(p) != 0) return out;
    pid = fork();
    if (pid == 0) {
      dup2(p[1], 1);
      dup2(p[1], 2);
    }
    close(p[1]);
    fd = p[0];
  }
  if (pid == 0) {
    execv(QMX_CONFWEBA_BINARY, argv.data());
    _exit(127);
  }
  if (pid < 0) return out;
  if (terminal && !input.empty() && write(fd, input.data(), input.size()) < 0) out.text = "(input not written)";
  char buf[4096];
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 60000) <= 0) break;  // a generous deadline for a hung child
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;  // EOF, or EIO once the terminal's last writer is gone
    out.text.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) out.exitCode = WEXITSTATUS(status);
  return out;
}

class TerminalTest : public ::testing::Test {
 protected:
  static constexpr size_t kBigSize = 3u << 20;

  void SetUp() override {
    char tmpl[] = "/tmp/confweba-tty-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    m_dir = tmpl;
    sitesim::SiteData data = sitesim::SiteData::Default();
    data.files.push_back({"/files/big.bin", std::string(1024, 'x'), static_cast<int>(kBigSize / 1024)});
    m_sim = std::make_unique<sitesim::CSiteSimulator>(data);
    std::string error;
    ASSERT_TRUE(m_sim->Start("127.0.0.1", 0, false, &error)) << error;
  }
  void TearDown() override {
    m_sim->Stop();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }
  std::string BigUrl() const { return m_sim->BaseUrl() + "files/big.bin"; }

  std::unique_ptr<sitesim::CSiteSimulator> m_sim;
  std::string m_dir;
};

TEST_F(TerminalTest, ProgressLineOnATerminalOnly) {
  Output o = RunConfweba({"get", BigUrl(), m_dir}, true);
  ASSERT_EQ(0, o.exitCode) << o.text;
  EXPECT_EQ(kBigSize, fs::file_size(m_dir + "/big.bin"));
  // The final state of the line, then the result on a line of its own.
  const size_t bar = o.text.find("100% [");
  ASSERT_NE(std::string::npos, bar) << o.text;
  EXPECT_NE(std::string::npos, o.text.find("3.0 MiB / 3.0 MiB", bar)) << o.text;
  EXPECT_NE(std::string::npos, o.text.find("left\x1b[K\r\nresult: 0\r\n", bar)) << o.text;

  // --quiet, and stdout on a pipe: the plain result only.
  o = RunConfweba({"-q", "get", BigUrl(), m_dir, "--name", "q.bin"}, true);
  EXPECT_EQ(0, o.exitCode);
  EXPECT_EQ(0u, o.text.find("result: 0\r\n")) << o.text;
  o = RunConfweba({"get", BigUrl(), m_dir, "--name", "p.bin"}, false);
  EXPECT_EQ(0, o.exitCode);
  EXPECT_EQ(0u, o.text.find("result: 0\n")) << o.text;
  EXPECT_EQ(std::string::npos, o.text.find('\r')) << o.text;
}

TEST_F(TerminalTest, UnannouncedLengthShowsBytesAndRate) {
  sitesim::SiteFault chunked;
  chunked.kind = sitesim::SiteFault::kChunked;
  chunked.pathPrefix = "/files/";
  m_sim->SetFault(chunked);
  const Output o = RunConfweba(
      {"join", m_sim->InvitationUrl("123456"), "--conf-pass", "meet", "--out", m_dir, "--fetch-loader"}, true);
  ASSERT_EQ(0, o.exitCode) << o.text;
  const std::string size = confweba::FormatBytes(static_cast<double>(fs::file_size(m_dir + "/qmxloader.bin")));
  EXPECT_NE(std::string::npos, o.text.find("\r" + size + "  ")) << o.text;
  EXPECT_EQ(std::string::npos, o.text.find("%")) << o.text;
  EXPECT_NE(std::string::npos, o.text.find("result: 0\r\n")) << o.text;
}

// The logon prompt shows the host and realm the server named escaped: a
// realm cannot clear the screen or retitle the window. The user ends the
// input (Ctrl-D), which cancels the logon.
TEST(LogonPrompt, ShowsTheServersRealmEscaped) {
  qmxloopback::LoopbackServer server;
  server.RequireBasic("ann", "pw", "Staff\x1b]0;owned\x07\x1b[2J area");
  ASSERT_TRUE(server.Start());
  const Output o = RunConfweba({"-q", "get", server.Url("/files/x.bin"), "/nonexistent-dir"}, true, "\x04");
  server.Stop();
  EXPECT_EQ(1, o.exitCode) << o.text;
  EXPECT_NE(std::string::npos, o.text.find("asks for a logon (realm \"Staff\\x1b]0;owned\\x07\\x1b[2J area\")"))
      << o.text;
  EXPECT_EQ(std::string::npos, o.text.find('\x1b')) << o.text;
  EXPECT_EQ(std::string::npos, o.text.find('\x07')) << o.text;
}

TEST(ProgressFormat, KnownAndUnknownLengths) {
  // Half of 2 KiB in one second: 1 KiB/s, one second left.
  std::string line = FormatProgress(1024, 2048, 1.0, 80);
  EXPECT_EQ(0u, line.find(" 50% [")) << line;
  EXPECT_NE(std::string::npos, line.find("] 1.0 KiB / 2.0 KiB  1.0 KiB/s  0:01 left")) << line;
  EXPECT_EQ(80u, line.size()) << line;
  const size_t open = line.find('['), filled = line.find_last_of('=');
  EXPECT_EQ((line.find(']') - open - 1) / 2, filled - open) << line;

  // More than announced never shows more than all of it.
  EXPECT_EQ(0u, FormatProgress(5000, 4000, 1.0, 80).find("100% ["));
  // Too narrow for a bar: the numbers only, cut to the width.
  line = FormatProgress(10, 100, 1.0, 40);
  EXPECT_EQ(std::string::npos, line.find('['));
  EXPECT_LE(line.size(), 40u);
  // No length: size and rate; no time yet: no rate.
  EXPECT_EQ("3.0 MiB  1.5 MiB/s", FormatProgress(3u << 20, -1, 2.0, 80));
  EXPECT_EQ("0 B  --/s", FormatProgress(0, 0, 0.0, 80));
  EXPECT_NE(std::string::npos, FormatProgress(0, 100, 0.0, 80).find("--:-- left"));

  EXPECT_EQ("0:00", FormatDuration(0.2));
  EXPECT_EQ("1:05", FormatDuration(65));
  EXPECT_EQ("1:02:03", FormatDuration(3723));
  EXPECT_EQ("--:--", FormatDuration(-1));
}

TEST(BashCompletion, KnowsEveryOption) {
  std::ifstream in(QMX_COMPLETION_SCRIPT);
  std::stringstream script;
  script << in.rdbuf();
  ASSERT_FALSE(script.str().empty());
  const std::regex option("(^|[ ,])(--?[a-z][a-z-]*)");
  for (const char* cmd : {"", "join", "invite", "get", "site", "demo"}) {
    std::vector<std::string> args;
    if (*cmd) args.push_back(cmd);
    args.push_back("--help");
    const Output o = RunConfweba(args, false);
    ASSERT_EQ(0, o.exitCode) << o.text;
    // Options are words of the script: between blanks, quotes or a "|".
    auto known = [&](const std::string& word) {
      return std::regex_search(script.str(), std::regex("[\" |(]" + word + "[\" |)]"));
    };
    if (*cmd) {
      EXPECT_TRUE(known(cmd)) << cmd;
    }
    for (std::sregex_iterator it(o.text.begin(), o.text.end(), option), end; it != end; ++it) {
      const std::string name = (*it)[2];
      EXPECT_TRUE(known(name)) << cmd << " " << name;
    }
  }
}

}  // namespace
