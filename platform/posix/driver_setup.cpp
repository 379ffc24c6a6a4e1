#include "platform/driver_setup.h"

namespace acdc::platform {

// Linux has no INF sections and no SETUPAPI: the driver is a separate program that
// is started, not installed.
void InstallHinfSection(const char16_t*) {}

}  // namespace acdc::platform
