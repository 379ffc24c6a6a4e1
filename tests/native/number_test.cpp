// The one conversion from Lua numbers to record fields: every input has a defined
// result (the sanitizer build traps an undefined cast).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "acdc/lua_number.h"

namespace acdc {
namespace {

TEST(NumberToU64, CoversTheWholeLine) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double in;
    uint64_t out;
  } cases[] = {
      {0, 0},
      {1.9, 1},
      {-1.9, UINT64_MAX},  // truncates to -1, which wraps
      {-1, UINT64_MAX},
      {4294967296.0 + 7, 4294967303ull},
      {9223372036854775808.0 + 2048, 0x8000000000000800ull},  // 2^63 + 2^11 exactly
      {9223372036854775808.0, 0x8000000000000000ull},
      {18446744073709549568.0, 0xFFFFFFFFFFFFF800ull},  // largest double below 2^64
      {18446744073709551616.0, UINT64_MAX},
      {1e300, UINT64_MAX},
      {inf, UINT64_MAX},
      {-9223372036854775808.0, 0x8000000000000000ull},
      {-1e300, 0x8000000000000000ull},
      {-inf, 0x8000000000000000ull},
      {std::nan(""), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(NumberToU64(c.in), c.out) << c.in;
}

TEST(NumberToU64, ThirtyTwoBitFieldsTakeTheLowBits) {
  EXPECT_EQ(NumberToI32(-1), -1);
  EXPECT_EQ(NumberToI32(-5.7), -5);
  EXPECT_EQ(NumberToI32(2147483648.0), INT32_MIN);
  EXPECT_EQ(NumberToU32(4294967296.0 + 3), 3u);
  EXPECT_EQ(NumberToU32(std::numeric_limits<double>::infinity()), UINT32_MAX);
  EXPECT_EQ(NumberToU32(std::nan("")), 0u);
}

}  // namespace
}  // namespace acdc
