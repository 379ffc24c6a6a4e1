#include "platform/digest.h"

#include <openssl/evp.h>

namespace acdc::platform {

namespace {

// Each fetched once, on first use, and kept for the life of the process.
const EVP_MD* Algorithm(DigestAlgorithm a) {
  switch (a) {
    case DigestAlgorithm::kMd5: {
      static const EVP_MD* const md = EVP_MD_fetch(nullptr, "MD5", nullptr);
      return md;
    }
    case DigestAlgorithm::kSha1: {
      static const EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
      return md;
    }
    case DigestAlgorithm::kSha256: break;
  }
  static const EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

}  // namespace

void* OsNewDigestContext() { return EVP_MD_CTX_new(); }

void OsFreeDigestContext(void* ctx) { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx)); }

bool OsSha256(void* ctx, const void* data, size_t size, uint8_t* out, uint32_t* out_len) {
  return OsDigestInit(ctx, DigestAlgorithm::kSha256) && OsDigestUpdate(ctx, data, size) &&
         OsDigestFinal(ctx, out, out_len);
}

bool OsDigestInit(void* ctx, DigestAlgorithm algorithm) {
  const EVP_MD* md = Algorithm(algorithm);
  return md != nullptr && EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx), md, nullptr) == 1;
}

bool OsDigestUpdate(void* ctx, const void* data, size_t size) {
  return EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx), data, size) == 1;
}

bool OsDigestFinal(void* ctx, uint8_t* out, uint32_t* out_len) {
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx), out, &len) != 1) return false;
  *out_len = len;
  return true;
}

bool OsFipsMode() { return EVP_default_properties_is_fips_enabled(nullptr) == 1; }

}  // namespace acdc::platform
