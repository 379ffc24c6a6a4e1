// The signature queries and WinVerifyTrust on Windows: the CRYPT32 and WINTRUST calls
// themselves. The records they write are read through the portable mirrors of
// platform/authenticode.h, whose layout the assertions below hold to the system's.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// clang-format off
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
// clang-format on
// wincrypt.h names CertGetNameStringW CertGetNameString; ours must keep its own name,
// or the definition below would be another function than the one the header declares.
#undef CertGetNameString

#include <cstddef>

#include "platform/authenticode.h"

namespace acdc::platform {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 on Windows");
static_assert(sizeof(CryptBlob) == sizeof(CRYPT_INTEGER_BLOB) && offsetof(CryptBlob, data) == offsetof(CRYPT_INTEGER_BLOB, pbData));
static_assert(sizeof(CryptAttribute) == sizeof(CRYPT_ATTRIBUTE) &&
              offsetof(CryptAttribute, values) == offsetof(CRYPT_ATTRIBUTE, rgValue));
static_assert(sizeof(CryptAttributes) == sizeof(CRYPT_ATTRIBUTES) &&
              offsetof(CryptAttributes, attributes) == offsetof(CRYPT_ATTRIBUTES, rgAttr));
static_assert(sizeof(SignerInfo) == sizeof(CMSG_SIGNER_INFO) &&
              offsetof(SignerInfo, issuer) == offsetof(CMSG_SIGNER_INFO, Issuer) &&
              offsetof(SignerInfo, serial_number) == offsetof(CMSG_SIGNER_INFO, SerialNumber) &&
              offsetof(SignerInfo, authenticated) == offsetof(CMSG_SIGNER_INFO, AuthAttrs) &&
              offsetof(SignerInfo, unauthenticated) == offsetof(CMSG_SIGNER_INFO, UnauthAttrs));
static_assert(sizeof(SpcLink) == sizeof(SPC_LINK) && offsetof(SpcLink, url) == offsetof(SPC_LINK, pwszUrl) &&
              offsetof(SpcLink, moniker) == offsetof(SPC_LINK, Moniker));
static_assert(sizeof(SpcSpOpusInfo) == sizeof(SPC_SP_OPUS_INFO) &&
              offsetof(SpcSpOpusInfo, more_info) == offsetof(SPC_SP_OPUS_INFO, pMoreInfo) &&
              offsetof(SpcSpOpusInfo, publisher_info) == offsetof(SPC_SP_OPUS_INFO, pPublisherInfo));
static_assert(sizeof(WinTrustFileInfo) == sizeof(WINTRUST_FILE_INFO));
static_assert(sizeof(WinTrustData) == sizeof(WINTRUST_DATA) &&
              offsetof(WinTrustData, file) == offsetof(WINTRUST_DATA, pFile) &&
              offsetof(WinTrustData, state_action) == offsetof(WINTRUST_DATA, dwStateAction) &&
              offsetof(WinTrustData, provider_flags) == offsetof(WINTRUST_DATA, dwProvFlags));
static_assert(sizeof(Guid) == sizeof(GUID));
static_assert(kSpcUrlLinkChoice == SPC_URL_LINK_CHOICE && kSpcMonikerLinkChoice == SPC_MONIKER_LINK_CHOICE &&
              kSpcFileLinkChoice == SPC_FILE_LINK_CHOICE);
static_assert(kWtdUiNone == WTD_UI_NONE && kWtdRevokeNone == WTD_REVOKE_NONE && kWtdChoiceFile == WTD_CHOICE_FILE &&
              kWtdStateActionVerify == WTD_STATEACTION_VERIFY && kWtdStateActionClose == WTD_STATEACTION_CLOSE &&
              kWtdHashOnlyFlag == WTD_HASH_ONLY_FLAG && kWtdLifetimeSigningFlag == WTD_LIFETIME_SIGNING_FLAG);
static_assert(kTrustENoSignature == static_cast<Win32Error>(TRUST_E_NOSIGNATURE) &&
              kCryptENoMatch == static_cast<Win32Error>(CRYPT_E_NO_MATCH) &&
              kCryptENotFound == static_cast<Win32Error>(CRYPT_E_NOT_FOUND) &&
              kCertEChaining == static_cast<Win32Error>(CERT_E_CHAINING) &&
              kCertEUntrustedRoot == static_cast<Win32Error>(CERT_E_UNTRUSTEDROOT) &&
              kCertEExpired == static_cast<Win32Error>(CERT_E_EXPIRED) &&
              kCertEWrongUsage == static_cast<Win32Error>(CERT_E_WRONG_USAGE) &&
              kTrustEBadDigest == static_cast<Win32Error>(TRUST_E_BAD_DIGEST) &&
              kTrustESubjectFormUnknown == static_cast<Win32Error>(TRUST_E_SUBJECT_FORM_UNKNOWN));

Win32Error Failed() { return GetLastError(); }

}  // namespace

