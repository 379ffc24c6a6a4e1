// Large blocks of memory.
#pragma once

#include <cstddef>

namespace acdc::platform {

// A block of at least `n` bytes that std::free releases, or null. Where the system
// offers it, the block is aligned to and backed by large pages: a block of tens of
// megabytes written once (a rule set's text) otherwise costs one page fault per
// 4 KiB, which on virtual machines can take longer than filling the block.
// POSIX: aligned to 2 MiB and advised MADV_HUGEPAGE; Windows: plain malloc (large
// pages there need a privilege the agent does not hold).
void* AllocateLargeBlock(size_t n);

// Asks for large pages behind the whole large pages inside [block, block + n), a
// block someone else allocated and nobody has written yet (advice only; nothing on
// Windows).
void AdviseLargePages(void* block, size_t n);

}  // namespace acdc::platform
