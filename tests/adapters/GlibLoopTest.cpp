// A join, an invitation and a framework timer from inside a running GMainLoop:
// the replies and ticks arrive through the adapter's source while GLib's own run too.
#include "AdapterHost.h"
#include "QmxGlibSource.h"

namespace {

class GlibLoopTest : public AdapterHost {
 protected:
  void SetUp() override {
    ASSERT_NE(0u, m_sourceId = qmx_glib_attach(nullptr));
    AdapterHost::SetUp();
  }
  void TearDown() override {
    if (m_sourceId) g_source_remove(m_sourceId);
    AdapterHost::TearDown();
  }
  guint m_sourceId = 0;
};

gboolean Quit(gpointer loop) { return g_main_loop_quit(static_cast<GMainLoop*>(loop)), G_SOURCE_REMOVE; }
gboolean Start(gpointer self) { return static_cast<GlibLoopTest*>(self)->StartJoin(), G_SOURCE_REMOVE; }

TEST_F(GlibLoopTest, JoinsInvitesAndRunsTimersFromInsideTheLoop) {
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  m_quit = [loop] { g_main_loop_quit(loop); };
  g_idle_add(Start, this);
  const guint deadline = g_timeout_add_seconds(60, Quit, loop);  // ends a hang
  g_main_loop_run(loop);
  g_source_remove(deadline);
  g_main_loop_unref(loop);
  ExpectBothReplies();
}

}  // namespace
