// A join, an invitation and a framework timer from inside a running Qt event
// loop: the replies and ticks arrive through the driver while Qt's timers run too.
#include <QCoreApplication>
#include <QTimer>
#include <memory>

#include "AdapterHost.h"
#include "QmxQtDriver.h"

namespace {

class QtLoopTest : public AdapterHost {
 protected:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "adapter_qt_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    m_driver = std::make_unique<QmxQtDriver>();
    ASSERT_TRUE(m_driver->isValid());
    AdapterHost::SetUp();
  }
  void TearDown() override { m_driver.reset(), AdapterHost::TearDown(); }
  std::unique_ptr<QmxQtDriver> m_driver;
};

TEST_F(QtLoopTest, JoinsInvitesAndRunsTimersFromInsideTheLoop) {
  m_quit = [] { QCoreApplication::exit(0); };
  QTimer::singleShot(0, [this] { StartJoin(); });
  QTimer::singleShot(60000, [] { QCoreApplication::exit(1); });  // ends a hang
  EXPECT_EQ(0, QCoreApplication::exec());
  ExpectBothReplies();
}

}  // namespace
