#include "platform/services.h"

namespace acdc::platform {

Services g_services = kOsServices;

}  // namespace acdc::platform
