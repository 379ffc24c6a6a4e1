// libFuzzer target for the reading of Authenticode signatures on POSIX: the PE
// layout, the certificate table, the PKCS#7 SignedData, the signer's record, the
// publisher information, names and the signed content. Run it with
// `bash scripts/fuzz.sh [seconds]`; it makes its seeds from the signing fixtures (the
// certificate tables of the signed images), so no binary seed is kept in the tree.
//
// The first byte picks what the rest is:
//   0: a whole file;
//   1: a certificate table, put into a PE image made here;
//   2: an encoded name; 3: publisher information.
// Whatever the bytes, these must hold:
// - a signer's record fits exactly the room its size query asked for, and every
//   pointer in it points inside it;
// - publisher information decodes the same twice, or fails with a decoder's code;
// - a name renders to the length its query gave, ending in its NUL, and the same
//   text cut to any shorter buffer is a prefix of it.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/authenticode.h"
#include "platform/posix/der.h"
#include "platform/posix/pe_image.h"
#include "platform/posix/signed_image.h"
#include "platform/posix/trust_rules.h"
#include "platform/posix/x500_name.h"

namespace {

namespace platform = acdc::platform;

[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "signature_fuzz: %s\n", what);
  std::abort();
}

bool Inside(const void* p, size_t n, const uint8_t* block, size_t size) {
  auto* b = static_cast<const uint8_t*>(p);
  return n == 0 || (b >= block && n <= size && b - block <= static_cast<std::ptrdiff_t>(size - n));
}

void CheckName(const uint8_t* der, size_t size) {
  size_t units = platform::X500NameToString(der, size, nullptr, 0);
  if (units == 0) Finding("a name needs no room, not even for its NUL");
  std::vector<char16_t> whole(units);
  if (platform::X500NameToString(der, size, whole.data(), units) != units) Finding("a name's length changed");
  if (whole[units - 1] != u'\0') Finding("a name does not end in its NUL");
  size_t cap = units / 2 + 1;
  std::vector<char16_t> cut(cap);
  platform::X500NameToString(der, size, cut.data(), cap);
  if (cut[cap - 1] != u'\0' || std::memcmp(cut.data(), whole.data(), (cap - 1) * sizeof(char16_t)) != 0)
    Finding("a cut name is not a prefix of the whole");
}

size_t Length16(const char16_t* s) {
  size_t n = 0;
  while (s[n] != u'\0') ++n;
  return n;
}

bool SameText(const char16_t* a, const char16_t* b) {
  if (a == nullptr || b == nullptr) return a == b;
  size_t n = Length16(a);
  return n == Length16(b) && std::memcmp(a, b, n * sizeof(char16_t)) == 0;
}

bool SameLink(const platform::SpcLink* a, const platform::SpcLink* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->choice != b->choice) return false;
  if (a->choice == platform::kSpcMonikerLinkChoice) {
    const platform::CryptBlob& x = a->moniker.serialized_data;
    const platform::CryptBlob& y = b->moniker.serialized_data;
    return std::memcmp(a->moniker.class_id, b->moniker.class_id, 16) == 0 && x.size == y.size &&
           (x.size == 0 || std::memcmp(x.data, y.data, x.size) == 0);
  }
  return SameText(a->url, b->url);
}

void CheckOpusInfo(const uint8_t* data, size_t size) {
  platform::SpcSpOpusInfo* a = nullptr;
  platform::SpcSpOpusInfo* b = nullptr;
  platform::Win32Error ea = platform::DecodeOpusInfo(data, size, &a);
  platform::Win32Error eb = platform::DecodeOpusInfo(data, size, &b);
  if (ea != eb) Finding("publisher information decodes two ways");
  if (ea != platform::kErrorSuccess) {
    if (ea != platform::kCryptEAsn1BadTag && ea != platform::kCryptEAsn1Eod && ea != platform::kCryptEAsn1Corrupt)
      Finding("publisher information fails with a code no decoder gives");
    return;
  }
  if (!SameText(a->program_name, b->program_name) || !SameLink(a->more_info, b->more_info) ||
      !SameLink(a->publisher_info, b->publisher_info))
    Finding("publisher information decodes to two values");
  platform::FreeDecoded(a);
  platform::FreeDecoded(b);
}

