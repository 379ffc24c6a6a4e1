#include "platform/posix/signed_image.h"

#include <openssl/objects.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix/der.h"

namespace acdc::platform {

namespace {

// Lays records out in one block: a first pass with no block measures, a second
// writes at the same offsets. Take returns null while measuring.
class BlockWriter {
 public:
  explicit BlockWriter(uint8_t* block) : block_(block) {}
  void* Take(size_t n, size_t align) {
    used_ = (used_ + align - 1) / align * align;
    void* p = block_ != nullptr ? block_ + used_ : nullptr;
    used_ += n;
    return p;
  }
  template <typename T>
  T* TakeArray(size_t count) {
    return static_cast<T*>(Take(count * sizeof(T), alignof(T)));
  }
  size_t used() const { return used_; }

 private:
  uint8_t* block_;
  size_t used_ = 0;
};

// The dotted text of `obj` in the block; false when it has none.
bool PutOid(BlockWriter* w, const ASN1_OBJECT* obj, char** dst) {
  int n = OBJ_obj2txt(nullptr, 0, obj, 1);
  if (n <= 0) return false;
  auto* text = static_cast<char*>(w->Take(static_cast<size_t>(n) + 1, 1));
  if (text != nullptr) OBJ_obj2txt(text, n + 1, obj, 1);
  if (dst != nullptr) *dst = text;
  return true;
}

void PutBytes(BlockWriter* w, const uint8_t* data, size_t n, CryptBlob* dst) {
  auto* p = static_cast<uint8_t*>(w->Take(n, 1));
  if (p == nullptr) return;
  if (n > 0) std::memcpy(p, data, n);
  dst->size = static_cast<uint32_t>(n);
  dst->data = p;
}

// The DER of an object through its i2d function, in the block.
template <typename T>
bool PutEncoded(BlockWriter* w, T* object, int (*i2d)(T*, unsigned char**), CryptBlob* dst) {
  int n = i2d(object, nullptr);
  if (n < 0) return false;
  auto* p = static_cast<unsigned char*>(w->Take(static_cast<size_t>(n), 1));
  if (p != nullptr) {
    unsigned char* q = p;
    i2d(object, &q);
    dst->size = static_cast<uint32_t>(n);
    dst->data = p;
  }
  return true;
}

int EncodeName(X509_NAME* name, unsigned char** out) { return i2d_X509_NAME(name, out); }
int EncodeType(ASN1_TYPE* type, unsigned char** out) { return i2d_ASN1_TYPE(type, out); }

bool PutAlgorithm(BlockWriter* w, const X509_ALGOR* alg, CryptAlgorithm* dst) {
  if (alg == nullptr) return false;
  if (!PutOid(w, alg->algorithm, dst != nullptr ? &dst->oid : nullptr)) return false;
  if (alg->parameter == nullptr) return true;
  CryptBlob unused;
  return PutEncoded(w, alg->parameter, EncodeType, dst != nullptr ? &dst->parameters : &unused);
}

bool PutAttributes(BlockWriter* w, STACK_OF(X509_ATTRIBUTE) * attrs, CryptAttributes* dst) {
  int n = attrs != nullptr ? sk_X509_ATTRIBUTE_num(attrs) : 0;
  if (n <= 0) return true;
  CryptAttribute* list = w->TakeArray<CryptAttribute>(static_cast<size_t>(n));
  if (dst != nullptr) *dst = {static_cast<uint32_t>(n), list};
  for (int i = 0; i < n; ++i) {
    X509_ATTRIBUTE* a = sk_X509_ATTRIBUTE_value(attrs, i);
    CryptAttribute* out = list != nullptr ? &list[i] : nullptr;
    if (!PutOid(w, X509_ATTRIBUTE_get0_object(a), out != nullptr ? &out->oid : nullptr)) return false;
    int count = X509_ATTRIBUTE_count(a);
    CryptBlob* values = w->TakeArray<CryptBlob>(static_cast<size_t>(count > 0 ? count : 0));
    if (out != nullptr) {
      out->value_count = static_cast<uint32_t>(count > 0 ? count : 0);
      out->values = count > 0 ? values : nullptr;
    }
    for (int j = 0; j < count; ++j) {
      CryptBlob unused;
      if (!PutEncoded(w, X509_ATTRIBUTE_get0_type(a, j), EncodeType, values != nullptr ? &values[j] : &unused))
        return false;
    }
  }
  return true;
}

// The DER content bytes of an INTEGER, least significant first, in the block.
bool PutSerial(BlockWriter* w, const ASN1_INTEGER* serial, CryptBlob* dst) {
  unsigned char* der = nullptr;
  int n = i2d_ASN1_INTEGER(serial, &der);
  if (n <= 0) return false;
  der::Reader r(der, static_cast<size_t>(n));
  der::Element e;
  bool ok = r.Expect(der::kInteger, &e) == der::Status::kOk;
  if (ok) {
    auto* p = static_cast<uint8_t*>(w->Take(e.content_size, 1));
    if (p != nullptr) {
      for (size_t i = 0; i < e.content_size; ++i) p[i] = e.content[e.content_size - 1 - i];
      *dst = {static_cast<uint32_t>(e.content_size), p};
    }
  }
  OPENSSL_free(der);
  return ok;
}

bool LayOutSigner(PKCS7_SIGNER_INFO* si, BlockWriter* w) {
  SignerInfo* rec = w->TakeArray<SignerInfo>(1);
  CryptBlob unused_blob;
  if (si->issuer_and_serial == nullptr) return false;
  if (rec != nullptr) rec->version = static_cast<uint32_t>(ASN1_INTEGER_get(si->version));
  return PutEncoded(w, si->issuer_and_serial->issuer, EncodeName, rec != nullptr ? &rec->issuer : &unused_blob) &&
         PutSerial(w, si->issuer_and_serial->serial, rec != nullptr ? &rec->serial_number : &unused_blob) &&
         PutAlgorithm(w, si->digest_alg, rec != nullptr ? &rec->hash_algorithm : nullptr) &&
         PutAlgorithm(w, si->digest_enc_alg, rec != nullptr ? &rec->hash_encryption_algorithm : nullptr) &&
         (si->enc_digest == nullptr ||
          (PutBytes(w, si->enc_digest->data, static_cast<size_t>(si->enc_digest->length),
                    rec != nullptr ? &rec->encrypted_hash : &unused_blob),
           true)) &&
         PutAttributes(w, si->auth_attr, rec != nullptr ? &rec->authenticated : nullptr) &&
         PutAttributes(w, si->unauth_attr, rec != nullptr ? &rec->unauthenticated : nullptr);
}

// The integer without its sign extension: leading 0x00 bytes of a positive number,
// leading 0xFF bytes of a negative one (the bytes run least significant first).
size_t SignificantBytes(const CryptBlob& b) {
  size_t n = b.size;
  if (n == 0) return 0;
  bool negative = (b.data[n - 1] & 0x80) != 0;
  uint8_t fill = negative ? 0xFF : 0x00;
  while (n > 1 && b.data[n - 1] == fill && ((b.data[n - 2] & 0x80) != 0) == negative) --n;
  return n;
}

// ---- SpcSpOpusInfo ----

// SpcString ::= CHOICE { unicode [0] IMPLICIT BMPString, ascii [1] IMPLICIT IA5String }
Win32Error PutSpcString(BlockWriter* w, const der::Element& e, char16_t** dst) {
  size_t units;
  if (e.tag == der::ContextPrimitive(0)) {
    if (e.content_size % 2 != 0) return kCryptEAsn1Corrupt;
    units = e.content_size / 2;
  } else if (e.tag == der::ContextPrimitive(1)) {
    units = e.content_size;
  } else {
    return kCryptEAsn1BadTag;
  }
  auto* text = w->TakeArray<char16_t>(units + 1);
  if (text == nullptr) return kErrorSuccess;
  for (size_t i = 0; i < units; ++i) {
    text[i] = e.tag == der::ContextPrimitive(0)
                  ? static_cast<char16_t>(e.content[2 * i] << 8 | e.content[2 * i + 1])
                  : static_cast<char16_t>(e.content[i]);
  }
  text[units] = u'\0';
  *dst = text;
  return kErrorSuccess;
}

Win32Error StatusCode(der::Status s) {
  switch (s) {
    case der::Status::kTruncated:
    case der::Status::kEnd: return kCryptEAsn1Eod;
    case der::Status::kCorrupt: return kCryptEAsn1BadTag;
    default: return kErrorSuccess;
  }
}

// The only element of `outer` (an explicit wrapper's content).
Win32Error OnlyElement(const der::Element& outer, der::Element* inner) {
  der::Reader r(outer);
  der::Status s = r.Next(inner);
  if (s != der::Status::kOk) return StatusCode(s);
  return r.AtEnd() ? kErrorSuccess : kCryptEAsn1Corrupt;
}

// SpcLink ::= CHOICE { url [0] IMPLICIT IA5String, moniker [1] IMPLICIT
// SpcSerializedObject, file [2] EXPLICIT SpcString }
Win32Error PutSpcLink(BlockWriter* w, const der::Element& e, SpcLink** dst) {
  SpcLink* link = w->TakeArray<SpcLink>(1);
  if (link != nullptr) *dst = link;
  if (e.tag == der::ContextPrimitive(0)) {
    der::Element as_ascii = e;
    as_ascii.tag = der::ContextPrimitive(1);
    if (link != nullptr) link->choice = kSpcUrlLinkChoice;
    char16_t* unused;
    return PutSpcString(w, as_ascii, link != nullptr ? &link->url : &unused);
  }
  if (e.tag == der::ContextConstructed(1)) {
    der::Reader r(e);
    der::Element class_id, data;
    der::Status s = r.Expect(der::kOctetString, &class_id);
    if (s == der::Status::kOk) s = r.Expect(der::kOctetString, &data);
    if (s != der::Status::kOk) return StatusCode(s);
    if (class_id.content_size != sizeof link->moniker.class_id) return kCryptEAsn1Corrupt;
    if (link != nullptr) {
      link->choice = kSpcMonikerLinkChoice;
      std::memcpy(link->moniker.class_id, class_id.content, class_id.content_size);
    }
    CryptBlob unused;
    PutBytes(w, data.content, data.content_size, link != nullptr ? &link->moniker.serialized_data : &unused);
    return kErrorSuccess;
  }
  if (e.tag == der::ContextConstructed(2)) {
    der::Element text;
    Win32Error err = OnlyElement(e, &text);
    if (err != kErrorSuccess) return err;
    if (link != nullptr) link->choice = kSpcFileLinkChoice;
    char16_t* unused;
    return PutSpcString(w, text, link != nullptr ? &link->file : &unused);
  }
  return kCryptEAsn1BadTag;
}

// SpcSpOpusInfo ::= SEQUENCE { programName [0] EXPLICIT SpcString OPTIONAL,
//   moreInfo [1] EXPLICIT SpcLink OPTIONAL, publisherInfo [2] EXPLICIT SpcLink OPTIONAL }
Win32Error LayOutOpusInfo(const uint8_t* data, size_t size, BlockWriter* w) {
  SpcSpOpusInfo* info = w->TakeArray<SpcSpOpusInfo>(1);
  if (info != nullptr) *info = {nullptr, nullptr, nullptr};
  der::Reader top(data, size);
  der::Element seq;
  der::Status s = top.Expect(der::kSequence, &seq);
  if (s != der::Status::kOk) return StatusCode(s);
  der::Reader fields(seq);
  int next = 0;  // fields come in order, each at most once
  while (!fields.AtEnd()) {
    der::Element field, inner;
    s = fields.Next(&field);
    if (s != der::Status::kOk) return StatusCode(s);
    int n = field.tag - der::ContextConstructed(0);
    if (n < next || n > 2) return kCryptEAsn1BadTag;
    next = n + 1;
    Win32Error err = OnlyElement(field, &inner);
    if (err != kErrorSuccess) return err;
    char16_t* unused_text;
    SpcLink* unused_link;
    if (n == 0) {
      err = PutSpcString(w, inner, info != nullptr ? const_cast<char16_t**>(&info->program_name) : &unused_text);
    } else {
      err = PutSpcLink(w, inner, info != nullptr ? (n == 1 ? &info->more_info : &info->publisher_info) : &unused_link);
    }
    if (err != kErrorSuccess) return err;
  }
  return kErrorSuccess;
}

}  // namespace

ImageSignature ReadImageSignature(const ByteSource& source, PeLayout* layout, PKCS7** p7) {
  switch (ReadPeLayout(source, layout)) {
    case PeForm::kNotPe: return ImageSignature::kNotPe;
    case PeForm::kTruncated: return ImageSignature::kHeadersCut;
    case PeForm::kPe: break;
  }
  if (layout->table_offset == 0) return ImageSignature::kNoSignature;
  if (uint64_t{layout->table_offset} + layout->table_size > source.size) return ImageSignature::kTableCut;
  if (layout->table_size > kMaxCertificateTable) return ImageSignature::kUnreadable;
  auto* table = static_cast<uint8_t*>(std::malloc(layout->table_size));
  if (table == nullptr) return ImageSignature::kReadError;
  ImageSignature result = ImageSignature::kUnreadable;
  const uint8_t* der = nullptr;
  size_t der_size = 0;
  if (!source.read_at(source.context, layout->table_offset, table, layout->table_size)) {
    result = ImageSignature::kReadError;
  } else if (FirstCertificate(table, layout->table_size, &der, &der_size) && der_size <= 0x7FFFFFFF) {
    const unsigned char* p = der;
    PKCS7* parsed = d2i_PKCS7(nullptr, &p, static_cast<long>(der_size));
    if (parsed != nullptr && PKCS7_type_is_signed(parsed) && parsed->d.sign != nullptr &&
        sk_PKCS7_SIGNER_INFO_num(parsed->d.sign->signer_info) > 0) {
      *p7 = parsed;
      result = ImageSignature::kSigned;
    } else {
      PKCS7_free(parsed);
    }
  }
  std::free(table);
  return result;
}

CryptMsg* NewCryptMsg(PKCS7* p7) {
  auto* msg = static_cast<CryptMsg*>(std::malloc(sizeof(CryptMsg)));
  if (msg == nullptr) {
    PKCS7_free(p7);
    return nullptr;
  }
  msg->p7 = p7;
  return msg;
}

CertStore* NewCertStore(const PKCS7* p7) {
  auto* store = static_cast<CertStore*>(std::malloc(sizeof(CertStore)));
  if (store == nullptr) return nullptr;
  store->certs = sk_X509_new_null();
  STACK_OF(X509)* carried = p7->d.sign->cert;
  bool ok = store->certs != nullptr;
  for (int i = 0; ok && carried != nullptr && i < sk_X509_num(carried); ++i) {
    X509* x = sk_X509_value(carried, i);
    ok = X509_up_ref(x) == 1;
    if (ok && sk_X509_push(store->certs, x) <= 0) {
      X509_free(x);
      ok = false;
    }
  }
  if (!ok) {
    sk_X509_pop_free(store->certs, X509_free);
    std::free(store);
    return nullptr;
  }
  return store;
}

CertContext* NewCertContext(X509* x509) {
  unsigned char* der = nullptr;
  int n = i2d_X509(x509, &der);
  unsigned char* serial_der = nullptr;
  int serial_n = i2d_ASN1_INTEGER(X509_get0_serialNumber(x509), &serial_der);
  auto* cert = static_cast<CertContext*>(std::malloc(sizeof(CertContext)));
  der::Element e{};
  bool ok = n > 0 && serial_n > 0 && cert != nullptr &&
            der::Reader(serial_der, static_cast<size_t>(serial_n)).Expect(der::kInteger, &e) == der::Status::kOk;
  uint8_t* serial = ok ? static_cast<uint8_t*>(std::malloc(e.content_size + 1)) : nullptr;
  if (serial == nullptr || X509_up_ref(x509) != 1) {
    std::free(serial);
    std::free(cert);
    OPENSSL_free(der);
    OPENSSL_free(serial_der);
    return nullptr;
  }
  for (size_t i = 0; i < e.content_size; ++i) serial[i] = e.content[e.content_size - 1 - i];
  *cert = {x509, serial, static_cast<uint32_t>(e.content_size), der, static_cast<uint32_t>(n)};
  OPENSSL_free(serial_der);
  return cert;
}

Win32Error WriteSignerInfo(PKCS7_SIGNER_INFO* si, void* block, uint32_t* size) {
  BlockWriter measure(nullptr);
  if (!LayOutSigner(si, &measure) || measure.used() > UINT32_MAX) return kCryptEBadMsg;
  uint32_t needed = static_cast<uint32_t>(measure.used());
  if (block == nullptr || *size < needed) {
    Win32Error e = block == nullptr ? kErrorSuccess : kErrorMoreData;
    *size = needed;
    return e;
  }
  // Parts the signer lacks (parameters, attributes) stay zero.
  std::memset(block, 0, needed);
  BlockWriter write(static_cast<uint8_t*>(block));
  LayOutSigner(si, &write);
  *size = needed;
  return kErrorSuccess;
}

bool SameInteger(const CryptBlob& a, const CryptBlob& b) {
  size_t n = SignificantBytes(a);
  return n == SignificantBytes(b) && (n == 0 || std::memcmp(a.data, b.data, n) == 0);
}

X509* FindBySignerId(const STACK_OF(X509) * certs, const CryptBlob& issuer, const CryptBlob& serial) {
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    X509* x = sk_X509_value(certs, i);
    const unsigned char* name = nullptr;
    size_t name_size = 0;
    if (X509_NAME_get0_der(X509_get_issuer_name(x), &name, &name_size) != 1) continue;
    if (name_size != issuer.size || std::memcmp(name, issuer.data, name_size) != 0) continue;
    CertContext* probe = NewCertContext(x);
    if (probe == nullptr) continue;
    bool same = SameInteger({probe->serial_size, probe->serial}, serial);
    X509_free(probe->x509);
    std::free(probe->serial);
    OPENSSL_free(probe->encoded);
    std::free(probe);
    if (same) return x;
  }
  return nullptr;
}

Win32Error DecodeOpusInfo(const uint8_t* data, size_t size, SpcSpOpusInfo** out) {
  BlockWriter measure(nullptr);
  Win32Error e = LayOutOpusInfo(data, size, &measure);
  if (e != kErrorSuccess || out == nullptr) return e;
  auto* block = static_cast<uint8_t*>(std::malloc(measure.used()));
  if (block == nullptr) return kErrorNotEnoughMemory;
  BlockWriter write(block);
  LayOutOpusInfo(data, size, &write);
  *out = reinterpret_cast<SpcSpOpusInfo*>(block);
  return kErrorSuccess;
}

}  // namespace acdc::platform
