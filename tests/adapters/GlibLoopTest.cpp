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
    ASSERT_TRUE(sim_.Start());
    loop_ = g_main_loop_new(nullptr, FALSE);
    sourceId_ = qmx_glib_attach(nullptr);
    ASSERT_NE(0u, sourceId_);
    module_ = IConfWeba::Instance();
    ASSERT_NE(nullptr, module_);
    ASSERT_EQ(0, module_->Initialize(&sink_));
  }
  void TearDown() override {
    if (sourceId_) g_source_remove(sourceId_);
    QmxFrameworkShutdown();
    QmxThreadDetach();
    g_main_loop_unref(loop_);
    sim_.Stop();
  }
  // Runs the loop until the sink quits it; a generous deadline ends a hang.
  void RunLoop() {
    guint deadline = g_timeout_add_seconds(60, [](gpointer loop) {
      g_main_loop_quit(static_cast<GMainLoop*>(loop));
      return G_SOURCE_REMOVE;
    }, loop_);
    g_main_loop_run(loop_);
    g_source_remove(deadline);
  }

  sitesim::CSiteSimulator sim_;
  GMainLoop* loop_ = nullptr;
  guint sourceId_ = 0;
  IConfWeba* module_ = nullptr;
  LoopSink sink_;
};

TEST_F(GlibLoopTest, JoinsAndInvitesFromInsideTheLoop) {
  sink_.onReply = [this] {
    if (sink_.joins.size() == 1 && sink_.invites.empty()) {
      // The next request goes out from within the reply, as a GUI would.
      std::vector<CRtString> who{"ann@example.com"};
      EXPECT_EQ(0, module_->InviteByEmails(sim_.SiteUrl(), "site1", "host", "secret", "123456", who));
    } else {
      g_main_loop_quit(loop_);
    }
  };
  // The request starts from an idle callback of the running loop.
  g_idle_add([](gpointer self) {
    auto* t = static_cast<GlibLoopTest*>(self);
    EXPECT_EQ(0, t->module_->JoinConference(t->sim_.InvitationUrl("123456"), "meet", "", "Ann", "", ""));
    return G_SOURCE_REMOVE;
  }, this);
  RunLoop();
  ASSERT_EQ(std::vector<int>{0}, sink_.joins);
  EXPECT_EQ(sim_.BaseUrl() + "files/qmxloader.bin", sink_.loaderUrl);
  EXPECT_EQ(std::vector<int>{0}, sink_.invites);
}

TEST_F(GlibLoopTest, SourceRunsTheFrameworkTimers) {
  // A framework timer of the thread's queue fires inside the GLib loop.
  struct Tick : CRtTimerWrapperSink {
    void OnTimer(CRtTimerWrapper*) override { fired = true; g_main_loop_quit(loop); }
    GMainLoop* loop = nullptr;
    bool fired = false;
  } tick;
  tick.loop = loop_;
  CRtTimerWrapper timer;
  ASSERT_EQ(0, timer.Schedule(&tick, CRtTimeValue(0, 10000), 1));
  RunLoop();
  EXPECT_TRUE(tick.fired);
  timer.Cancel();
}

}  // namespace
