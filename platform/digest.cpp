#include "platform/digest.h"

#include <openssl/evp.h>

namespace acdc::platform {

namespace {

// Fetched once: an implicit fetch by name on every EVP_DigestInit_ex costs more
// than hashing a short path.
const EVP_MD* Sha256Algorithm() {
  static const EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return md;
}

}  // namespace

void* OsNewDigestContext() { return EVP_MD_CTX_new(); }

void OsFreeDigestContext(void* ctx) { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx)); }

bool OsSha256(void* ctx, const void* data, size_t size, uint8_t* out, uint32_t* out_len) {
  const EVP_MD* md = Sha256Algorithm();
  auto* c = static_cast<EVP_MD_CTX*>(ctx);
  unsigned int len = 0;
  if (md == nullptr || EVP_DigestInit_ex(c, md, nullptr) != 1 || EVP_DigestUpdate(c, data, size) != 1 ||
      EVP_DigestFinal_ex(c, out, &len) != 1)
    return false;
  *out_len = len;
  return true;
}

bool OsFipsEnabled() { return EVP_default_properties_is_fips_enabled(nullptr) == 1; }

}  // namespace acdc::platform
