#include "platform/services.h"

#include <cstdlib>

namespace acdc::platform {

Services g_services = kOsServices;

void* OsAllocate(size_t size) { return std::malloc(size); }

}  // namespace acdc::platform
