// A host of libqmxconfweba.so for the tests: the test's thread gets an event
// queue and drives it, and the module's object reports to a recording sink.
// Each request waits for its one reply, until a generous deadline at most.
#ifndef QMX_TESTS_SUPPORT_MODULEHOST_H
#define QMX_TESTS_SUPPORT_MODULEHOST_H

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "IConfWeba.h"
#include "qmxframework.h"

// Runs the calling thread's queue until pred holds or a generous deadline passes.
inline bool RunUntil(const std::function<bool()>& pred, std::chrono::seconds deadline = std::chrono::seconds(60)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QmxThreadRun(100);
  }
  return true;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// One reply the sink got; an invitation's carries its result only.
struct Outcome {
  int result = -1;
  bool join = false;
  std::string url = {}, loaderIni = {}, confTokenIni = {};
};

class RecordingSink : public IConfWebaSink {
 public:
  void OnInviteByEmails(int result) override { Add({result}); }
  void OnJoinConference(int result, const CRtString& url, const CRtString& loaderIni,
                        const CRtString& confTokenIni) override {
    Add({result, true, url, loaderIni, confTokenIni});
  }
  void Add(const Outcome& o) {
    outcomes.push_back(o);
    QmxQueueStop(queue);
  }
  IRtEventQueue* queue = nullptr;
  std::vector<Outcome> outcomes;
};

class ModuleHost : public ::testing::Test {
 protected:
  void SetUp() override {
    m_sink.queue = QmxThreadAttach();
    ASSERT_NE(nullptr, m_sink.queue);
    m_module = IConfWeba::Instance();
    ASSERT_NE(nullptr, m_module);
    ASSERT_EQ(0, m_module->Initialize(&m_sink));
  }
  void TearDown() override {
    QmxFrameworkShutdown();
    QmxThreadDetach();
  }

  // Starts a request, which must be accepted, and waits for its one reply of
  // the same kind: the sink's outcome, or the call's own code when it refused,
  // or -1 when nothing came.
  Outcome Await(bool join, const std::function<int()>& call) {
    const size_t before = m_sink.outcomes.size();
    const int rt = call();
    EXPECT_EQ(0, rt) << "refused at once";
    if (rt != 0) return {rt};
    EXPECT_TRUE(RunUntil([&] { return m_sink.outcomes.size() > before; })) << "no reply";
    if (m_sink.outcomes.size() == before) return {};
    EXPECT_EQ(before + 1, m_sink.outcomes.size());
    EXPECT_EQ(join, m_sink.outcomes.back().join);
    return m_sink.outcomes.back();
  }
  Outcome Join(const std::string& url, const std::string& pass = "meet", const std::string& email = "ann@example.com",
               const std::string& name = "Ann Lee", const std::string& user = "", const std::string& password = "") {
    return Await(true, [&] { return m_module->JoinConference(url, pass, email, name, user, password); });
  }
  // An invitation as the site's host account.
  int Invite(const std::string& site, const std::vector<std::string>& emails = {"a@example.com"},
             const std::string& user = "host", const std::string& password = "secret") {
    return Await(false, [&] { return m_module->InviteByEmails(site, "site1", user, password, "123456", emails); })
        .result;
  }

  RecordingSink m_sink;
  IConfWeba* m_module = nullptr;
};

#endif
