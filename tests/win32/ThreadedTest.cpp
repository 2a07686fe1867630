// The last error belongs to each thread, as the module reads it after a
// call on its own thread while the transport runs on another.
#include <thread>

#include <gtest/gtest.h>

#include "windows.h"

namespace {

TEST(ThreadedTest, LastErrorBelongsToEachThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seenByOther = 1;
  std::thread other([&] {
    seenByOther = GetLastError();
    SetLastError(ERROR_INVALID_HANDLE);
  });
  other.join();
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), seenByOther);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

}  // namespace
