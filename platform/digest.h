// SHA-256 through OpenSSL 3's EVP digest interface, the same on both backends.
// The context is opaque here, so that only platform/digest.cpp sees OpenSSL.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::platform {

constexpr size_t kSha256Bytes = 32;

// A new digest context (EVP_MD_CTX_new), or null when it cannot be allocated.
void* OsNewDigestContext();

// Frees a context made by OsNewDigestContext (EVP_MD_CTX_free).
void OsFreeDigestContext(void* ctx);

// The SHA-256 of `size` bytes at `data`, computed with `ctx`, into `out` (room for
// kSha256Bytes); `*out_len` gets the length the engine wrote. False when any step
// fails. The digest algorithm is fetched once, on first use, and kept.
bool OsSha256(void* ctx, const void* data, size_t size, uint8_t* out, uint32_t* out_len);

// True when the crypto library's default properties ask for FIPS implementations
// (EVP_default_properties_is_fips_enabled on the default library context).
bool OsFipsEnabled();

}  // namespace acdc::platform
