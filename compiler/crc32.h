// The CRC-32 that `sign` stamps into the program image: reflected polynomial
// 0xEDB88320, initial value and final value complemented, so the driver can check
// the image with the same checksum that zlib and IEEE 802.3 use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::compiler {

// Continues `crc` (0 to start) over `len` bytes, with the chaining convention of
// zlib's crc32(): Crc32(Crc32(0, a), b) is the checksum of a followed by b.
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t len);

}  // namespace acdc::compiler