Win32Error CryptQueryEmbeddedSignature(const char16_t* path, CertStore** store, CryptMsg** msg) {
  HCERTSTORE s = nullptr;
  HCRYPTMSG m = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &s, &m, nullptr))
    return Failed();
  *store = static_cast<CertStore*>(s);
  *msg = static_cast<CryptMsg*>(m);
  return kErrorSuccess;
}

Win32Error CryptMsgGetSignerInfo(CryptMsg* msg, uint32_t index, void* block, uint32_t* size) {
  DWORD n = *size;
  BOOL ok = CryptMsgGetParam(static_cast<HCRYPTMSG>(msg), CMSG_SIGNER_INFO_PARAM, index, block, &n);
  *size = n;
  return ok ? kErrorSuccess : Failed();
}

Win32Error CryptDecodeOpusInfo(const uint8_t* data, uint32_t size, SpcSpOpusInfo** out) {
  void* decoded = nullptr;
  DWORD n = 0;
  if (!CryptDecodeObjectEx(kEncoding, SPC_SP_OPUS_INFO_OBJID, data, size,
                           CRYPT_DECODE_ALLOC_FLAG | CRYPT_DECODE_NOCOPY_FLAG, nullptr, &decoded, &n))
    return Failed();
  *out = static_cast<SpcSpOpusInfo*>(decoded);
  return kErrorSuccess;
}

void FreeDecoded(void* decoded) { LocalFree(decoded); }

Win32Error CertFindBySignerId(CertStore* store, const CryptBlob& issuer, const CryptBlob& serial,
                              CertContext** out) {
  CERT_INFO id = {};
  id.Issuer = {issuer.size, issuer.data};
  id.SerialNumber = {serial.size, serial.data};
  PCCERT_CONTEXT cert = CertFindCertificateInStore(static_cast<HCERTSTORE>(store), kEncoding, 0,
                                                   CERT_FIND_SUBJECT_CERT, &id, nullptr);
  if (cert == nullptr) return Failed();
  *out = reinterpret_cast<CertContext*>(const_cast<CERT_CONTEXT*>(cert));
  return kErrorSuccess;
}

void CertFreeCertificateContext(CertContext* cert) {
  if (cert != nullptr) ::CertFreeCertificateContext(reinterpret_cast<PCCERT_CONTEXT>(cert));
}

void CertCloseStore(CertStore* store) {
  if (store != nullptr) ::CertCloseStore(static_cast<HCERTSTORE>(store), 0);
}

void CryptMsgClose(CryptMsg* msg) {
  if (msg != nullptr) ::CryptMsgClose(static_cast<HCRYPTMSG>(msg));
}

CryptBlob CertSerialNumber(const CertContext* cert) {
  const CRYPT_INTEGER_BLOB& s = reinterpret_cast<PCCERT_CONTEXT>(cert)->pCertInfo->SerialNumber;
  return {s.cbData, s.pbData};
}

CryptBlob CertEncoded(const CertContext* cert) {
  PCCERT_CONTEXT c = reinterpret_cast<PCCERT_CONTEXT>(cert);
  return {c->cbCertEncoded, c->pbCertEncoded};
}

uint32_t CertGetNameString(const CertContext* cert, bool issuer, char16_t* out, uint32_t cap) {
  DWORD type = CERT_X500_NAME_STR;
  return CertGetNameStringW(reinterpret_cast<PCCERT_CONTEXT>(cert), CERT_NAME_RDN_TYPE,
                            issuer ? CERT_NAME_ISSUER_FLAG : 0, &type, reinterpret_cast<wchar_t*>(out), cap);
}

Win32Error CertGetSha1Hash(const CertContext* cert, uint8_t* out, uint32_t* size) {
  DWORD n = *size;
  BOOL ok = CertGetCertificateContextProperty(reinterpret_cast<PCCERT_CONTEXT>(cert), CERT_SHA1_HASH_PROP_ID, out, &n);
  *size = n;
  return ok ? kErrorSuccess : Failed();
}

Win32Error CryptBinaryToBase64Header(const uint8_t* data, uint32_t size, char16_t* out, uint32_t* units) {
  DWORD n = *units;
  BOOL ok = CryptBinaryToStringW(data, size, CRYPT_STRING_BASE64HEADER, reinterpret_cast<wchar_t*>(out), &n);
  *units = n;
  return ok ? kErrorSuccess : Failed();
}

uint32_t WinVerifyTrust(const Guid& action, WinTrustData* data) {
  GUID id;
  static_assert(sizeof id == sizeof action);
  memcpy(&id, &action, sizeof id);
  LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &id, data);
  return static_cast<uint32_t>(result);
}

Win32Error TrustLastError() { return GetLastError(); }

}  // namespace acdc::platform
