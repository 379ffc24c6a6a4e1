// The maintenance-mode auto-authorize rule: an unrecognized file created or changed
// inside the authorize window is approved without asking the policy.
#pragma once

#include <cstdint>

#include "event/records.h"

namespace acdc::event {

// 1 when the file at `rlpath` is to be approved under maintenance mode, else 0.
int CheckAutoAuthorize(AcEvent* ev);

// A file time brought to milliseconds by its magnitude: file-status sources give
// seconds, milliseconds or microseconds. The magnitude is judged on the signed value,
// the scaling wraps in unsigned 64 bits: a time before 1970 becomes a huge value that
// is never earlier than the current time, so it is never approved.
uint64_t FileTimeToMilliseconds(int64_t t);

}  // namespace acdc::event
