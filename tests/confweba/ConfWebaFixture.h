// A host of libqmxconfweba.so for the tests: the test's thread gets an event
// queue, the module's object gets a recording sink, and a conference-site
// simulator runs on 127.0.0.1. Everything is stopped in TearDown.
#ifndef QMX_TESTS_CONFWEBA_FIXTURE_H
#define QMX_TESTS_CONFWEBA_FIXTURE_H

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "IConfWeba.h"
#include "SiteSimulator.h"
#include "qmxframework.h"

// Runs the thread's queue until pred holds or a generous deadline passes.
inline bool RunUntil(const std::function<bool()>& pred) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QmxThreadRun(200);
  }
  return true;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

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
  void SetUp() override {
    m_sink.queue = QmxThreadAttach();
    ASSERT_NE(nullptr, m_sink.queue);
    m_module = IConfWeba::Instance();
    ASSERT_NE(nullptr, m_module);
    ASSERT_EQ(0, m_module->Initialize(&m_sink));
    m_sim = std::make_unique<sitesim::CSiteSimulator>();
    std::string error;
    ASSERT_TRUE(m_sim->Start("127.0.0.1", 0, false, &error)) << error;
  }

  void TearDown() override {
    if (m_sim) m_sim->Stop();
    QmxFrameworkShutdown();
    QmxThreadDetach();
  }

  // Makes the site answer every request with body.
  void ReplyWith(const std::string& body) {
    sitesim::SiteFault f;
    f.kind = body.empty() ? sitesim::SiteFault::kEmptyBody : sitesim::SiteFault::kRawBody;
    f.body = body;
    m_sim->SetFault(f);
  }

  // Sends a join and waits for its reply.
  JoinReply Join(const std::string& url, const std::string& pass = "meet", const std::string& email = "",
                 const std::string& name = "", const std::string& user = "", const std::string& password = "") {
    const size_t before = m_sink.joins.size();
    EXPECT_EQ(0, m_module->JoinConference(url, pass, email, name, user, password));
    EXPECT_TRUE(RunUntil([&] { return m_sink.joins.size() > before; }));
    return m_sink.joins.size() > before ? m_sink.joins.back() : JoinReply();
  }

  // Sends an invitation (by default as the site's host account) and waits for its reply.
  int Invite(const std::vector<std::string>& emails, const std::string& user = "host",
             const std::string& password = "secret", const std::string& confId = "123456",
             const std::string& site = "") {
    const size_t before = m_sink.invites.size();
    EXPECT_EQ(
        0, m_module->InviteByEmails(site.empty() ? m_sim->SiteUrl() : site, "site1", user, password, confId, emails));
    EXPECT_TRUE(RunUntil([&] { return m_sink.invites.size() > before; }));
    return m_sink.invites.size() > before ? m_sink.invites.back() : -1;
  }

  // The requests the site received for its XML interface.
  std::vector<sitesim::SiteRequest> XmlCalls() const {
    std::vector<sitesim::SiteRequest> calls;
    for (auto& r : m_sim->Received()) {
      if (r.path.find("XmlApiInvoker") != std::string::npos) calls.push_back(r);
    }
    return calls;
  }

  RecordingSink m_sink;
  IConfWeba* m_module = nullptr;
  std::unique_ptr<sitesim::CSiteSimulator> m_sim;
};

#endif
