// A host of libqmxconfweba.so for the reliability suites: the test thread
// gets an event queue and drives it, the module's object reports to a
// recording sink, and each round of a case is followed by a count of the
// module's live objects and the process's open descriptors.
#ifndef QMX_TESTS_RELIABILITY_RELHOST_H
#define QMX_TESTS_RELIABILITY_RELHOST_H

#include <dirent.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "IConfWeba.h"
#include "ModuleAllocs.h"
#include "qmxclock.h"
#include "qmxframework.h"

namespace reltest {

struct Outcome {
  enum Kind { kJoin, kInvite } kind;
  int result;
  std::string url, loaderIni, confTokenIni;
};

class RecordingSink : public IConfWebaSink {
 public:
  void OnInviteByEmails(int result) override {
    outcomes.push_back({Outcome::kInvite, result, "", "", ""});
    QmxQueueStop(queue);
  }
  void OnJoinConference(int result, const CRtString& url, const CRtString& loaderIni,
                        const CRtString& confTokenIni) override {
    outcomes.push_back({Outcome::kJoin, result, url, loaderIni, confTokenIni});
    QmxQueueStop(queue);
  }
  IRtEventQueue* queue = nullptr;
  std::vector<Outcome> outcomes;
};

inline size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// What one round left behind.
struct Footprint {
  size_t live;
  size_t fds;
};

class RelHost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(relalloc::ModuleFound());
    m_sink.queue = QmxThreadAttach();
    ASSERT_NE(nullptr, m_sink.queue);
    m_module = IConfWeba::Instance();
    ASSERT_NE(nullptr, m_module);
    ASSERT_EQ(0, m_module->Initialize(&m_sink));
  }

  void TearDown() override {
    QmxFrameworkShutdown();
    QmxThreadDetach();
    QmxClockSetManual(0, 0);
  }

  // Runs the queue until pred holds or a generous deadline passes.
  bool RunUntil(const std::function<bool()>& pred, std::chrono::seconds deadline = std::chrono::seconds(60)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      QmxThreadRun(100);
    }
    return true;
  }

  // Joins and waits for the one reply; the outcome, or result -1 when the
  // call itself failed (its code in *rt) or nothing came.
  Outcome Join(const std::string& invitation, int* rt = nullptr) {
    const size_t before = m_sink.outcomes.size();
    const int r = m_module->JoinConference(invitation, "meet", "ann@example.com", "Ann Lee", "", "");
    if (rt) *rt = r;
    if (r != 0) return {Outcome::kJoin, -1, "", "", ""};
    if (!RunUntil([&] { return m_sink.outcomes.size() > before; })) return {Outcome::kJoin, -1, "", "", ""};
    EXPECT_EQ(before + 1, m_sink.outcomes.size());
    return m_sink.outcomes.back();
  }

  // Runs round() n times and checks that neither the module's live objects
  // nor the open descriptors grow from the second round on (the first one
  // warms up connections and the site).
  void Rounds(int n, const std::function<void(int)>& round) {
    std::vector<Footprint> prints;
    for (int i = 0; i < n && !HasFatalFailure(); ++i) {
      round(i);
      QmxThreadRunPending();
      // A connection the transport is still closing on its own thread, or a
      // status report being packed into an event on the transport's thread,
      // shows for a moment; a leaked one never goes. So from the third round
      // on, the loop runs until both counts are back (or a deadline passes),
      // and the counts taken are those seen when they were.
      Footprint now{relalloc::LiveObjects(), OpenDescriptors()};
      if (i >= 2)
        RunUntil(
            [&] {
              now = {relalloc::LiveObjects(), OpenDescriptors()};
              return now.live <= prints[1].live && now.fds <= prints[1].fds;
            },
            std::chrono::seconds(5));
      prints.push_back(now);
    }
    for (size_t i = 2; i < prints.size(); ++i) {
      EXPECT_LE(prints[i].live, prints[1].live) << "module objects grow in round " << i;
      EXPECT_LE(prints[i].fds, prints[1].fds) << "descriptors grow in round " << i;
    }
  }

  RecordingSink m_sink;
  IConfWeba* m_module = nullptr;
};

}  // namespace reltest

#endif
