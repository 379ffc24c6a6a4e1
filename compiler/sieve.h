// Sieves: a per-position character-class filter over a list of strings, which the
// driver uses to reject most names before it compares them with the list itself.
//
// Position 0 is a string's first byte (prefix sieve) or its last (suffix sieve). A
// character's class is its byte AND 0x1F, so letters of either case share one. A
// sieve can only over-approximate its list.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::compiler {

constexpr uint32_t kMaxSieveWidth = 64;
constexpr size_t kMaxSieveSize = 4 + 8 * kMaxSieveWidth;  // 516 bytes

enum class SieveEnd { kPrefix, kSuffix };

// The fixed working buffer of one sieve being built.
struct SieveBuilder {
  SieveEnd end;
  uint32_t width;                    // positions considered, 1-64
  uint32_t open[kMaxSieveWidth];     // bit c cleared: a string ends here with class c
  uint32_t seen[kMaxSieveWidth];     // bit c set: a string has class c here
};

// Starts a sieve. A requested width outside 1-64 (including "none", passed as 0)
// means 64.
void BeginSieve(SieveBuilder* b, SieveEnd end, int64_t requested_width);

// Records one string of the list, in list order: only its first (prefix) or last
// (suffix) `width` bytes count, and it stops at the first position where a string
// recorded earlier ends with the same class.
void AddToSieve(SieveBuilder* b, const char* s, size_t len);

// Writes the sieve trimmed after its last non-empty position, as sent to the driver:
// u32 width W, W open masks, W seen masks, little-endian. Returns 4 + 8 * W.
size_t FinishSieve(const SieveBuilder* b, uint8_t out[kMaxSieveSize]);

}  // namespace acdc::compiler
