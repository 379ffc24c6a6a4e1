#include "platform/memory.h"

#include <cstdlib>

namespace acdc::platform {

void* AllocateLargeBlock(size_t n) { return std::malloc(n); }

void AdviseLargePages(void*, size_t) {}

}  // namespace acdc::platform
