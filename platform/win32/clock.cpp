// Wall clock from the system time, in the units _ftime64 reports.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/clock.h"

namespace acdc::platform {

namespace {

constexpr uint64_t kTicksPerMillisecond = 10000;        // FILETIME counts 100 ns
constexpr uint64_t kEpochMilliseconds = 11644473600000;  // 1601-01-01 to 1970-01-01

}  // namespace

// The epoch difference is whole milliseconds, so dividing first gives the same value
// as seconds * 1000 + millitm.
uint64_t OsNowMilliseconds() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return ticks / kTicksPerMillisecond - kEpochMilliseconds;
}

}  // namespace acdc::platform
