// The Authenticode signature of a file and the trust verdict on it, in the terms of
// the CRYPT32 and WINTRUST calls they stand for: CryptQueryObject, CryptMsgGetParam,
// CryptDecodeObjectEx, CertFindCertificateInStore, CertGetNameStringW,
// CertGetCertificateContextProperty, CryptBinaryToStringW and WinVerifyTrust.
//
// The records callers read (the signer's information, the publisher information) have
// the memory layout of their Windows structures, so the win32 backend hands over what
// the system wrote and the posix backend writes the same layout itself. On POSIX the
// answers are computed from the file with OpenSSL 3: the PE image's certificate table,
// its PKCS#7 SignedData, the image digest, the signature, the chain to the trust store
// fixed at configure time, the validity times and the leaf's usage.
//
// Every function reports failure as the code the Windows call leaves in the thread's
// last error (HRESULT-style codes such as 0x80092009 included), nothing here logs, and
// nothing keeps state between calls but the posix trust store, loaded once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace acdc::platform {

// Codes of this service (winerror.h), as the thread's last error carries them.
constexpr Win32Error kNteBadSignature = 0x80090006;           // NTE_BAD_SIGNATURE
constexpr Win32Error kCryptEHashValue = 0x80091007;           // CRYPT_E_HASH_VALUE
constexpr Win32Error kCryptEFileError = 0x80092003;           // CRYPT_E_FILE_ERROR
constexpr Win32Error kCryptENotFound = 0x80092004;            // CRYPT_E_NOT_FOUND
constexpr Win32Error kCryptENoMatch = 0x80092009;             // CRYPT_E_NO_MATCH
constexpr Win32Error kCryptEBadMsg = 0x8009200D;              // CRYPT_E_BAD_MSG
constexpr Win32Error kCryptENoSigner = 0x8009200E;            // CRYPT_E_NO_SIGNER
constexpr Win32Error kCryptESecuritySettings = 0x80092026;    // CRYPT_E_SECURITY_SETTINGS
constexpr Win32Error kCryptEAsn1Eod = 0x80093102;             // CRYPT_E_ASN1_EOD
constexpr Win32Error kCryptEAsn1Corrupt = 0x80093103;         // CRYPT_E_ASN1_CORRUPT
constexpr Win32Error kCryptEAsn1BadTag = 0x8009310B;          // CRYPT_E_ASN1_BADTAG
constexpr Win32Error kTrustESystemError = 0x80096001;         // TRUST_E_SYSTEM_ERROR
constexpr Win32Error kTrustENoSignerCert = 0x80096002;        // TRUST_E_NO_SIGNER_CERT
constexpr Win32Error kTrustECounterSigner = 0x80096003;       // TRUST_E_COUNTER_SIGNER
constexpr Win32Error kTrustECertSignature = 0x80096004;       // TRUST_E_CERT_SIGNATURE
constexpr Win32Error kTrustETimeStamp = 0x80096005;           // TRUST_E_TIME_STAMP
constexpr Win32Error kTrustEBadDigest = 0x80096010;           // TRUST_E_BAD_DIGEST
constexpr Win32Error kTrustEBasicConstraints = 0x80096019;    // TRUST_E_BASIC_CONSTRAINTS
constexpr Win32Error kTrustEFinancialCriteria = 0x8009601E;   // TRUST_E_FINANCIAL_CRITERIA
constexpr Win32Error kTrustEProviderUnknown = 0x800B0001;     // TRUST_E_PROVIDER_UNKNOWN
constexpr Win32Error kTrustEActionUnknown = 0x800B0002;       // TRUST_E_ACTION_UNKNOWN
constexpr Win32Error kTrustESubjectFormUnknown = 0x800B0003;  // TRUST_E_SUBJECT_FORM_UNKNOWN
constexpr Win32Error kTrustESubjectNotTrusted = 0x800B0004;   // TRUST_E_SUBJECT_NOT_TRUSTED
constexpr Win32Error kTrustENoSignature = 0x800B0100;         // TRUST_E_NOSIGNATURE
constexpr Win32Error kCertEExpired = 0x800B0101;              // CERT_E_EXPIRED
constexpr Win32Error kCertECritical = 0x800B0105;             // CERT_E_CRITICAL
constexpr Win32Error kCertEUntrustedRoot = 0x800B0109;        // CERT_E_UNTRUSTEDROOT
constexpr Win32Error kCertEChaining = 0x800B010A;             // CERT_E_CHAINING
constexpr Win32Error kTrustEFail = 0x800B010B;                // TRUST_E_FAIL
constexpr Win32Error kCertEWrongUsage = 0x800B0110;           // CERT_E_WRONG_USAGE
constexpr Win32Error kTrustEExplicitDistrust = 0x800B0111;    // TRUST_E_EXPLICIT_DISTRUST

