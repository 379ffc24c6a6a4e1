// Wall clock.
#pragma once

#include <cstdint>

namespace acdc::platform {

// Milliseconds since 1970-01-01 UTC: whole seconds times 1000 plus the millisecond
// part, as _ftime64 gives them.
uint64_t OsNowMilliseconds();

}  // namespace acdc::platform
