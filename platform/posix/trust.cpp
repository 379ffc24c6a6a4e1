// WinVerifyTrust on POSIX: the generic verify action for a PE file, judged in this
// order, the first failure giving the result: PE form, signature present, image
// digest, signature, chain, validity times, usage. Timestamps are not honoured: the
// times are judged against the current clock, as Windows does for a signature
// without a countersignature.
#include <pthread.h>

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "platform/authenticode.h"
#include "platform/posix/der.h"
#include "platform/posix/signed_image.h"
#include "platform/posix/trust_rules.h"

// The trust store: the system bundle, and in test builds a file of test roots that
// the tests write before the first verification. Both are fixed when the library is
// configured; the library reads no configuration at run time.
#ifndef ACDC_TRUST_BUNDLE
#define ACDC_TRUST_BUNDLE "/etc/ssl/certs/ca-certificates.crt"
#endif
#ifndef ACDC_TEST_TRUST_ROOTS
#define ACDC_TEST_TRUST_ROOTS ""
#endif

namespace acdc::platform {

namespace {

constexpr char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";
constexpr Win32Error kEInvalidArg = 0x80070057;  // E_INVALIDARG

thread_local Win32Error t_last_error = kErrorSuccess;

// Loaded once, on the first verification, and kept for the life of the process: an
// X509_STORE is safe to share between threads for verification. Files that are
// missing add nothing, so a store without roots makes every chain CERT_E_CHAINING.
//
// A certificate works out its extensions (key identifiers, usages, CA flag) the first
// time a chain asks, and caches them in itself. Left to the verifications, threads
// racing through the same root write that cache while another reads it (the
// ThreadSanitizer run caught one reading a subject key identifier another was still
// writing), so the store's certificates have theirs worked out here, before any
// verification can see them; afterwards they are only read.
pthread_once_t g_store_once = PTHREAD_ONCE_INIT;
X509_STORE* g_store = nullptr;

void LoadStore() {
  X509_STORE* store = X509_STORE_new();
  if (store == nullptr) return;
  const char* const files[] = {ACDC_TRUST_BUNDLE, ACDC_TEST_TRUST_ROOTS};
  for (const char* file : files) {
    if (file[0] != '\0' && access(file, R_OK) == 0) X509_STORE_load_file(store, file);
  }
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    X509* cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    if (cert != nullptr) X509_check_purpose(cert, -1, 0);
  }
  ERR_clear_error();
  g_store = store;
}

X509_STORE* TrustStore() {
  pthread_once(&g_store_once, LoadStore);
  return g_store;
}

bool SameGuid(const Guid& a, const Guid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

// Chain, validity and usage of the verified signer.
Win32Error JudgeCertificates(PKCS7* p7, X509* signer) {
  X509_STORE* store = TrustStore();
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  if (store == nullptr || ctx == nullptr) {
    X509_STORE_CTX_free(ctx);
    return kTrustESystemError;
  }
  Win32Error result = kTrustESystemError;
  if (X509_STORE_CTX_init(ctx, store, signer, p7->d.sign->cert) == 1) {
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
    // Times are judged after the chain, on their own. The security level is left to
    // the chain's own signatures: Windows still takes SHA-1 chains for code.
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_NO_CHECK_TIME);
    X509_VERIFY_PARAM_set_auth_level(param, 0);
    if (X509_verify_cert(ctx) != 1) {
      result = ChainErrorCode(X509_STORE_CTX_get_error(ctx));
    } else {
      result = ValidityCode(X509_STORE_CTX_get0_chain(ctx), static_cast<int64_t>(std::time(nullptr)));
      if (result == kErrorSuccess) result = UsageCode(signer);
    }
  }
  X509_STORE_CTX_free(ctx);
  return result;
}

Win32Error JudgeSignedImage(const ByteSource& source, const PeLayout& layout, PKCS7* p7, uint32_t flags) {
  IndirectData content;
  if (!ReadIndirectData(p7, &content)) return kTrustENoSignature;
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned digest_size = 0;
  if (content.md == nullptr || !ImageDigest(source, layout, content.md, digest, &digest_size) ||
      digest_size != content.digest_size || std::memcmp(digest, content.digest, digest_size) != 0)
    return kTrustEBadDigest;
  X509* signer = nullptr;
  Win32Error e = VerifySignerSignature(p7, content, &signer);
  if (e != kErrorSuccess) return e;
  // Hash only: the image against its signed digest, and the signature that binds the
  // two; whom the signer's certificate chains to is not asked.
  if (flags & kWtdHashOnlyFlag) return kErrorSuccess;
  return JudgeCertificates(p7, signer);
}

// The result and the last error of one verification.
struct Verdict {
  uint32_t result;
  Win32Error last_error;
};

Verdict VerifyFile(const char16_t* path, uint32_t flags) {
  ImageFile file;
  ByteSource source;
  Win32Error e = OpenImageFile(path, &file, &source);
  if (e != kErrorSuccess) return {kTrustENoSignature, e};
  PeLayout layout;
  PKCS7* p7 = nullptr;
  Win32Error result;
  switch (ReadImageSignature(source, &layout, &p7)) {
    case ImageSignature::kNotPe:
    case ImageSignature::kHeadersCut: result = kTrustESubjectFormUnknown; break;
    case ImageSignature::kNoSignature:
    case ImageSignature::kTableCut:
    case ImageSignature::kUnreadable: result = kTrustENoSignature; break;
    case ImageSignature::kReadError: result = kCryptEFileError; break;
    case ImageSignature::kSigned: result = JudgeSignedImage(source, layout, p7, flags); break;
    default: result = kTrustESystemError; break;
  }
  PKCS7_free(p7);
  close(file.fd);
  return {result, result};
}

}  // namespace

