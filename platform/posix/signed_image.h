// The signature of a PE image as the posix backend holds it: the PKCS#7 SignedData of
// the certificate table's first entry, read with OpenSSL, and the handles of the
// platform interface (platform/authenticode.h) over it. Internal to the posix backend;
// the fuzz target and the native tests reach it too.
#pragma once

#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "platform/authenticode.h"
#include "platform/posix/pe_image.h"

namespace acdc::platform {

struct CertStore {
  STACK_OF(X509)* certs;  // each certificate up-referenced; never null
};

struct CryptMsg {
  PKCS7* p7;  // signed data with at least one signer
};

struct CertContext {
  X509* x509;                  // up-referenced
  uint8_t* serial;             // the serial's DER content bytes, least significant first
  uint32_t serial_size;
  uint8_t* encoded;            // i2d of the certificate
  uint32_t encoded_size;
};

enum class ImageSignature : uint8_t {
  kSigned,
  kNotPe,          // no PE image
  kHeadersCut,     // the headers say PE, but the file ends inside them
  kTableCut,       // the certificate table runs past the end of the file
  kNoSignature,    // a PE image without a certificate table
  kUnreadable,     // a table whose first entry is no PKCS#7 SignedData with a signer
  kReadError,      // the file could not be read
};

// Opens the file of the Win32 or host path `path` (UTF-16, NUL-terminated) through
// the drive mapping for reading: its descriptor (the caller closes it) and a source
// over it that reads with pread. The file system's code when it cannot be opened;
// kErrorAccessDenied for anything but a regular file, as CreateFileW refuses a folder.
struct ImageFile {
  int fd;
};
Win32Error OpenImageFile(const char16_t* path, ImageFile* file, ByteSource* source);

// Reads the image's layout and its signature: on kSigned, `*layout` and `*p7` (the
// caller's, PKCS7_free) are filled.
ImageSignature ReadImageSignature(const ByteSource& source, PeLayout* layout, PKCS7** p7);

// The handles over a signature read; the message takes `p7`. Null when memory runs
// out (and `p7` is freed).
CryptMsg* NewCryptMsg(PKCS7* p7);
CertStore* NewCertStore(const PKCS7* p7);
CertContext* NewCertContext(X509* x509);

// Writes signer `si` as a SignerInfo record into `block` (`*size` bytes), or with
// `block` null only sets `*size` to the room it needs. kErrorMoreData when `*size` is
// short; kCryptEBadMsg when a part of the signer cannot be encoded.
Win32Error WriteSignerInfo(PKCS7_SIGNER_INFO* si, void* block, uint32_t* size);

// Whether two serial numbers, each as DER content bytes least significant first, are
// the same number (leading sign-extension bytes aside), as CertCompareIntegerBlob.
bool SameInteger(const CryptBlob& a, const CryptBlob& b);

// The certificate of `store` issued by `issuer` (encoded Name) with `serial`, or null.
X509* FindBySignerId(const STACK_OF(X509) * certs, const CryptBlob& issuer, const CryptBlob& serial);

// Decodes SpcSpOpusInfo from DER into one block made with std::malloc (`*out`), or
// with `out` null only checks it. kCryptEAsn1BadTag, kCryptEAsn1Eod or
// kCryptEAsn1Corrupt when it does not decode; kErrorNotEnoughMemory.
Win32Error DecodeOpusInfo(const uint8_t* data, size_t size, SpcSpOpusInfo** out);

}  // namespace acdc::platform
