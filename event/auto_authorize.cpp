#include "event/auto_authorize.h"

#include <cinttypes>

#include "event/counters.h"
#include "event/trace.h"
#include "platform/services.h"

namespace acdc::event {

uint64_t FileTimeToMilliseconds(int64_t t) {
  const uint64_t u = static_cast<uint64_t>(t);
  if (t >= 10000000000000) return u / 1000;  // 10^13 and above: microseconds
  if (t < 10000000000) return u * 1000;      // below 10^10: seconds
  return u;
}

int CheckAutoAuthorize(AcEvent* ev) {
  if (ev->maintenanceMode != 1) return 0;
  Trace(*ev, "Maintenance mode set, check for auto-authorize\n");
  platform::FileStatus st;
  if (platform::GetFileStatus(ev->rlpath, &st) != platform::kErrorSuccess) {
    Trace(*ev, "Error getting attributes of path '%s': Failed stat\n", ev->rlpath);
    return 0;
  }
  const uint64_t now = platform::NowMilliseconds();
  const uint64_t created = FileTimeToMilliseconds(st.creation_time);
  const uint64_t modified = FileTimeToMilliseconds(st.modification_time);
  // Full 64-bit values: a trace of millisecond times cut to 32 bits would be unreadable.
  Trace(*ev, "Time Vals: startTime=%" PRIu64 ", time=%" PRIu64 ", createTime=%" PRIu64 ", modifiedTime=%" PRIu64 "\n",
        ev->authorizeStartTime, now, created, modified);
  if (!(now > created && now > modified)) return 0;
  if (created > ev->authorizeStartTime || modified > ev->authorizeStartTime) {
    Count(RunAllowedAutoAuthorize);
    Trace(*ev, "Unrecognized process %s approved because create/modified time is after authorize start time\n",
          ev->rlpath);
    return 1;
  }
  return 0;
}

}  // namespace acdc::event