bool ReadIndirectData(const PKCS7* p7, IndirectData* out) {
  const PKCS7* inner = p7->d.sign->contents;
  if (inner == nullptr || inner->type == nullptr) return false;
  char oid[64];
  if (OBJ_obj2txt(oid, sizeof oid, inner->type, 1) <= 0 || std::strcmp(oid, kSpcIndirectDataOid) != 0) return false;
  const ASN1_TYPE* other = inner->d.other;
  if (other == nullptr || other->type != V_ASN1_SEQUENCE || other->value.sequence == nullptr) return false;
  // SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue,
  //   messageDigest DigestInfo }, DigestInfo ::= SEQUENCE { AlgorithmIdentifier, OCTET STRING }
  der::Reader top(other->value.sequence->data, static_cast<size_t>(other->value.sequence->length));
  der::Element seq, data, digest_info, algorithm, oid_element, value;
  if (top.Expect(der::kSequence, &seq) != der::Status::kOk) return false;
  der::Reader fields(seq);
  if (fields.Expect(der::kSequence, &data) != der::Status::kOk ||
      fields.Expect(der::kSequence, &digest_info) != der::Status::kOk)
    return false;
  der::Reader info(digest_info);
  if (info.Expect(der::kSequence, &algorithm) != der::Status::kOk ||
      info.Expect(der::kOctetString, &value) != der::Status::kOk)
    return false;
  der::Reader alg(algorithm);
  if (alg.Expect(der::kOid, &oid_element) != der::Status::kOk) return false;
  char dotted[64];
  out->md = der::OidToText(oid_element.content, oid_element.content_size, dotted, sizeof dotted)
                ? EVP_get_digestbyname(dotted)
                : nullptr;
  out->digest = value.content;
  out->digest_size = value.content_size;
  out->signed_content = seq.content;
  out->signed_content_size = seq.content_size;
  return true;
}

