// The image path of the acting process, as the preparation steps fill it into the
// record and as the module's GetProcNameFromPid reports it.
#pragma once

#include <cstdint>

#include "platform/error.h"
#include "platform/process.h"

namespace acdc::event {

// The UTF-8 image path of process `pid` into `out` (kTextCapacity bytes). Returns 1,
// or 0 leaving `out` unchanged.
int GetProcessImagePath(uint32_t pid, char* out);

// The same lookup with its failure: the Win32 code and the step that failed. An
// image path that does not fit `out` whole is refused (kErrorInsufficientBuffer),
// never cut, as QueryFullProcessImageNameW refuses a short buffer.
platform::Win32Error LookupProcessImage(uint32_t pid, char* out, platform::ImageQueryStep* step);

}  // namespace acdc::event
