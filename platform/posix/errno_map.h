// errno to Win32 error code: the posix backend's one way into the error currency.
#pragma once

#include "platform/error.h"

namespace acdc::platform {

// The code Windows gives for the failure that errno value `err` reports on Linux
// (ENOENT is 2, EACCES is 5, ...); kErrorSuccess for 0 and kErrorGenFailure for an
// errno with no Windows counterpart. Every code it yields has a text in ErrorMessage.
Win32Error TranslateErrno(int err);

}  // namespace acdc::platform
