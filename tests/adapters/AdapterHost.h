// What the adapter tests share: the simulator and the module, and the join
// whose reply starts an invitation from inside the loop under test, as a
// GUI would, while a framework timer fires three times; the loop quits
// itself through m_quit once the invitation's reply and the third tick came.
#ifndef QMX_TESTS_ADAPTERS_HOST_H
#define QMX_TESTS_ADAPTERS_HOST_H

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "IConfWeba.h"
#include "SiteSimulator.h"
#include "qmxframework.h"

class AdapterHost : public ::testing::Test, public IConfWebaSink, public CRtTimerWrapperSink {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_sim.Start());
    m_module = IConfWeba::Instance();
    ASSERT_NE(nullptr, m_module);
    ASSERT_EQ(0, m_module->Initialize(this));
  }
  void TearDown() override {
    QmxFrameworkShutdown();
    QmxThreadDetach();
    m_sim.Stop();
  }
  void OnInviteByEmails(int result) override {
    m_invites.push_back(result);
    if (m_ticks == 3) m_quit();
  }
  void OnTimer(CRtTimerWrapper*) override {
    if (++m_ticks == 3 && !m_invites.empty()) m_quit();
  }
  void OnJoinConference(int result, const CRtString& url, const CRtString&, const CRtString&) override {
    m_joins.push_back(result);
    m_loaderUrl = url;
    EXPECT_EQ(0, m_module->InviteByEmails(m_sim.SiteUrl(), "site1", "host", "secret", "123456", {"ann@example.com"}));
  }

 public:
  // Called from inside the running loop.
  void StartJoin() {
    EXPECT_EQ(0, m_timer.Schedule(this, CRtTimeValue(0, 5000), 3));
    EXPECT_EQ(0, m_module->JoinConference(m_sim.InvitationUrl("123456"), "meet", "", "Ann", "", ""));
  }

 protected:
  void ExpectBothReplies() {
    ASSERT_EQ(std::vector<int>{0}, m_joins);
    EXPECT_EQ(m_sim.BaseUrl() + "files/qmxloader.bin", m_loaderUrl);
    EXPECT_EQ(std::vector<int>{0}, m_invites);
    EXPECT_EQ(3, m_ticks);
  }

  sitesim::CSiteSimulator m_sim;
  IConfWeba* m_module = nullptr;
  std::function<void()> m_quit;
  CRtTimerWrapper m_timer;
  int m_ticks = 0;
  std::vector<int> m_joins, m_invites;
  std::string m_loaderUrl;
};

#endif
