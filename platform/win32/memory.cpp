#include "platform/memory.h"

#include <cstdlib>

namespace acdc::platform {

void* AllocateLargeBlock(size_t n) { return std::malloc(n); }

}  // namespace acdc::platform