// ---- The records, in the layout of their Windows structures ----

struct CryptBlob {  // CRYPT_INTEGER_BLOB, CERT_NAME_BLOB, CRYPT_ATTR_BLOB, ...
  uint32_t size;    // cbData
  uint8_t* data;    // pbData
};

struct CryptAttribute {  // CRYPT_ATTRIBUTE
  char* oid;             // pszObjId, dotted text
  uint32_t value_count;  // cValue
  CryptBlob* values;     // rgValue: each value's whole DER encoding
};

struct CryptAttributes {  // CRYPT_ATTRIBUTES
  uint32_t count;
  CryptAttribute* attributes;
};

struct CryptAlgorithm {  // CRYPT_ALGORITHM_IDENTIFIER
  char* oid;
  CryptBlob parameters;  // DER of the parameters; empty when absent
};

// CMSG_SIGNER_INFO: one signer of a signed message. All pointers point into the
// block that holds the record.
struct SignerInfo {
  uint32_t version;
  CryptBlob issuer;         // the issuer's encoded Name
  CryptBlob serial_number;  // the serial's DER content bytes, least significant first
  CryptAlgorithm hash_algorithm;
  CryptAlgorithm hash_encryption_algorithm;
  CryptBlob encrypted_hash;
  CryptAttributes authenticated;    // AuthAttrs
  CryptAttributes unauthenticated;  // UnauthAttrs
};

// SPC_LINK choices.
constexpr uint32_t kSpcUrlLinkChoice = 1;
constexpr uint32_t kSpcMonikerLinkChoice = 2;
constexpr uint32_t kSpcFileLinkChoice = 3;

struct SpcSerializedObject {  // SPC_SERIALIZED_OBJECT
  uint8_t class_id[16];
  CryptBlob serialized_data;
};

struct SpcLink {   // SPC_LINK
  uint32_t choice;  // dwLinkChoice
  union {
    char16_t* url;                // kSpcUrlLinkChoice
    SpcSerializedObject moniker;  // kSpcMonikerLinkChoice
    char16_t* file;               // kSpcFileLinkChoice
  };
};

// SPC_SP_OPUS_INFO: the publisher information of the signer's authenticated attribute
// 1.3.6.1.4.1.311.2.1.12. Each member is null when absent.
struct SpcSpOpusInfo {
  const char16_t* program_name;
  SpcLink* more_info;
  SpcLink* publisher_info;
};

constexpr char kSpcSpOpusInfoOid[] = "1.3.6.1.4.1.311.2.1.12";

// ---- Messages and certificates ----

struct CertStore;    // HCERTSTORE: the certificates the signature carries
struct CryptMsg;     // HCRYPTMSG: the signed message
struct CertContext;  // PCCERT_CONTEXT: one certificate of the store

// As CryptQueryObject on the file `path` (UTF-16, NUL-terminated) asking for an
// Authenticode signature embedded in a PE image (content PKCS7_SIGNED_EMBED, format
// binary): its store and message, each to be closed. kCryptENoMatch when the file is
// not a PE image or holds no signature that can be read; the file system's code when
// it cannot be opened.
Win32Error CryptQueryEmbeddedSignature(const char16_t* path, CertStore** store, CryptMsg** msg);

// As CryptMsgGetParam(CMSG_SIGNER_INFO_PARAM, `index`): with `block` null, the room
// the signer's SignerInfo needs goes to `*size`; else the record is written into
// `block` (`*size` bytes), which it starts. kErrorMoreData when `*size` is short,
// kCryptENoSigner when there is no such signer.
Win32Error CryptMsgGetSignerInfo(CryptMsg* msg, uint32_t index, void* block, uint32_t* size);

// As CryptDecodeObjectEx of SPC_SP_OPUS_INFO_OBJID (X.509 and PKCS#7 encodings,
// decoder-allocated, no copy): one block for the caller, freed with FreeDecoded.
Win32Error CryptDecodeOpusInfo(const uint8_t* data, uint32_t size, SpcSpOpusInfo** out);
void FreeDecoded(void* decoded);  // LocalFree

