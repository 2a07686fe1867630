// A join and an invitation from inside a running GMainLoop: the replies
// arrive through the adapter's source while GLib's own sources run too.
#include <gtest/gtest.h>

#include "AdapterHost.h"
#include "QmxGlibSource.h"
#include "SiteSimulator.h"
#include "qmxframework.h"

namespace {

class GlibLoopTest : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(m_sim.Start());
    m_loop = g_main_loop_new(nullptr, FALSE);
    m_sourceId = qmx_glib_attach(nullptr);
    ASSERT_NE(0u, m_sourceId);
    m_module = IConfWeba::Instance();
    ASSERT_NE(nullptr, m_module);
    ASSERT_EQ(0, m_module->Initialize(&m_sink));
  }
  void TearDown() override {
    if (m_sourceId) g_source_remove(m_sourceId);
    QmxFrameworkShutdown();
    QmxThreadDetach();
    g_main_loop_unref(m_loop);
    m_sim.Stop();
  }
  // Runs the loop until the sink quits it; a generous deadline ends a hang.
  void RunLoop() {
    guint deadline = g_timeout_add_seconds(
        60,
        [](gpointer loop) {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        m_loop);
    g_main_loop_run(m_loop);
    g_source_remove(deadline);
  }

  sitesim::CSiteSimulator m_sim;
  GMainLoop* m_loop = nullptr;
  guint m_sourceId = 0;
  IConfWeba* m_module = nullptr;
  LoopSink m_sink;
};

TEST_F(GlibLoopTest, JoinsAndInvitesFromInsideTheLoop) {
  m_sink.onReply = [this] {
    if (m_sink.joins.size() == 1 && m_sink.invites.empty()) {
      // The next request goes out from within the reply, as a GUI would.
      std::vector<CRtString> who{"ann@example.com"};
      EXPECT_EQ(0, m_module->InviteByEmails(m_sim.SiteUrl(), "site1", "host", "secret", "123456", who));
    } else {
      g_main_loop_quit(m_loop);
    }
  };
  // The request starts from an idle callback of the running loop.
  g_idle_add(
      [](gpointer self) {
        auto* t = static_cast<GlibLoopTest*>(self);
        EXPECT_EQ(0, t->m_module->JoinConference(t->m_sim.InvitationUrl("123456"), "meet", "", "Ann", "", ""));
        return G_SOURCE_REMOVE;
      },
      this);
  RunLoop();
  ASSERT_EQ(std::vector<int>{0}, m_sink.joins);
  EXPECT_EQ(m_sim.BaseUrl() + "files/qmxloader.bin", m_sink.loaderUrl);
  EXPECT_EQ(std::vector<int>{0}, m_sink.invites);
}

TEST_F(GlibLoopTest, SourceRunsTheFrameworkTimers) {
  // A framework timer of the thread's queue fires inside the GLib loop.
  struct Tick : CRtTimerWrapperSink {
    void OnTimer(CRtTimerWrapper*) override {
      fired = true;
      g_main_loop_quit(loop);
    }
    GMainLoop* loop = nullptr;
    bool fired = false;
  } tick;
  tick.loop = m_loop;
  CRtTimerWrapper timer;
  ASSERT_EQ(0, timer.Schedule(&tick, CRtTimeValue(0, 10000), 1));
  RunLoop();
  EXPECT_TRUE(tick.fired);
  timer.Cancel();
}

}  // namespace
