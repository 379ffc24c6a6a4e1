#include "platform/clock.h"

#include <time.h>

namespace acdc::platform {

uint64_t OsNowMilliseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
}

}  // namespace acdc::platform
