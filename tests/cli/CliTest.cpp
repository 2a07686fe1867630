// The confweba program, run as a user runs it, against a simulator started
// by the test on 127.0.0.1.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "SiteSimulator.h"

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
    dir_ = tmpl;
    std::string error;
    ASSERT_TRUE(sim_.Start("127.0.0.1", 0, false, &error)) << error;
  }
  void TearDown() override {
    sim_.Stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Runs confweba with args, stdin from /dev/null, and waits for it.
  CliRun Run(const std::vector<std::string>& args) {
    const std::string outPath = dir_ + "/stdout", errPath = dir_ + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = Spawn(args, &actions);
    posix_spawn_file_actions_destroy(&actions);
    CliRun run;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    run.out = Slurp(outPath);
    run.err = Slurp(errPath);
    return run;
  }

  pid_t Spawn(const std::vector<std::string>& args, posix_spawn_file_actions_t* actions) {
    std::vector<std::string> all{QMX_CONFWEBA_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(0, posix_spawn(&pid, QMX_CONFWEBA_BINARY, actions, nullptr, argv.data(), environ));
    return pid;
  }

  sitesim::CSiteSimulator sim_;
  std::string dir_;
};

TEST_F(CliTest, JoinWritesTheTextsAndFetchesTheLoader) {
  const std::string out = dir_ + "/meeting";
  const CliRun r = Run({"join", sim_.InvitationUrl("123456"), "--conf-pass", "meet", "--name", "Ann Lee",
                        "--out", out, "--fetch-loader", "--json"});
  ASSERT_EQ(0, r.exitCode) << r.err;
  const json j = r.Json();
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ("join", j["command"]);
  EXPECT_EQ(0, j["result"]);
  EXPECT_EQ("", j["error"]);
  EXPECT_EQ(sim_.BaseUrl() + "files/qmxloader.bin", j["confDownloadUrl"]);
  EXPECT_EQ(0u, j["confTokenIni"].get<std::string>().find("[Parlevo]\nConfId=123456\n"));
  EXPECT_EQ(0u, j["loaderIni"].get<std::string>().find("[qmxloader]\n"));
  EXPECT_EQ(j["confTokenIni"], Slurp(out + "/conftoken.ini"));
  EXPECT_EQ(j["loaderIni"], Slurp(out + "/loader.ini"));
  EXPECT_EQ(j["confDownloadUrl"].get<std::string>() + "\n", Slurp(out + "/loaderurl.txt"));
  EXPECT_EQ(0, j["loader"]["result"]);
  EXPECT_EQ(fs::file_size(out + "/qmxloader.bin"), j["loader"]["bytes"].get<uintmax_t>());
}

TEST_F(CliTest, RefusedJoinSaysWhyAndExitsOne) {
  CliRun r = Run({"--json", "join", sim_.InvitationUrl("123456"), "--conf-pass", "nope"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(4021, r.Json()["result"]);
  EXPECT_EQ("wrong conference password", r.Json()["error"]);

  r = Run({"join", "http://127.0.0.1/no-site"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("invalid argument (10008)")) << r.err;
}

TEST_F(CliTest, InviteReportsTheSitesAnswer) {
  CliRun r = Run({"invite", "--site-url", sim_.SiteUrl(), "--site-name", "site1", "--conf-id", "123456", "--user",
                  "host", "--password", "secret", "a@example.com", "b@example.com", "--json"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(json::parse(R"({"command":"invite","result":0,"error":""})"), r.Json());
  EXPECT_EQ((std::vector<std::string>{"a@example.com", "b@example.com"}), sim_.Invited());

  r = Run({"invite", "--site-url", sim_.SiteUrl(), "--site-name", "site1", "--conf-id", "999", "--user", "host",
           "--password", "secret", "a@example.com"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.err.find("conference not found (4020)")) << r.err;
}

TEST_F(CliTest, GetChecksThatTheFileWasWritten) {
  CliRun r = Run({"--json", "get", sim_.BaseUrl() + "files/qmxloader.bin", dir_ + "/dl", "--name", "l.bin"});
  EXPECT_EQ(0, r.exitCode) << r.err;
  EXPECT_EQ(dir_ + "/dl/l.bin", r.Json()["file"]);
  EXPECT_EQ(fs::file_size(dir_ + "/dl/l.bin"), r.Json()["bytes"].get<uintmax_t>());

  // A regular file where the directory should be: the module still says 0.
  std::ofstream(dir_ + "/blocker") << "x";
  r = Run({"--json", "get", sim_.BaseUrl() + "files/qmxloader.bin", dir_ + "/blocker"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(5001, r.Json()["result"]);

  // Nothing listens on port 1: no body.
  r = Run({"--json", "get", "http://127.0.0.1:1/files/x.bin", dir_});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(4010, r.Json()["result"]);
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

TEST_F(CliTest, DemoRunsAllThreeSteps) {
  const CliRun r = Run({"demo", "--json"});
  ASSERT_EQ(0, r.exitCode) << r.err;
  const json j = r.Json();
  EXPECT_EQ(0, j["result"]);
  ASSERT_EQ(3u, j["steps"].size());
  EXPECT_EQ("join", j["steps"][0]["command"]);
  EXPECT_EQ("invite", j["steps"][1]["command"]);
  EXPECT_GT(j["steps"][2]["bytes"].get<int>(), 0);
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

}  // namespace
