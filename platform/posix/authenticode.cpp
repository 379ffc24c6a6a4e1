// The signature queries of platform/authenticode.h on POSIX: the PE image's first
// certificate-table entry read with OpenSSL, and the certificate fields rendered as
// the CRYPT32 calls render them.
#include "platform/authenticode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/posix/drive_map.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/signed_image.h"
#include "platform/posix/x500_name.h"
#include "platform/text.h"

namespace acdc::platform {

namespace {

constexpr size_t kPathBytes = 4096;  // a host path, NUL included

size_t Length16(const char16_t* s) {
  size_t n = 0;
  while (s[n] != u'\0') ++n;
  return n;
}

// pread until `n` bytes are in, through interruptions and short reads.
bool ReadFileAt(void* context, uint64_t offset, void* out, size_t n) {
  int fd = static_cast<ImageFile*>(context)->fd;
  auto* p = static_cast<uint8_t*>(out);
  while (n > 0) {
    ssize_t got = pread(fd, p, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

}  // namespace

Win32Error OpenImageFile(const char16_t* path, ImageFile* file, ByteSource* source) {
  // 3 bytes of UTF-8 for each unit at most; a path that long never fits a host path.
  size_t units = Length16(path);
  if (units >= kPathBytes) return kErrorFilenameExcedRange;
  char utf8[3 * kPathBytes + 1];
  size_t written = 0;
  Win32Error e = Utf16ToUtf8(path, units, utf8, sizeof utf8, &written);
  if (e != kErrorSuccess) return e;
  char host[kPathBytes];
  e = MapWin32Path(utf8, host, sizeof host);
  if (e != kErrorSuccess) return e;
  int fd = open(host, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return TranslateErrno(errno);
  struct stat st;
  e = fstat(fd, &st) != 0 ? TranslateErrno(errno) : !S_ISREG(st.st_mode) ? kErrorAccessDenied : kErrorSuccess;
  if (e != kErrorSuccess) {
    close(fd);
    return e;
  }
  file->fd = fd;
  *source = {file, static_cast<uint64_t>(st.st_size), ReadFileAt};
  return kErrorSuccess;
}

Win32Error CryptQueryEmbeddedSignature(const char16_t* path, CertStore** store, CryptMsg** msg) {
  ImageFile file;
  ByteSource source;
  Win32Error e = OpenImageFile(path, &file, &source);
  if (e != kErrorSuccess) return e;
  PeLayout layout;
  PKCS7* p7 = nullptr;
  ImageSignature found = ReadImageSignature(source, &layout, &p7);
  close(file.fd);
  // What OpenSSL queued on the way is this call's alone: the thread's next user of
  // the error queue must not read it as its own.
  ERR_clear_error();
  switch (found) {
    case ImageSignature::kSigned: break;
    case ImageSignature::kReadError: return kCryptEFileError;
    default: return kCryptENoMatch;
  }
  CertStore* s = NewCertStore(p7);
  CryptMsg* m = s != nullptr ? NewCryptMsg(p7) : nullptr;
  if (m == nullptr) {
    if (s != nullptr) CertCloseStore(s);
    else PKCS7_free(p7);
    return kErrorNotEnoughMemory;
  }
  *store = s;
  *msg = m;
  return kErrorSuccess;
}

Win32Error CryptMsgGetSignerInfo(CryptMsg* msg, uint32_t index, void* block, uint32_t* size) {
  STACK_OF(PKCS7_SIGNER_INFO)* signers = msg->p7->d.sign->signer_info;
  if (index >= static_cast<uint32_t>(sk_PKCS7_SIGNER_INFO_num(signers))) return kCryptENoSigner;
  Win32Error e = WriteSignerInfo(sk_PKCS7_SIGNER_INFO_value(signers, static_cast<int>(index)), block, size);
  ERR_clear_error();
  return e;
}

Win32Error CryptDecodeOpusInfo(const uint8_t* data, uint32_t size, SpcSpOpusInfo** out) {
  return DecodeOpusInfo(data, size, out);
}

void FreeDecoded(void* decoded) { std::free(decoded); }

Win32Error CertFindBySignerId(CertStore* store, const CryptBlob& issuer, const CryptBlob& serial,
                              CertContext** out) {
  X509* x = FindBySignerId(store->certs, issuer, serial);
  ERR_clear_error();
  if (x == nullptr) return kCryptENotFound;
  CertContext* cert = NewCertContext(x);
  if (cert == nullptr) return kErrorNotEnoughMemory;
  *out = cert;
  return kErrorSuccess;
}

void CertFreeCertificateContext(CertContext* cert) {
  if (cert == nullptr) return;
  X509_free(cert->x509);
  std::free(cert->serial);
  OPENSSL_free(cert->encoded);
  std::free(cert);
}

void CertCloseStore(CertStore* store) {
  if (store == nullptr) return;
  sk_X509_pop_free(store->certs, X509_free);
  std::free(store);
}

void CryptMsgClose(CryptMsg* msg) {
  if (msg == nullptr) return;
  PKCS7_free(msg->p7);
  std::free(msg);
}

CryptBlob CertSerialNumber(const CertContext* cert) { return {cert->serial_size, cert->serial}; }

CryptBlob CertEncoded(const CertContext* cert) { return {cert->encoded_size, cert->encoded}; }

uint32_t CertGetNameString(const CertContext* cert, bool issuer, char16_t* out, uint32_t cap) {
  const X509_NAME* name = issuer ? X509_get_issuer_name(cert->x509) : X509_get_subject_name(cert->x509);
  const unsigned char* der = nullptr;
  size_t der_size = 0;
  if (X509_NAME_get0_der(name, &der, &der_size) != 1) der_size = 0;
  if (out == nullptr) cap = 0;
  size_t needed = X500NameToString(der, der_size, out, cap);
  if (cap == 0) return static_cast<uint32_t>(needed);
  return static_cast<uint32_t>(needed < cap ? needed : cap);
}

Win32Error CertGetSha1Hash(const CertContext* cert, uint8_t* out, uint32_t* size) {
  constexpr uint32_t kSha1Bytes = 20;
  if (out == nullptr || *size < kSha1Bytes) {
    Win32Error e = out == nullptr ? kErrorSuccess : kErrorMoreData;
    *size = kSha1Bytes;
    return e;
  }
  unsigned int n = 0;
  if (X509_digest(cert->x509, EVP_sha1(), out, &n) != 1 || n != kSha1Bytes) return kCryptENotFound;
  *size = kSha1Bytes;
  return kErrorSuccess;
}

Win32Error CryptBinaryToBase64Header(const uint8_t* data, uint32_t size, char16_t* out, uint32_t* units) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static const char kBegin[] = "-----BEGIN CERTIFICATE-----\r\n";
  static const char kEnd[] = "-----END CERTIFICATE-----\r\n";
  constexpr uint64_t kLine = 64;
  uint64_t chars = (uint64_t{size} + 2) / 3 * 4;
  uint64_t lines = (chars + kLine - 1) / kLine;
  uint64_t total = (sizeof kBegin - 1) + chars + 2 * lines + (sizeof kEnd - 1);
  if (total + 1 > *units) {
    *units = total + 1 > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total + 1);
    return kErrorMoreData;
  }
  uint32_t o = 0;
  for (const char* p = kBegin; *p != '\0'; ++p) out[o++] = static_cast<char16_t>(*p);
  uint64_t column = 0;
  for (uint32_t i = 0; i < size; i += 3) {
    uint32_t left = size - i;
    uint32_t v = static_cast<uint32_t>(data[i]) << 16 | (left > 1 ? data[i + 1] << 8 : 0) | (left > 2 ? data[i + 2] : 0);
    char q[4] = {kAlphabet[v >> 18 & 63], kAlphabet[v >> 12 & 63], left > 1 ? kAlphabet[v >> 6 & 63] : '=',
                 left > 2 ? kAlphabet[v & 63] : '='};
    for (char c : q) {
      out[o++] = static_cast<char16_t>(c);
      if (++column == kLine) {
        out[o++] = u'\r';
        out[o++] = u'\n';
        column = 0;
      }
    }
  }
  if (column != 0) {
    out[o++] = u'\r';
    out[o++] = u'\n';
  }
  for (const char* p = kEnd; *p != '\0'; ++p) out[o++] = static_cast<char16_t>(*p);
  out[o] = u'\0';
  *units = o;
  return kErrorSuccess;
}

}  // namespace acdc::platform
