#include "compiler/sieve.h"

namespace acdc::compiler {

namespace {

uint8_t* Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
  return p + 4;
}

}  // namespace

void BeginSieve(SieveBuilder* b, SieveEnd end, int64_t requested_width) {
  b->end = end;
  b->width = (requested_width >= 1 && requested_width <= kMaxSieveWidth) ? static_cast<uint32_t>(requested_width)
                                                                          : kMaxSieveWidth;
  for (uint32_t i = 0; i < kMaxSieveWidth; ++i) {
    b->open[i] = 0xFFFFFFFFu;
    b->seen[i] = 0;
  }
}

void AddToSieve(SieveBuilder* b, const char* s, size_t len) {
  size_t m = len < b->width ? len : b->width;
  uint32_t bit = 0;
  for (size_t i = 0; i < m; ++i) {
    auto byte = static_cast<uint8_t>(b->end == SieveEnd::kPrefix ? s[i] : s[len - 1 - i]);
    bit = 1u << (byte & 0x1Fu);
    b->seen[i] |= bit;
    // A shorter string already ends here with this class: everything this one adds
    // further on is already let through.
    if ((b->open[i] & bit) == 0) return;
  }
  if (m != 0) b->open[m - 1] &= ~bit;
}

size_t FinishSieve(const SieveBuilder* b, uint8_t out[kMaxSieveSize]) {
  uint32_t width = 0;
  for (uint32_t i = 0; i < kMaxSieveWidth; ++i)
    if (b->seen[i] != 0) width = i + 1;
  uint8_t* p = Put32(out, width);
  for (uint32_t i = 0; i < width; ++i) p = Put32(p, b->open[i]);
  for (uint32_t i = 0; i < width; ++i) p = Put32(p, b->seen[i]);
  return static_cast<size_t>(p - out);
}

}  // namespace acdc::compiler
