// A host of libqmxconfweba.so for the tests: the test's thread gets an event
// queue, the module's object gets a recording sink, and a conference-site
// simulator runs on 127.0.0.1. Everything is stopped in TearDown.
#ifndef QMX_TESTS_CONFWEBA_FIXTURE_H
#define QMX_TESTS_CONFWEBA_FIXTURE_H

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "IConfWeba.h"
#include "SiteSimulator.h"
#include "qmxframework.h"

struct JoinReply {
  int result = -1;
  std::string confDownloadUrl;
  std::string loaderIni;
  std::string confTokenIni;
};

class RecordingSink : public IConfWebaSink {
 public:
  void OnInviteByEmails(int result) override {
    invites.push_back(result);
    QmxQueueStop(queue);
  }
  void OnJoinConference(int result, const CRtString& url, const CRtString& loaderIni,
                        const CRtString& confTokenIni) override {
    joins.push_back(JoinReply{result, url, loaderIni, confTokenIni});
    QmxQueueStop(queue);
  }
  IRtEventQueue* queue = nullptr;
  std::vector<int> invites;
  std::vector<JoinReply> joins;
};

class ConfWebaTest : public ::testing::Test {
 protected:
  // The site the tests talk to: the built-in one plus files for downloads.
  static sitesim::SiteData TestData() {
    sitesim::SiteData d = sitesim::SiteData::Default();
    d.files.push_back({"/files/loader.exe", "new loader bytes", 1});
    d.files.push_back({"/files/empty.bin", "", 1});
    return d;
  }

  void SetUp() override {
    CRtTrace::SetSink(&ConfWebaTest::Capture, this);
    sink_.queue = QmxThreadAttach();
    ASSERT_NE(nullptr, sink_.queue);
    module_ = IConfWeba::Instance();
    ASSERT_NE(nullptr, module_);
    ASSERT_EQ(0, module_->Initialize(&sink_));
    StartSite(false);
  }

  void TearDown() override {
    if (sim_) sim_->Stop();
    QmxFrameworkShutdown();
    QmxThreadDetach();
    CRtTrace::SetSink(nullptr, nullptr);
  }

  void StartSite(bool tls) {
    if (sim_) sim_->Stop();
    sim_ = std::make_unique<sitesim::CSiteSimulator>(TestData());
    std::string error;
    ASSERT_TRUE(sim_->Start("127.0.0.1", 0, tls, &error)) << error;
  }

  // Runs the queue until pred holds or a generous deadline passes.
  bool RunUntil(const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      QmxThreadRun(200);
    }
    return true;
  }

  // Sends a join and waits for its reply.
  JoinReply Join(const std::string& url, const std::string& pass = "meet", const std::string& email = "",
                 const std::string& name = "", const std::string& user = "", const std::string& password = "") {
    const size_t before = sink_.joins.size();
    EXPECT_EQ(0, module_->JoinConference(url, pass, email, name, user, password));
    EXPECT_TRUE(RunUntil([&] { return sink_.joins.size() > before; }));
    return sink_.joins.size() > before ? sink_.joins.back() : JoinReply();
  }

  // Sends an invitation as the site's host account and waits for its reply.
  int Invite(const std::vector<std::string>& emails, const std::string& user = "host",
             const std::string& password = "secret", const std::string& confId = "123456") {
    const size_t before = sink_.invites.size();
    EXPECT_EQ(0, module_->InviteByEmails(sim_->SiteUrl(), "site1", user, password, confId, emails));
    EXPECT_TRUE(RunUntil([&] { return sink_.invites.size() > before; }));
    return sink_.invites.size() > before ? sink_.invites.back() : -1;
  }

  // The requests the site received for its XML interface.
  std::vector<sitesim::SiteRequest> XmlCalls() const {
    std::vector<sitesim::SiteRequest> calls;
    for (auto& r : sim_->Received()) {
      if (r.path.find("XmlApiInvoker") != std::string::npos) calls.push_back(r);
    }
    return calls;
  }

  bool Traced(const std::string& text) const {
    std::lock_guard<std::mutex> lock(traceLock_);
    for (const auto& line : traces_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  static void Capture(int, const char* text, void* user) {
    auto* self = static_cast<ConfWebaTest*>(user);
    std::lock_guard<std::mutex> lock(self->traceLock_);
    self->traces_.push_back(text);
  }

  RecordingSink sink_;
  IConfWeba* module_ = nullptr;
  std::unique_ptr<sitesim::CSiteSimulator> sim_;
  mutable std::mutex traceLock_;
  std::vector<std::string> traces_;
};

#endif
