// The shared clock: monotonic by default, manual when a test takes it over.
#include <gtest/gtest.h>

#include "qmxclock.h"
#include "windows.h"

namespace {

TEST(ClockTest, ManualClockMovesOnlyWhenAdvanced) {
  QmxClockSetManual(1, 5000);
  EXPECT_TRUE(QmxClockIsManual());
  EXPECT_EQ(5000u, QmxClockNowMs());
  EXPECT_EQ(5000u, GetTickCount());
  QmxClockAdvance(120001);
  EXPECT_EQ(125001u, QmxClockNowMs());
  EXPECT_EQ(125001u, GetTickCount());
  QmxClockSetManual(0, 0);
  EXPECT_FALSE(QmxClockIsManual());
  uint64_t real = QmxClockNowMs();
  QmxClockAdvance(1000000);  // no effect on the real clock
  EXPECT_LT(QmxClockNowMs(), real + 1000000);
}

TEST(ClockTest, TickCountWrapsAt32Bits) {
  QmxClockSetManual(1, 0xFFFFFFFFull - 10);
  DWORD before = GetTickCount();
  QmxClockAdvance(20);
  DWORD after = GetTickCount();
  EXPECT_EQ(9u, after);
  EXPECT_EQ(20u, static_cast<DWORD>(after - before));  // differences stay right
  QmxClockSetManual(0, 0);
}

}  // namespace