// As CertFindCertificateInStore(CERT_FIND_SUBJECT_CERT) with the issuer and serial
// number of a signer: kCryptENotFound when the store has no such certificate.
Win32Error CertFindBySignerId(CertStore* store, const CryptBlob& issuer, const CryptBlob& serial,
                              CertContext** out);

void CertFreeCertificateContext(CertContext* cert);
void CertCloseStore(CertStore* store);
void CryptMsgClose(CryptMsg* msg);

// The certificate's serial number (CERT_INFO's SerialNumber, least significant byte
// first) and its encoded form, both valid while the context lives.
CryptBlob CertSerialNumber(const CertContext* cert);
CryptBlob CertEncoded(const CertContext* cert);

// As CertGetNameStringW(CERT_NAME_RDN_TYPE, CERT_X500_NAME_STR) of the issuer (`issuer`
// true, CERT_NAME_ISSUER_FLAG) or the subject: the units the name needs with its NUL
// when `out` is null or `cap` is 0, else the units written with the NUL (the text cut
// to fit, as Windows does). Never 0: an empty name is the text "".
uint32_t CertGetNameString(const CertContext* cert, bool issuer, char16_t* out, uint32_t cap);

// As CertGetCertificateContextProperty(CERT_SHA1_HASH_PROP_ID): with `out` null the
// length goes to `*size`; else the hash is written (kErrorMoreData when `*size` is
// short).
Win32Error CertGetSha1Hash(const CertContext* cert, uint8_t* out, uint32_t* size);

// As CryptBinaryToStringW(CRYPT_STRING_BASE64HEADER): the PEM text of `data`, lines of
// 64 characters each ended by "\r\n" between "-----BEGIN CERTIFICATE-----\r\n" and
// "-----END CERTIFICATE-----\r\n". `*units` holds the room of `out` (NUL included) and
// receives the units written without the NUL; kErrorMoreData when it does not fit.
Win32Error CryptBinaryToBase64Header(const uint8_t* data, uint32_t size, char16_t* out, uint32_t* units);

// ---- Trust ----

struct Guid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};

// WINTRUST_ACTION_GENERIC_VERIFY_V2, {00AAC56B-CD44-11D0-8CC2-00C04FC295EE}.
constexpr Guid kGenericVerifyV2 = {0x00AAC56B, 0xCD44, 0x11D0, {0x8C, 0xC2, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

struct WinTrustFileInfo {          // WINTRUST_FILE_INFO
  uint32_t struct_size;            // cbStruct
  const char16_t* path;            // pcwszFilePath
  void* file;                      // hFile
  const Guid* known_subject;       // pgKnownSubject
};

// WINTRUST_DATA up to dwUIContext: 80 bytes on 64-bit Windows, the size the library
// declares in struct_size.
struct WinTrustData {
  uint32_t struct_size;            // cbStruct
  void* policy_callback_data;      // pPolicyCallbackData
  void* sip_client_data;           // pSIPClientData
  uint32_t ui_choice;              // dwUIChoice
  uint32_t revocation_checks;      // fdwRevocationChecks
  uint32_t union_choice;           // dwUnionChoice
  WinTrustFileInfo* file;          // pFile
  uint32_t state_action;           // dwStateAction
  void* state_data;                // hWVTStateData
  char16_t* url_reference;         // pwszURLReference
  uint32_t provider_flags;         // dwProvFlags
  uint32_t ui_context;             // dwUIContext
};

constexpr uint32_t kWtdUiNone = 2;               // WTD_UI_NONE
constexpr uint32_t kWtdRevokeNone = 0;           // WTD_REVOKE_NONE
constexpr uint32_t kWtdChoiceFile = 1;           // WTD_CHOICE_FILE
constexpr uint32_t kWtdStateActionVerify = 1;    // WTD_STATEACTION_VERIFY
constexpr uint32_t kWtdStateActionClose = 2;     // WTD_STATEACTION_CLOSE
constexpr uint32_t kWtdHashOnlyFlag = 512;       // WTD_HASH_ONLY_FLAG
constexpr uint32_t kWtdLifetimeSigningFlag = 2048;  // WTD_LIFETIME_SIGNING_FLAG

// As WinVerifyTrust(INVALID_HANDLE_VALUE, action, data): the trust provider's result
// (an HRESULT; 0 when the file is trusted). It also sets the thread's last error,
// which TrustLastError reads.
uint32_t WinVerifyTrust(const Guid& action, WinTrustData* data);

// The thread's last error (GetLastError) right after WinVerifyTrust.
Win32Error TrustLastError();

}  // namespace acdc::platform
