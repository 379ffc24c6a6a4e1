#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace acdc::platform {

namespace {

constexpr size_t kLargePage = size_t{2} << 20;

}  // namespace

void* AllocateLargeBlock(size_t n) {
  if (n > SIZE_MAX - kLargePage) return nullptr;
  size_t size = (n + kLargePage - 1) & ~(kLargePage - 1);
  void* block = std::aligned_alloc(kLargePage, size);
#ifdef MADV_HUGEPAGE
  // Advice only: a refusal leaves ordinary pages.
  if (block != nullptr) madvise(block, size, MADV_HUGEPAGE);
#endif
  return block;
}

}  // namespace acdc::platform
