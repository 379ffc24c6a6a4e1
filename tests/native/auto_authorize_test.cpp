// The maintenance-mode auto-authorize rule, with the file status and the clock
// substituted.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "event/auto_authorize.h"
#include "event/records.h"
#include "event/text.h"
#include "event_test_support.h"
#include "platform/services.h"

namespace acdc::event {
namespace {

using test_support::CapturedTrace;
using test_support::CounterDelta;

platform::FileStatus g_status;
platform::Win32Error g_status_error;
uint64_t g_now;

constexpr uint64_t kNow = 2'000'000'000'000ull;    // ms, 2033
constexpr uint64_t kStart = 1'800'000'000'000ull;  // authorizeStartTime, ms
constexpr int64_t kInWindow = 1'900'000'000;       // s: after the start, before now

class AutoAuthorize : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::g_services;
    record_ = std::make_unique<EventRecord>();
    ClearEventRecord(record_.get());
    g_status = {100, platform::FileType::kRegular, 0, 0};
    g_status_error = platform::kErrorSuccess;
    g_now = kNow;
    platform::g_services.file_status = [](const char*, platform::FileStatus* out) {
      *out = g_status;
      return g_status_error;
    };
    platform::g_services.now_ms = [] { return g_now; };
    ev().maintenanceMode = 1;
    ev().authorizeStartTime = kStart;
    CopyText(ev().rlpath, kTextCapacity, "c:\\x\\setup.exe");
  }
  void TearDown() override { platform::g_services = saved_; }

  AcEvent& ev() { return record_->event; }

  platform::Services saved_;
  std::unique_ptr<EventRecord> record_;
};

TEST_F(AutoAuthorize, OnlyMaintenanceModeOneLooksAtTheFile) {
  platform::g_services.file_status = [](const char*, platform::FileStatus*) -> platform::Win32Error {
    ADD_FAILURE() << "file status queried";
    return platform::kErrorFileNotFound;
  };
  for (uint32_t mode : {0u, 2u, 0xFFFFFFFFu}) {
    ev().maintenanceMode = mode;
    EXPECT_EQ(CheckAutoAuthorize(&ev()), 0);
  }
}

TEST_F(AutoAuthorize, ApprovesFilesChangedAfterTheWindowOpened) {
  struct Case {
    int64_t created, modified;  // as the file status gives them
    uint64_t start;             // authorizeStartTime, ms
    int expected;
  };
  const Case cases[] = {
      {1'900'000'000, 1'500'000'000, kStart, 1},          // seconds, created after start
      {1'500'000'000, 1'900'000'000, kStart, 1},          // seconds, modified after start
      {1'500'000'000, 1'600'000'000, kStart, 0},          // both before start
      {1'800'000'000, 1'800'000'000, kStart, 0},          // equal to the start is not later
      {1'900'000'000'000, 0, kStart, 1},                  // already milliseconds
      {1'900'000'000'000'000, 0, kStart, 1},              // microseconds
      {2'100'000'000, 1'500'000'000, kStart, 0},          // created in the future
      {1'500'000'000, 2'000'000'000, kStart, 0},          // modified at the current time: not earlier
      // Birth times cannot be set back: a window that opens after both file times is
      // the common case of a file that was there before maintenance began.
      {1'850'000'000, 1'860'000'000, 1'870'000'000'000ull, 0},
      {1'850'000'000, 1'860'000'000, 1'859'999'999'999ull, 1},
  };
  for (const Case& c : cases) {
    CounterDelta delta;
    g_status.creation_time = c.created;
    g_status.modification_time = c.modified;
    ev().authorizeStartTime = c.start;
    EXPECT_EQ(CheckAutoAuthorize(&ev()), c.expected) << c.created << " " << c.modified << " " << c.start;
    EXPECT_EQ(delta(RunAllowedAutoAuthorize), static_cast<uint64_t>(c.expected));
  }
}

// The unit of a file time is judged by its magnitude, on the signed value; the
// scaling wraps in 64 unsigned bits. Each case pairs the time under test with the other
// time inside the window, so the time under test alone decides: it is approved only
// if it reads as earlier than now.
TEST_F(AutoAuthorize, FileTimeUnitsByMagnitudeAtEachBoundary) {
  struct Case {
    int64_t time;
    uint64_t as_ms;  // what the rule makes of it
    int expected;
  };
  const Case cases[] = {
      {-5, static_cast<uint64_t>(-5) * 1000, 0},            // before 1970: wraps past every now
      {0, 0, 1},                                            // 1970 itself, in seconds
      {9'999'999'999, 9'999'999'999'000ull, 0},             // seconds, year 2286
      {10'000'000'000, 10'000'000'000ull, 1},               // milliseconds, April 1970
      {9'999'999'999'999, 9'999'999'999'999ull, 0},         // milliseconds, year 2286
      {10'000'000'000'000, 10'000'000'000ull, 1},           // microseconds
      {static_cast<int64_t>(kNow), kNow, 0},                // exactly now: not earlier
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FileTimeToMilliseconds(c.time), c.as_ms) << c.time;
    for (bool created : {true, false}) {
      g_status.creation_time = created ? c.time : kInWindow;
      g_status.modification_time = created ? kInWindow : c.time;
      EXPECT_EQ(CheckAutoAuthorize(&ev()), c.expected) << c.time << (created ? " created" : " modified");
    }
  }
}

TEST_F(AutoAuthorize, TracesTimesAndApprovalOrAFailedStat) {
  g_status.creation_time = 1'900'000'000;
  g_status.modification_time = 1'850'000'000;
  for (bool fails : {false, true}) {
    g_status_error = fails ? platform::kErrorFileNotFound : platform::kErrorSuccess;
    CapturedTrace trace;
    ev().traceFile = trace.file;
    EXPECT_EQ(CheckAutoAuthorize(&ev()), fails ? 0 : 1);
    EXPECT_EQ(trace.Take(),
              fails ? "Maintenance mode set, check for auto-authorize\n"
                      "Error getting attributes of path 'c:\\x\\setup.exe': Failed stat\n"
                    : "Maintenance mode set, check for auto-authorize\n"
                      "Time Vals: startTime=1800000000000, time=2000000000000, createTime=1900000000000, "
                      "modifiedTime=1850000000000\n"
                      "Unrecognized process c:\\x\\setup.exe approved because create/modified time is after "
                      "authorize start time\n");
  }
}

}  // namespace
}  // namespace acdc::event
