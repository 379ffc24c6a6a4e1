// Digests through OpenSSL 3's EVP interface, the same on both backends: SHA-256 of
// a path in one call, and MD5, SHA-1 and SHA-256 fed chunk by chunk for file hashing.
// Contexts are opaque here, so that only platform/digest.cpp sees OpenSSL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::platform {

constexpr size_t kMd5Bytes = 16;
constexpr size_t kSha1Bytes = 20;
constexpr size_t kSha256Bytes = 32;
// Room for any digest the engine can write (EVP_MAX_MD_SIZE).
constexpr size_t kMaxDigestBytes = 64;

enum class DigestAlgorithm : uint8_t { kMd5, kSha1, kSha256 };

// A new digest context (EVP_MD_CTX_new), or null when it cannot be allocated.
void* OsNewDigestContext();

// Frees a context made by OsNewDigestContext (EVP_MD_CTX_free); null is ignored.
void OsFreeDigestContext(void* ctx);

// The SHA-256 of `size` bytes at `data`, computed with `ctx`, into `out` (room for
// kSha256Bytes); `*out_len` gets the length the engine wrote. False when any step
// fails.
bool OsSha256(void* ctx, const void* data, size_t size, uint8_t* out, uint32_t* out_len);

// A digest in steps: start `algorithm` on `ctx`, feed it, finish into `out` (room
// for kMaxDigestBytes) with the length written in `*out_len`. Each is false when
// the engine fails; starting also fails when the algorithm cannot be had, as MD5
// cannot from a provider that keeps to FIPS.
bool OsDigestInit(void* ctx, DigestAlgorithm algorithm);
bool OsDigestUpdate(void* ctx, const void* data, size_t size);
bool OsDigestFinal(void* ctx, uint8_t* out, uint32_t* out_len);

// Each algorithm is fetched once, on its first use, and kept: an implicit fetch by
// name on every EVP_DigestInit_ex costs more than hashing a short path.

// True when OpenSSL fetches only FIPS implementations by default
// (EVP_default_properties_is_fips_enabled of the default library context).
bool OsFipsMode();

}  // namespace acdc::platform
