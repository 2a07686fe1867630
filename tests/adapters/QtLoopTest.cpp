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
    app_ = new QCoreApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(sim_.Start());
    driver_ = new QmxQtDriver;
    ASSERT_TRUE(driver_->isValid());
    module_ = IConfWeba::Instance();
    ASSERT_NE(nullptr, module_);
    ASSERT_EQ(0, module_->Initialize(&sink_));
  }
  void TearDown() override {
    delete driver_;
    QmxFrameworkShutdown();
    QmxThreadDetach();
    sim_.Stop();
  }
  // Runs the loop until the sink quits it; a generous deadline ends a hang.
  void RunLoop() {
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    deadline.start(60000);
    QCoreApplication::exec();
  }

  static QCoreApplication* app_;
  sitesim::CSiteSimulator sim_;
  QmxQtDriver* driver_ = nullptr;
  IConfWeba* module_ = nullptr;
  LoopSink sink_;
};

QCoreApplication* QtLoopTest::app_ = nullptr;

TEST_F(QtLoopTest, JoinsAndInvitesFromInsideTheLoop) {
  sink_.onReply = [this] {
    if (sink_.joins.size() == 1 && sink_.invites.empty()) {
      std::vector<CRtString> who{"ann@example.com"};
      EXPECT_EQ(0, module_->InviteByEmails(sim_.SiteUrl(), "site1", "host", "secret", "123456", who));
    } else {
      QCoreApplication::exit(0);
    }
  };
  // The request starts from inside the running loop.
  QTimer::singleShot(0, [this] {
    EXPECT_EQ(0, module_->JoinConference(sim_.InvitationUrl("123456"), "meet", "", "Ann", "", ""));
  });
  RunLoop();
  ASSERT_EQ(std::vector<int>{0}, sink_.joins);
  EXPECT_EQ(sim_.BaseUrl() + "files/qmxloader.bin", sink_.loaderUrl);
  EXPECT_EQ(std::vector<int>{0}, sink_.invites);
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
