// The one conversion from a Lua number to the fixed-width fields of the records.
//
// A C cast of a double that does not fit the target type is undefined, and Lua hands
// over whatever the caller wrote: negative, fractional, huge, infinite or NaN.
#pragma once

#include <cstdint>

namespace acdc {

// Truncates toward zero. Values of 2^63 and above lose 2^63, convert, and get it
// back as the top bit; negative values wrap as two's complement, which is what the
// usual compiled conversion gives for them. Saturates outside the 64-bit range;
// NaN gives 0.
inline uint64_t NumberToU64(double x) {
  constexpr double kTwo63 = 9223372036854775808.0;
  constexpr double kTwo64 = 18446744073709551616.0;
  if (!(x == x)) return 0;
  if (x >= kTwo64) return UINT64_MAX;
  if (x >= kTwo63) return static_cast<uint64_t>(x - kTwo63) | (uint64_t{1} << 63);
  if (x < -kTwo63) return uint64_t{1} << 63;
  return static_cast<uint64_t>(static_cast<int64_t>(x));
}

// 32-bit fields take the low 32 bits of the same conversion.
inline uint32_t NumberToU32(double x) { return static_cast<uint32_t>(NumberToU64(x)); }
inline int32_t NumberToI32(double x) { return static_cast<int32_t>(NumberToU32(x)); }

// For pids and indexes, which must not wrap: the value truncated toward zero, when
// that lies in [lo, hi]. The range is judged on the whole number before any
// narrowing, so 2^32 + 12 is out of a 32-bit range rather than 12; NaN and the
// infinities are out of every range.
inline bool NumberInRange(double x, int64_t lo, int64_t hi, int64_t* out) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (!(x >= -kTwo63 && x < kTwo63)) return false;
  int64_t v = static_cast<int64_t>(x);
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

}  // namespace acdc
