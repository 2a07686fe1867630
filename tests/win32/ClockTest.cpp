// The shared clock: monotonic by default, manual when a test takes it over.
#include <gtest/gtest.h>

#include "qmxclock.h"
#include "windows.h"

namespace {

// GetTickCount is the manual clock while a test holds it, cut to 32 bits.
TEST(ClockTest, ManualClockMovesOnlyWhenAdvancedAndTickCountWraps) {
  QmxClockSetManual(1, 0xFFFFFFFFull - 10);
  EXPECT_TRUE(QmxClockIsManual());
  const DWORD before = GetTickCount();
  QmxClockAdvance(20);
  EXPECT_EQ(0xFFFFFFFFull + 10, QmxClockNowMs());
  EXPECT_EQ(9u, GetTickCount());
  EXPECT_EQ(20u, static_cast<DWORD>(GetTickCount() - before));
  QmxClockSetManual(0, 0);
  EXPECT_FALSE(QmxClockIsManual());
}

}  // namespace
