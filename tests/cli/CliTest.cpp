// The confweba program, run as a user runs it, against a simulator started
// by the test on 127.0.0.1.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <algorithm>
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

struct CliRun {
  int exitCode = -1;
  std::string out;
  std::string err;
  json Json() const { return json::parse(out, nullptr, false); }
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
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

  // Runs confweba with args, stdin from /dev/null (or the text input), the
  // password variables removed from its environment (or set as in env), and
  // waits for it.
  CliRun Run(const std::vector<std::string>& args, const std::string* input = nullptr,
             const std::vector<std::string>& env = {}) {
    const std::string outPath = m_dir + "/stdout", errPath = m_dir + "/stderr", inPath = m_dir + "/stdin";
    if (input) std::ofstream(inPath, std::ios::binary) << *input;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input ? inPath.c_str() : "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = Spawn(args, &actions, env);
    posix_spawn_file_actions_destroy(&actions);
    CliRun run;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    run.out = Slurp(outPath);
    run.err = Slurp(errPath);
    return run;
  }

  pid_t Spawn(const std::vector<std::string>& args, posix_spawn_file_actions_t* actions,
              std::vector<std::string> env = {}) {
    std::vector<std::string> all{QMX_CONFWEBA_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (char** e = environ; *e; ++e) {
      if (strncmp(*e, "QMX_CONF_PASS=", 14) != 0 && strncmp(*e, "QMX_PASSWORD=", 13) != 0) env.push_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(0, posix_spawn(&pid, QMX_CONFWEBA_BINARY, actions, nullptr, argv.data(), envp.data()));
    return pid;
  }

  std::string LoaderUrl() const { return m_sim.BaseUrl() + "files/qmxloader.bin"; }

  sitesim::CSiteSimulator m_sim;
  std::string m_dir;
};

TEST_F(CliTest, JoinWritesTheTextsAndFetchesTheLoader) {
  const std::string out = m_dir + "/meeting";
  const CliRun r = Run({"join", m_sim.InvitationUrl("123456"), "--conf-pass", "meet", "--name", "Ann Lee", "--out", out,
                        "--fetch-loader", "--json"});
  ASSERT_EQ(0, r.exitCode) << r.err;
  const json j = r.Json();
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ("join", j["command"]);
  EXPECT_EQ(0, j["result"]);
  EXPECT_EQ("", j["error"]);
  EXPECT_EQ(m_sim.BaseUrl() + "files/qmxloader.bin", j["confDownloadUrl"]);
  EXPECT_EQ(0u, j["confTokenIni"].get<std::string>().find("[Parlevo]\nConfId=123456\n"));
  EXPECT_EQ(0u, j["loaderIni"].get<std::string>().find("[qmxloader]\n"));
  EXPECT_EQ(j["confTokenIni"], Slurp(out + "/conftoken.ini"));
  EXPECT_EQ(j["loaderIni"], Slurp(out + "/loader.ini"));
  EXPECT_EQ(j["confDownloadUrl"].get<std::string>() + "\n", Slurp(out + "/loaderurl.txt"));
  EXPECT_EQ(0, j["loader"]["result"]);
  EXPECT_EQ(fs::file_size(out + "/qmxloader.bin"), j["loader"]["bytes"].get<uintmax_t>());
}

TEST_F(CliTest, RefusedJoinSaysWhyAndExitsOne) {
  CliRun r = Run({"--json", "join", m_sim.InvitationUrl("123456"), "--conf-pass", "nope"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(4021, r.Json()["result"]);
  EXPECT_EQ("wrong conference password", r.Json()["error"]);

  r = Run({"join", "http://127.0.0.1/no-site"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("invalid argument (10008)")) << r.err;
}

TEST_F(CliTest, InviteReportsTheSitesAnswer) {
  CliRun r = Run({"invite", "--site-url", m_sim.SiteUrl(), "--site-name", "site1", "--conf-id", "123456", "--user",
                  "host", "--password", "secret", "a@example.com", "b@example.com", "--json"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(json::parse(R"({"command":"invite","result":0,"error":"","sent":2})"), r.Json());
  EXPECT_EQ((std::vector<std::string>{"a@example.com", "b@example.com"}), m_sim.Invited());

  r = Run({"invite", "--site-url", m_sim.SiteUrl(), "--site-name", "site1", "--conf-id", "999", "--user", "host",
           "--password", "secret", "a@example.com"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("conference not found (4020)")) << r.err;
}

TEST_F(CliTest, GetChecksThatTheFileWasWritten) {
  CliRun r = Run({"--json", "get", m_sim.BaseUrl() + "files/qmxloader.bin", m_dir + "/dl", "--name", "l.bin"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(m_dir + "/dl/l.bin", r.Json()["file"]);
  EXPECT_EQ(fs::file_size(m_dir + "/dl/l.bin"), r.Json()["bytes"].get<uintmax_t>());

  // A regular file where the directory should be: a local write failure.
  std::ofstream(m_dir + "/blocker") << "x";
  r = Run({"--json", "get", m_sim.BaseUrl() + "files/qmxloader.bin", m_dir + "/blocker"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(4011, r.Json()["result"]) << r.out;
  EXPECT_EQ("the file could not be written", r.Json()["error"]);
}

TEST_F(CliTest, UsageErrorsExitTwoWithUsage) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"join"}, {"join", "x", "--bogus"}, {"invite", "a@b"}, {"frobnicate"}}) {
    const CliRun r = Run(args);
    EXPECT_EQ(2, r.exitCode) << (args.empty() ? "" : args[0]);
    EXPECT_NE(std::string::npos, r.err.find("Usage:")) << r.err;
  }
  EXPECT_EQ(0, Run({"--help"}).exitCode);
  EXPECT_EQ(0u, Run({"--version"}).out.find("confweba "));
}

// Over HTTPS too, with certificates checked: the demo trusts the
// certificate its own simulator made, and no other.
TEST_F(CliTest, DemoRunsAllThreeSteps) {
  for (const bool tls : {false, true}) {
    const CliRun r =
        Run(tls ? std::vector<std::string>{"demo", "--tls", "--json"} : std::vector<std::string>{"demo", "--json"});
    ASSERT_EQ(0, r.exitCode) << r.err << r.out;
    const json j = r.Json();
    EXPECT_EQ(0, j["result"]);
    EXPECT_EQ(0u, j["site"].get<std::string>().find(tls ? "https://" : "http://"));
    ASSERT_EQ(3u, j["steps"].size());
    EXPECT_EQ("join", j["steps"][0]["command"]);
    EXPECT_EQ("invite", j["steps"][1]["command"]);
    EXPECT_EQ(2, j["steps"][1]["sent"]);
    EXPECT_GT(j["steps"][2]["bytes"].get<int>(), 0);
    EXPECT_EQ(std::string::npos, r.err.find("--insecure")) << r.err;
  }
}

TEST_F(CliTest, SiteCommandServesUntilTerminated) {
  int pipeFd[2];
  ASSERT_EQ(0, pipe(pipeFd));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFd[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipeFd[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const pid_t pid = Spawn({"site", "--json"}, &actions);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFd[1]);
  ASSERT_GT(pid, 0);

  // The first line announces the site; reading blocks until it is there.
  std::string line;
  char c;
  while (read(pipeFd[0], &c, 1) == 1 && c != '\n') line += c;
  const json started = json::parse(line, nullptr, false);
  std::string invitation;
  if (started.is_object() && !started["invitations"].empty()) invitation = started["invitations"][0];

  const CliRun r = Run({"--json", "join", invitation, "--conf-pass", "meet"});
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  close(pipeFd[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_FALSE(invitation.empty()) << line;
  EXPECT_EQ(0, r.Json()["result"]) << r.out << r.err;
}

// The transport options: refused before anything is sent when they are
// wrong; --insecure says on stderr that certificates go unchecked.
TEST_F(CliTest, TransportOptions) {
  fs::create_directories(m_dir + "/dl");
  struct Case {
    std::vector<std::string> options;
    int exitCode;
    const char* err;  // expected in stderr
  };
  const Case cases[] = {
      {{"--cacert", m_dir + "/missing.pem"}, 2, "--cacert"},
      {{"--cacert", m_dir + "/dl"}, 2, "cannot read it"},
      {{"--max-time", "0"}, 2, "--max-time"},
      {{"--max-time", "soon"}, 2, "--max-time"},
      {{"--connect-timeout", "-1.5"}, 2, "connect-timeout"},
      {{"--max-time", "nan"}, 2, "--max-time"},
      {{"--max-time", "30.5", "--connect-timeout", "0.75"}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[0] + (c.options.size() > 1 ? " " + c.options[1] : ""));
    m_sim.ClearReceived();
    // Global options stand after the command as well.
    std::vector<std::string> args{"get", LoaderUrl(), m_dir + "/dl", "--name", "t.bin"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const CliRun r = Run(args);
    EXPECT_EQ(c.exitCode, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    EXPECT_EQ(c.exitCode == 0 ? 1u : 0u, m_sim.Received().size());
  }
}

// HTTPS certificates are checked, with the reason of a refusal: --cacert
// adds a trusted certificate, --insecure lets everything through and warns.
TEST_F(CliTest, CertificatesAreCheckedUnlessInsecure) {
  qmxloopback::ServerOptions plain, expired, otherName;
  plain.tls = expired.tls = otherName.tls = true;
  expired.expiredCertificate = true;
  otherName.certificateHosts = {"example.com"};
  qmxloopback::LoopbackServer good(plain), old(expired), wrong(otherName);
  for (auto* server : {&good, &old, &wrong}) ASSERT_TRUE(server->Start());
  struct Case {
    const char* name;
    qmxloopback::LoopbackServer* server;
    std::vector<std::string> options;
    int exitCode;
    const char* err;
  };
  const Case cases[] = {
      {"unknown issuer", &good, {}, 1, "(4010): certificate rejected: unknown issuer\n"},
      {"--insecure", &good, {"--insecure"}, 0, "confweba: warning: --insecure: HTTPS certificates are not checked\n"},
      {"--cacert", &good, {"--cacert", good.CertificateFile()}, 0, ""},
      {"expired",
       &old,
       {"--cacert", old.CertificateFile()},
       1,
       "(4010): certificate rejected: expired or not yet valid\n"},
      {"wrong name",
       &wrong,
       {"--cacert", wrong.CertificateFile()},
       1,
       "(4010): certificate rejected: wrong host name\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    fs::remove(m_dir + "/tls.bin", ec);
    std::vector<std::string> args = c.options;
    const std::vector<std::string> get{"get", c.server->Url("/files/tls.bin"), m_dir, "--name", "tls.bin"};
    args.insert(args.end(), get.begin(), get.end());
    const CliRun r = Run(args);
    EXPECT_EQ(c.exitCode, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    EXPECT_EQ(c.exitCode == 0, fs::exists(m_dir + "/tls.bin"));
  }
  for (auto* server : {&good, &old, &wrong}) server->Stop();
}

// Passwords from stdin ("-") and from the environment reach the site as
// typed, without the line break; an option on the command line wins over
// the environment.
TEST_F(CliTest, PasswordsFromStdinAndEnvironment) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::vector<std::string> env;
    int exitCode;
    const char* confPass;  // the field as the site received it (nullptr: nothing sent)
    const char* pass;
  };
  const std::string inv = m_sim.InvitationUrl("123456");
  const Case cases[] = {
      {"stdin line", {"join", inv, "--conf-pass", "-"}, "meet\n", {}, 0, "meet", nullptr},
      {"stdin CRLF, no final line feed", {"join", inv, "--conf-pass", "-"}, "meet\r\n", {}, 0, "meet", nullptr},
      {"both from stdin, in order",
       {"join", inv, "--user", "host", "--password", "-", "--conf-pass", "-"},
       "meet\nsecret",
       {},
       0,
       "meet",
       "secret"},
      {"environment",
       {"join", inv, "--user", "host"},
       "",
       {"QMX_CONF_PASS=meet", "QMX_PASSWORD=secret"},
       0,
       "meet",
       "secret"},
      {"option wins", {"join", inv, "--conf-pass", "meet"}, "", {"QMX_CONF_PASS=wrong"}, 0, "meet", nullptr},
      {"empty stdin", {"join", inv, "--conf-pass", "-"}, "", {}, 2, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    m_sim.ClearReceived();
    const CliRun r = Run(c.args, &c.input, c.env);
    EXPECT_EQ(c.exitCode, r.exitCode) << r.err;
    const std::vector<sitesim::SiteRequest> got = m_sim.Received();
    if (!c.confPass) {
      EXPECT_TRUE(got.empty());
      continue;
    }
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(c.confPass, got[0].fields.at("confPass"));
    if (c.pass) {
      EXPECT_EQ(c.pass, got[0].fields.at("pass"));
    }
  }

  // invite's --password from the environment.
  m_sim.ClearReceived();
  const CliRun r = Run({"invite", "--site-url", m_sim.SiteUrl(), "--site-name", "site1", "--conf-id", "123456",
                        "--user", "host", "a@example.com"},
                       nullptr, {"QMX_PASSWORD=secret"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(std::vector<std::string>{"a@example.com"}, m_sim.Invited());
}

// join --out writes files only the user can read, replacing what was there
// (a 0644 file, a symlink) instead of writing into it.
TEST_F(CliTest, OutFilesArePrivateAndNotWrittenThroughSymlinks) {
  const std::string out = m_dir + "/meeting";
  fs::create_directories(out);
  std::ofstream(out + "/conftoken.ini") << "old";
  chmod((out + "/conftoken.ini").c_str(), 0644);
  std::ofstream(m_dir + "/victim") << "keep";
  fs::create_symlink(m_dir + "/victim", out + "/loader.ini");

  const CliRun r = Run({"join", m_sim.InvitationUrl("123456"), "--conf-pass", "meet", "--out", out});
  ASSERT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ("keep", Slurp(m_dir + "/victim"));
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(out)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"conftoken.ini", "loader.ini", "loaderurl.txt"}), names);
  for (const auto& name : names) {
    struct stat st;
    ASSERT_EQ(0, lstat((out + "/" + name).c_str(), &st)) << name;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    EXPECT_EQ(0600u, st.st_mode & 07777) << name;
  }
  EXPECT_EQ(0u, Slurp(out + "/loader.ini").find("[qmxloader]\n"));
  EXPECT_EQ(0u, Slurp(out + "/conftoken.ini").find("[Parlevo]\n"));
}

// Control characters a site sends never reach the terminal: the module
// drops entries with C0 controls, and the program escapes what is left (the
// C1 controls, which some terminals obey as well); the configuration texts
// keep their lines.
TEST_F(CliTest, ControlCharactersFromTheSiteArePrintedEscaped) {
  sitesim::SiteData data = sitesim::SiteData::Default();
  sitesim::SiteConference& conf = data.conferences.front();
  conf.confToken[1].value =
      "Weekly\xc2\x9b"
      "2J review";  // U+009B: CSI
  conf.confToken.push_back({"Title", "x\x1b]0;owned\x07\ry"});
  conf.downLoad[0].value =
      "{base}files/qmx\xc2\x9b"
      "2Jloader.bin";
  sitesim::CSiteSimulator hostile(data);
  std::string error;
  ASSERT_TRUE(hostile.Start("127.0.0.1", 0, false, &error)) << error;
  const CliRun r = Run({"join", hostile.InvitationUrl("123456"), "--conf-pass", "meet"});
  hostile.Stop();
  ASSERT_EQ(0, r.exitCode) << r.err;
  for (const char* raw : {"\x1b", "\x07", "\r", "\xc2\x9b"}) {
    EXPECT_EQ(std::string::npos, r.out.find(raw)) << r.out;
  }
  EXPECT_NE(std::string::npos, r.out.find("\n    ConfName=Weekly\\u009b2J review\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("\n    ConfId=123456\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("loader address: " + hostile.BaseUrl() + "files/qmx\\u009b2Jloader.bin\n"))
      << r.out;
}

// get --name takes a plain file name only, and says so before sending.
TEST_F(CliTest, GetRefusesNamesThatAreNotPlainFileNames) {
  for (const char* name : {"", ".", "..", "a/b", "../up.bin", "/tmp/x"}) {
    SCOPED_TRACE(name);
    const CliRun r = Run({"get", LoaderUrl(), m_dir, "--name", name});
    EXPECT_EQ(2, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("is not a plain file name")) << r.err;
  }
  EXPECT_TRUE(m_sim.Received().empty());
  EXPECT_FALSE(fs::exists(m_dir + "/up.bin"));
}

// The invitation's request has room for a limited number of addresses:
// the program says how many went out, or that not even one fitted.
TEST_F(CliTest, InviteSaysHowManyAddressesWentOut) {
  const std::vector<std::string> site{"invite", "--site-url", m_sim.SiteUrl(), "--site-name", "site1", "--conf-id",
                                      "123456", "--user",     "host",          "--password",  "secret"};
  auto invite = [&](const std::vector<std::string>& emails) {
    std::vector<std::string> args = site;
    args.insert(args.end(), emails.begin(), emails.end());
    return Run(args);
  };
  CliRun r = invite({"a@example.com", "b@example.com"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ("result: 0\ninvitations sent to 2 addresses\n", r.out);

  std::vector<std::string> many;
  for (int i = 0; i < 60; ++i) many.push_back(std::string(90, 'a' + i % 26) + std::to_string(i) + "@example.com");
  const size_t before = m_sim.Invited().size();
  r = invite(many);
  EXPECT_EQ(0, r.exitCode) << r.err;
  const size_t sent = m_sim.Invited().size() - before;
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, many.size());
  EXPECT_EQ("result: 0\ninvitations sent to " + std::to_string(sent) +
                " of 60 addresses; the rest did not fit in one request\n",
            r.out);

  m_sim.ClearReceived();
  r = invite({std::string(5000, 'x') + "@example.com"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("(10008): not even the first address fits in one request")) << r.err;
  EXPECT_TRUE(m_sim.Received().empty());
}

// After a failure the transport's cause follows the module's result, in the
// text and as "cause" in JSON.
TEST_F(CliTest, FailuresSayTheTransportsCause) {
  const std::string refused = "http://127.0.0.1:" + std::to_string(qmxloopback::UnusedPort());
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int result;
    const char* cause;
    sitesim::SiteFault::Kind fault;
  };
  const Case cases[] = {
      {"join, connection refused",
       {"join", refused + "/site1/join.do?confKey=123456&lang=en", "--conf-pass", "x"},
       0,
       "connection refused",
       sitesim::SiteFault::kNone},
      {"get, connection refused",
       {"get", refused + "/files/x.bin", m_dir},
       4010,
       "connection refused",
       sitesim::SiteFault::kNone},
      {"get, 404",
       {"get", m_sim.BaseUrl() + "files/missing.bin", m_dir},
       4010,
       "HTTP status 404",
       sitesim::SiteFault::kNone},
      {"get, --max-time",
       {"get", LoaderUrl(), m_dir, "--max-time", "0.3"},
       4010,
       "timed out",
       sitesim::SiteFault::kStall},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sitesim::SiteFault fault;
    fault.kind = c.fault;
    m_sim.SetFault(fault);
    const auto start = std::chrono::steady_clock::now();
    const CliRun text = Run(c.args);
    m_sim.ReleaseStall();
    // The stall would hold the request for the default 30 s without the limit.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(1, text.exitCode);
    EXPECT_NE(std::string::npos, text.err.find(" failed: ")) << text.err;
    EXPECT_NE(std::string::npos, text.err.find("): " + std::string(c.cause) + "\n")) << text.err;

    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const CliRun j = Run(args);
    m_sim.ReleaseStall();
    EXPECT_EQ(1, j.exitCode);
    if (c.result) {
      EXPECT_EQ(c.result, j.Json()["result"]) << j.out;
    }
    EXPECT_EQ(c.cause, j.Json()["cause"]) << j.out;
  }
  m_sim.ClearFault();
}

}  // namespace
