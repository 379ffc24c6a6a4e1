// The judgements of the posix trust provider, one per step after the signature:
// the chain, the validity times and the leaf's usage, each as the code Windows gives.
// Internal to the posix backend; the native tests call them with certificates they
// make themselves.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>

#include "platform/authenticode.h"

namespace acdc::platform {

// The image digest the SpcIndirectDataContent of `p7` signs: its algorithm and value,
// and the bytes the signer's messageDigest covers (the content's own octets, without
// the SEQUENCE header). False when `p7` carries no such content.
struct IndirectData {
  const EVP_MD* md;       // null when the algorithm is unknown here
  const uint8_t* digest;  // points into p7
  size_t digest_size;
  const uint8_t* signed_content;  // points into p7
  size_t signed_content_size;
};
bool ReadIndirectData(const PKCS7* p7, IndirectData* out);

// Whether signer 0's signature verifies: its certificate among those `p7` carries, its
// messageDigest attribute against the content, its signature over the attributes.
// kTrustENoSignerCert when the certificate is not carried, kTrustEBadDigest when any
// check fails. On success `*signer` is the certificate (owned by p7).
Win32Error VerifySignerSignature(PKCS7* p7, const IndirectData& content, X509** signer);

// The code of an X509_verify_cert failure (X509_V_ERR_...): CERT_E_CHAINING when no
// issuer is in reach, CERT_E_UNTRUSTEDROOT for a self-signed certificate outside the
// store, TRUST_E_CERT_SIGNATURE, TRUST_E_BASIC_CONSTRAINTS, CERT_E_CRITICAL,
// TRUST_E_EXPLICIT_DISTRUST; CERT_E_CHAINING for the rest.
Win32Error ChainErrorCode(int x509_error);

// CERT_E_EXPIRED when any certificate of `chain` is not valid at `now` (seconds since
// 1970), 0 otherwise.
Win32Error ValidityCode(const STACK_OF(X509) * chain, int64_t now);

// CERT_E_WRONG_USAGE unless the leaf may sign code: an extended key usage absent or
// holding code signing or any usage, and a key usage absent or holding digital
// signature.
Win32Error UsageCode(X509* leaf);

}  // namespace acdc::platform
