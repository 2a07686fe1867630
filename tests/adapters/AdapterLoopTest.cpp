// A join, an invitation and a framework timer from inside a running GMainLoop
// (adapter_glib_test) or Qt event loop (adapter_qt_test, built with
// QMX_ADAPTER_QT): the join's reply starts the invitation from inside the
// loop, as a GUI would, while a framework timer fires three times and the
// loop's own timers run too. The loop quits itself once the invitation's
// reply and the third tick came.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "IConfWeba.h"
#include "SiteSimulator.h"
#include "qmxframework.h"
#ifdef QMX_ADAPTER_QT
#include <QCoreApplication>
#include <QTimer>

#include "QmxQtDriver.h"
#define QMX_LOOP_TEST QtLoopTest  // each program's case under its own name
#else
#include "QmxGlibSource.h"
#define QMX_LOOP_TEST GlibLoopTest
#endif

namespace {

class QMX_LOOP_TEST : public ::testing::Test, public IConfWebaSink, public CRtTimerWrapperSink {
 public:
  void SetUp() override {
#ifdef QMX_ADAPTER_QT
    static int argc = 1;
    static char name[] = "adapter_qt_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    m_driver = std::make_unique<QmxQtDriver>();
    ASSERT_TRUE(m_driver->isValid());
#else
    ASSERT_NE(0u, m_sourceId = qmx_glib_attach(nullptr));
#endif
    ASSERT_TRUE(m_sim.Start());
    m_module = IConfWeba::Instance();
    ASSERT_NE(nullptr, m_module);
    ASSERT_EQ(0, m_module->Initialize(this));
  }
  void TearDown() override {
#ifdef QMX_ADAPTER_QT
    m_driver.reset();
#else
    if (m_sourceId) g_source_remove(m_sourceId);
#endif
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
  // Called from inside the running loop.
  void StartJoin() {
    EXPECT_EQ(0, m_timer.Schedule(this, CRtTimeValue(0, 5000), 3));
    EXPECT_EQ(0, m_module->JoinConference(m_sim.InvitationUrl("123456"), "meet", "", "Ann", "", ""));
  }

  sitesim::CSiteSimulator m_sim;
  IConfWeba* m_module = nullptr;
  std::function<void()> m_quit;
  CRtTimerWrapper m_timer;
  int m_ticks = 0;
  std::vector<int> m_joins, m_invites;
  std::string m_loaderUrl;
#ifdef QMX_ADAPTER_QT
  std::unique_ptr<QmxQtDriver> m_driver;
#else
  guint m_sourceId = 0;
#endif
};

TEST_F(QMX_LOOP_TEST, JoinsInvitesAndRunsTimersFromInsideTheLoop) {
#ifdef QMX_ADAPTER_QT
  m_quit = [] { QCoreApplication::exit(0); };
  QTimer::singleShot(0, [this] { StartJoin(); });
  QTimer::singleShot(60000, [] { QCoreApplication::exit(1); });  // ends a hang
  EXPECT_EQ(0, QCoreApplication::exec());
#else
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  m_quit = [loop] { g_main_loop_quit(loop); };
  g_idle_add([](gpointer self) { return static_cast<QMX_LOOP_TEST*>(self)->StartJoin(), gboolean(G_SOURCE_REMOVE); },
             this);
  const guint deadline = g_timeout_add_seconds(  // ends a hang
      60, [](gpointer l) { return g_main_loop_quit(static_cast<GMainLoop*>(l)), gboolean(G_SOURCE_REMOVE); }, loop);
  g_main_loop_run(loop);
  g_source_remove(deadline);
  g_main_loop_unref(loop);
#endif
  ASSERT_EQ(std::vector<int>{0}, m_joins);
  EXPECT_EQ(m_sim.BaseUrl() + "files/qmxloader.bin", m_loaderUrl);
  EXPECT_EQ(std::vector<int>{0}, m_invites);
  EXPECT_EQ(3, m_ticks);
}

}  // namespace