void CheckSigner(PKCS7* p7) {
  PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
  uint32_t size = 0;
  if (platform::WriteSignerInfo(si, nullptr, &size) != platform::kErrorSuccess) return;
  std::vector<uint8_t> block(size + 16, 0xA5);
  uint32_t got = size;
  if (platform::WriteSignerInfo(si, block.data(), &got) != platform::kErrorSuccess || got != size)
    Finding("a signer's record does not fit the room asked for");
  for (size_t i = size; i < block.size(); ++i)
    if (block[i] != 0xA5) Finding("a signer's record was written past its room");
  const auto* rec = reinterpret_cast<const platform::SignerInfo*>(block.data());
  const uint8_t* b = block.data();
  if (!Inside(rec->issuer.data, rec->issuer.size, b, size) ||
      !Inside(rec->serial_number.data, rec->serial_number.size, b, size) ||
      !Inside(rec->encrypted_hash.data, rec->encrypted_hash.size, b, size))
    Finding("a signer's blob points outside its record");
  for (const platform::CryptAttributes* attrs : {&rec->authenticated, &rec->unauthenticated}) {
    if (!Inside(attrs->attributes, attrs->count * sizeof(platform::CryptAttribute), b, size))
      Finding("a signer's attributes lie outside its record");
    for (uint32_t i = 0; i < attrs->count; ++i) {
      const platform::CryptAttribute& a = attrs->attributes[i];
      if (!Inside(a.oid, std::strlen(a.oid) + 1, b, size) || !Inside(a.values, a.value_count * sizeof(platform::CryptBlob), b, size))
        Finding("an attribute points outside its record");
      for (uint32_t j = 0; j < a.value_count; ++j) {
        if (!Inside(a.values[j].data, a.values[j].size, b, size)) Finding("a value points outside its record");
        if (std::strcmp(a.oid, platform::kSpcSpOpusInfoOid) == 0) CheckOpusInfo(a.values[j].data, a.values[j].size);
      }
    }
  }
  CheckName(rec->issuer.data, rec->issuer.size);
  X509* cert = platform::FindBySignerId(p7->d.sign->cert, rec->issuer, rec->serial_number);
  if (cert != nullptr) {
    const unsigned char* der = nullptr;
    size_t n = 0;
    if (X509_NAME_get0_der(X509_get_subject_name(cert), &der, &n) == 1) CheckName(der, n);
  }
}

void CheckImage(const uint8_t* data, size_t size) {
  platform::MemoryBytes bytes{data, size};
  platform::ByteSource source = platform::MemorySource(&bytes);
  platform::PeLayout layout;
  PKCS7* p7 = nullptr;
  if (platform::ReadImageSignature(source, &layout, &p7) != platform::ImageSignature::kSigned) return;
  CheckSigner(p7);
  platform::IndirectData content;
  if (platform::ReadIndirectData(p7, &content)) {
    if (!Inside(content.digest, content.digest_size, content.signed_content, content.signed_content_size))
      Finding("the signed digest lies outside the signed content");
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned digest_size = 0;
    if (content.md != nullptr) platform::ImageDigest(source, layout, content.md, digest, &digest_size);
    X509* signer = nullptr;
    platform::VerifySignerSignature(p7, content, &signer);
  }
  PKCS7_free(p7);
}

// A PE32+ image of 0x200 bytes of headers with `table` as its certificate table.
std::vector<uint8_t> ImageAround(const uint8_t* table, size_t size) {
  std::vector<uint8_t> image(0x200, 0);
  image[0] = 'M', image[1] = 'Z', image[0x3C] = 0x80;
  std::memcpy(&image[0x80], "PE\0\0", 4);
  image[0x80 + 20] = 240;  // optional header: 112 bytes and 16 directories
  image[0x98] = 0x0B, image[0x99] = 0x02;
  image[0x98 + 108] = 16;
  size_t entry = 0x98 + 112 + 32;
  image[entry + 1] = 0x02;  // table at 0x200
  for (int i = 0; i < 4; ++i) image[entry + 4 + i] = static_cast<uint8_t>(size >> (8 * i));
  image.insert(image.end(), table, table + size);
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t* rest = data + 1;
  size_t n = size - 1;
  switch (data[0] % 4) {
    case 0: CheckImage(rest, n); break;
    case 1: {
      std::vector<uint8_t> image = ImageAround(rest, n);
      CheckImage(image.data(), image.size());
      break;
    }
    case 2: CheckName(rest, n); break;
    case 3: CheckOpusInfo(rest, n); break;
  }
  ERR_clear_error();
  return 0;
}
