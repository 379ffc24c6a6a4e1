// The wall clock against the C runtime's time(), which counts seconds since 1970 by a
// path of its own on both systems.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <thread>

#include "platform/clock.h"

namespace acdc::platform {
namespace {

TEST(Clock, CountsMillisecondsSince1970) {
  const int64_t before = static_cast<int64_t>(std::time(nullptr));
  const int64_t now = static_cast<int64_t>(OsNowMilliseconds());
  const int64_t after = static_cast<int64_t>(std::time(nullptr));
  // A second of slack each way: time() may read a coarser clock than ours.
  EXPECT_GE(now, (before - 1) * 1000);
  EXPECT_LT(now, (after + 2) * 1000);
}

TEST(Clock, HasAMillisecondPart) {
  const uint64_t start = OsNowMilliseconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const uint64_t elapsed = OsNowMilliseconds() - start;
  // Whole seconds times 1000 would move by 0 or by 1000 here.
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 900u);
}

}  // namespace
}  // namespace acdc::platform
