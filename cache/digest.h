// The SHA-256 digest of a path, the key of the execution cache, and the slot it
// selects.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/digest.h"

namespace acdc::cache {

struct PathDigest {
  uint8_t bytes[platform::kSha256Bytes];
};

// The digest of the `len` bytes at `path`, with this thread's digest context (made
// on the thread's first digest, freed when the thread ends). False when there is no
// context, the engine fails or gives fewer than 32 bytes; a thread whose context
// could not be made tries again on its next digest.
bool DigestPath(const char* path, size_t len, PathDigest* out);

// The slot of a digest among 65,536: the first two bytes, each read as a signed
// byte widened with its sign, the first shifted left by 8 and exclusive-ored with
// the second, low 16 bits kept. Shifting a negative value is undefined in C++, so
// this is the same function written on unsigned bytes: the low byte is d1; the high
// byte is d0, inverted when d1's sign bit is set (the widened d1 has all ones above
// its low byte).
inline uint16_t ExecSlotIndex(uint8_t d0, uint8_t d1) {
  uint8_t high = static_cast<uint8_t>(d0 ^ (d1 >= 0x80 ? 0xFFu : 0u));
  return static_cast<uint16_t>(static_cast<unsigned>(high) << 8 | d1);
}

inline uint16_t ExecSlotIndex(const PathDigest& d) { return ExecSlotIndex(d.bytes[0], d.bytes[1]); }

}  // namespace acdc::cache
