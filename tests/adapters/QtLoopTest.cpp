// A join and an invitation from inside a running Qt event loop: the replies
// arrive through the driver's notifier while Qt's own timers run too.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include "AdapterHost.h"
#include "QmxQtDriver.h"
#include "SiteSimulator.h"
#include "qmxframework.h"

namespace {

class QtLoopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "adapter_qt_test";
    static char* argv[] = {name, nullptr};
    m_app = new QCoreApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete m_app;
    m_app = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(m_sim.Start());
    m_driver = new QmxQtDriver;
    ASSERT_TRUE(m_driver->isValid());
    m_module = IConfWeba::Instance();
    ASSERT_NE(nullptr, m_module);
    ASSERT_EQ(0, m_module->Initialize(&m_sink));
  }
  void TearDown() override {
    delete m_driver;
    QmxFrameworkShutdown();
    QmxThreadDetach();
    m_sim.Stop();
  }
  // Runs the loop until the sink quits it; a generous deadline ends a hang.
  void RunLoop() {
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    deadline.start(60000);
    QCoreApplication::exec();
  }

  static QCoreApplication* m_app;
  sitesim::CSiteSimulator m_sim;
  QmxQtDriver* m_driver = nullptr;
  IConfWeba* m_module = nullptr;
  LoopSink m_sink;
};

QCoreApplication* QtLoopTest::m_app = nullptr;

TEST_F(QtLoopTest, JoinsAndInvitesFromInsideTheLoop) {
  m_sink.onReply = [this] {
    if (m_sink.joins.size() == 1 && m_sink.invites.empty()) {
      std::vector<CRtString> who{"ann@example.com"};
      EXPECT_EQ(0, m_module->InviteByEmails(m_sim.SiteUrl(), "site1", "host", "secret", "123456", who));
    } else {
      QCoreApplication::exit(0);
    }
  };
  // The request starts from inside the running loop.
  QTimer::singleShot(
      0, [this] { EXPECT_EQ(0, m_module->JoinConference(m_sim.InvitationUrl("123456"), "meet", "", "Ann", "", "")); });
  RunLoop();
  ASSERT_EQ(std::vector<int>{0}, m_sink.joins);
  EXPECT_EQ(m_sim.BaseUrl() + "files/qmxloader.bin", m_sink.loaderUrl);
  EXPECT_EQ(std::vector<int>{0}, m_sink.invites);
}

TEST_F(QtLoopTest, DriverRunsTheFrameworkTimers) {
  struct Tick : CRtTimerWrapperSink {
    void OnTimer(CRtTimerWrapper*) override {
      ++count;
      if (count == 3) QCoreApplication::exit(0);
    }
    int count = 0;
  } tick;
  CRtTimerWrapper timer;
  ASSERT_EQ(0, timer.Schedule(&tick, CRtTimeValue(0, 5000), 3));
  RunLoop();
  EXPECT_EQ(3, tick.count);
}

}  // namespace
