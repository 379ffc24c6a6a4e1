// The digests of a file: one pass over it in 64 KiB chunks under an opportunistic
// lock (platform/oplock_file.h), each chunk fed to every digest asked for. Another
// program that wants the file ends the read with a sharing violation (32) rather
// than waiting for it.
//
// No Lua here: module ac's hash functions (file_hash.cpp) call HashFile and build
// their results from what it leaves in a FileHash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/digest.h"
#include "platform/error.h"

namespace acdc::ac {

constexpr uint32_t kHashChunkBytes = 65536;

// The digests a call asks for, as bits.
enum HashDigest : uint8_t {
  kHashMd5 = 1,
  kHashSha1 = 2,
  kHashSha256 = 4,
};

// MD5 leaves the set when OpenSSL keeps to FIPS implementations (HashAll's rule).
enum class FipsRule : uint8_t { kKeepMd5, kDropMd5InFipsMode };

struct FileHash {
  platform::Win32Error status;  // 0 on success; else the failure's Windows code
  uint64_t bytes;               // read before the end of the file or the failure
  uint8_t computed;             // HashDigest bits of the digests below; 0 on failure
  uint8_t md5[platform::kMd5Bytes];
  uint8_t sha1[platform::kSha1Bytes];
  uint8_t sha256[platform::kSha256Bytes];
};

// Hashes the file at the Win32 path `path` (UTF-8, `len` bytes, NUL-terminated)
// with the digests `wanted` (none: the file is only read), through `chunk`, the
// caller's buffer of kHashChunkBytes. Fills all of `out`:
// - the open's code (2, 3, 5, ...) or 32 when the oplock cannot be had: 0 bytes;
// - 32 when the oplock breaks during the read, traced as "Interrupted oplock" when
//   the core library traces "ac-Windows"; a read error's own code: the bytes read
//   before it;
// - 8 when a digest context cannot be allocated, 50 when an algorithm cannot be had
//   (MD5 from a provider that keeps to FIPS), 1359 when the engine fails on the way.
// Digests of a read that failed are never handed over. Everything is closed before
// it returns.
void HashFile(const char* path, size_t len, uint8_t wanted, FipsRule fips, uint8_t* chunk, FileHash* out);

}  // namespace acdc::ac
