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

void AdviseLargePages(void* block, size_t n) {
#ifdef MADV_HUGEPAGE
  uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kLargePage - 1) & ~(kLargePage - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(block) + n) & ~(kLargePage - 1);
  if (begin < end) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)block;
  (void)n;
#endif
}

}  // namespace acdc::platform