Win32Error VerifySignerSignature(PKCS7* p7, const IndirectData& content, X509** signer) {
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
  if (si == nullptr || si->issuer_and_serial == nullptr) return kTrustENoSignature;
  X509* cert = X509_find_by_issuer_and_serial(p7->d.sign->cert, si->issuer_and_serial->issuer,
                                              si->issuer_and_serial->serial);
  if (cert == nullptr) return kTrustENoSignerCert;
  const EVP_MD* md = si->digest_alg != nullptr ? EVP_get_digestbyobj(si->digest_alg->algorithm) : nullptr;
  EVP_PKEY* key = X509_get0_pubkey(cert);
  if (md == nullptr || key == nullptr || si->enc_digest == nullptr) return kTrustEBadDigest;
  const unsigned char* data = content.signed_content;
  size_t size = content.signed_content_size;
  unsigned char* attributes = nullptr;
  if (sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
    // With attributes, the signature covers them (re-tagged as a SET OF, as encoded)
    // and their messageDigest covers the content.
    ASN1_TYPE* digest = PKCS7_get_signed_attribute(si, NID_pkcs9_messageDigest);
    unsigned char md_value[EVP_MAX_MD_SIZE];
    unsigned int md_size = 0;
    if (digest == nullptr || digest->type != V_ASN1_OCTET_STRING ||
        EVP_Digest(content.signed_content, content.signed_content_size, md_value, &md_size, md, nullptr) != 1 ||
        static_cast<int>(md_size) != digest->value.octet_string->length ||
        std::memcmp(md_value, digest->value.octet_string->data, md_size) != 0)
      return kTrustEBadDigest;
    int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attributes,
                          ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (n <= 0) return kTrustEBadDigest;
    data = attributes;
    size = static_cast<size_t>(n);
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx != nullptr && EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1 &&
            EVP_DigestVerify(ctx, si->enc_digest->data, static_cast<size_t>(si->enc_digest->length), data, size) == 1;
  EVP_MD_CTX_free(ctx);
  OPENSSL_free(attributes);
  if (!ok) return kTrustEBadDigest;
  *signer = cert;
  return kErrorSuccess;
}

Win32Error ChainErrorCode(int x509_error) {
  switch (x509_error) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN: return kCertEUntrustedRoot;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY: return kTrustECertSignature;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED: return kTrustEBasicConstraints;
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION: return kCertECritical;
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED: return kTrustEExplicitDistrust;
    default: return kCertEChaining;
  }
}

Win32Error ValidityCode(const STACK_OF(X509) * chain, int64_t now) {
  time_t t = static_cast<time_t>(now);
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    X509* x = sk_X509_value(chain, i);
    // X509_cmp_time: -1 when the time is before `t`, 1 after, 0 when unreadable.
    if (X509_cmp_time(X509_get0_notBefore(x), &t) != -1 || X509_cmp_time(X509_get0_notAfter(x), &t) != 1)
      return kCertEExpired;
  }
  return kErrorSuccess;
}

Win32Error UsageCode(X509* leaf) {
  uint32_t flags = X509_get_extension_flags(leaf);
  if ((flags & EXFLAG_XKUSAGE) && !(X509_get_extended_key_usage(leaf) & (XKU_CODE_SIGN | XKU_ANYEKU)))
    return kCertEWrongUsage;
  if ((flags & EXFLAG_KUSAGE) && !(X509_get_key_usage(leaf) & KU_DIGITAL_SIGNATURE)) return kCertEWrongUsage;
  return kErrorSuccess;
}

uint32_t WinVerifyTrust(const Guid& action, WinTrustData* data) {
  Verdict v;
  if (!SameGuid(action, kGenericVerifyV2)) {
    v = {kTrustEActionUnknown, kTrustEActionUnknown};
  } else if (data == nullptr || data->struct_size < sizeof(WinTrustData) || data->union_choice != kWtdChoiceFile ||
             data->file == nullptr || data->file->path == nullptr) {
    v = {kEInvalidArg, kErrorInvalidParameter};
  } else if (data->state_action == kWtdStateActionClose) {
    // The posix provider keeps no state between the two calls.
    v = {kErrorSuccess, kErrorSuccess};
  } else {
    v = VerifyFile(data->file->path, data->provider_flags);
  }
  ERR_clear_error();
  t_last_error = v.last_error;
  return v.result;
}

Win32Error TrustLastError() { return t_last_error; }

}  // namespace acdc::platform
