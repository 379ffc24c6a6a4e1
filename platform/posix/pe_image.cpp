#include "platform/posix/pe_image.h"

#include <openssl/evp.h>

#include <cstring>

namespace acdc::platform {

namespace {

bool ReadMemory(void* context, uint64_t offset, void* out, size_t n) {
  const MemoryBytes* m = static_cast<const MemoryBytes*>(context);
  if (offset > m->size || n > m->size - offset) return false;
  std::memcpy(out, m->data + offset, n);
  return true;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kSecurityDirectory = 4;  // IMAGE_DIRECTORY_ENTRY_SECURITY

// Where the two optional-header kinds keep NumberOfRvaAndSizes and the directories.
struct OptionalHeaderKind {
  uint32_t rva_count_offset;
  uint32_t directories_offset;
};
constexpr OptionalHeaderKind kPe32 = {92, 96};
constexpr OptionalHeaderKind kPe32Plus = {108, 112};
constexpr uint32_t kChecksumOffset = 64;  // the same in both kinds

}  // namespace

ByteSource MemorySource(MemoryBytes* bytes) { return {bytes, bytes->size, ReadMemory}; }

PeForm ReadPeLayout(const ByteSource& source, PeLayout* out) {
  uint8_t dos[64];
  if (source.size < 2 || !source.read_at(source.context, 0, dos, 2) || dos[0] != 'M' || dos[1] != 'Z')
    return PeForm::kNotPe;
  if (!source.read_at(source.context, 0, dos, sizeof dos)) return PeForm::kTruncated;
  uint64_t pe = Le32(dos + 0x3C);
  // The PE signature and the COFF file header.
  uint8_t nt[24];
  if (!source.read_at(source.context, pe, nt, sizeof nt)) {
    // A DOS program has no PE signature at all; the cut of a PE image ends inside it.
    return pe + sizeof nt > source.size ? PeForm::kTruncated : PeForm::kNotPe;
  }
  if (std::memcmp(nt, "PE\0\0", 4) != 0) return PeForm::kNotPe;
  uint32_t optional_size = Le16(nt + 20);
  uint64_t optional = pe + sizeof nt;
  uint8_t magic[2];
  if (optional_size < 2) return PeForm::kNotPe;
  if (!source.read_at(source.context, optional, magic, 2)) return PeForm::kTruncated;
  OptionalHeaderKind kind;
  switch (Le16(magic)) {
    case kPe32Magic: kind = kPe32; break;
    case kPe32PlusMagic: kind = kPe32Plus; break;
    default: return PeForm::kNotPe;
  }
  if (optional_size < kind.directories_offset) return PeForm::kNotPe;
  uint8_t count[4];
  if (!source.read_at(source.context, optional + kind.rva_count_offset, count, 4)) return PeForm::kTruncated;
  out->checksum_offset = optional + kChecksumOffset;
  out->security_entry_offset = 0;
  out->table_offset = 0;
  out->table_size = 0;
  uint64_t entry = optional + kind.directories_offset + 8 * kSecurityDirectory;
  // Fewer directories than the security entry's index, or an optional header too
  // short to hold it: an image without a certificate table.
  if (Le32(count) <= kSecurityDirectory || entry + 8 > optional + optional_size) return PeForm::kPe;
  uint8_t dir[8];
  if (!source.read_at(source.context, entry, dir, sizeof dir)) return PeForm::kTruncated;
  out->security_entry_offset = entry;
  out->table_offset = Le32(dir);
  out->table_size = Le32(dir + 4);
  if (out->table_offset == 0 || out->table_size == 0) out->table_offset = out->table_size = 0;
  return PeForm::kPe;
}

bool FirstCertificate(const uint8_t* table, size_t size, const uint8_t** der, size_t* der_size) {
  constexpr size_t kHeader = 8;  // dwLength, wRevision, wCertificateType
  if (size < kHeader) return false;
  uint32_t length = Le32(table);
  uint16_t revision = Le16(table + 4);
  uint16_t type = Le16(table + 6);
  if (length < kHeader || length > size) return false;
  if ((revision != 0x0100 && revision != 0x0200) || type != kWinCertTypePkcsSignedData) return false;
  *der = table + kHeader;
  *der_size = length - kHeader;
  return true;
}

bool ImageDigest(const ByteSource& source, const PeLayout& layout, const void* md, uint8_t* out,
                 unsigned* out_size) {
  // The ranges left out, in file order; the table is last in any image a signer
  // wrote, but an image with bytes after it is hashed the same way.
  struct Hole {
    uint64_t offset, size;
  } holes[3] = {{layout.checksum_offset, 4},
                {layout.security_entry_offset, 8},
                {layout.table_offset, layout.table_size}};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return false;
  bool ok = EVP_DigestInit_ex(ctx, static_cast<const EVP_MD*>(md), nullptr) == 1;
  uint8_t buffer[64 * 1024];
  uint64_t at = 0;
  for (size_t h = 0; ok && h <= 3; ++h) {
    uint64_t end = h < 3 ? holes[h].offset : source.size;
    if (end > source.size || end < at) {
      ok = false;
      break;
    }
    while (ok && at < end) {
      size_t n = end - at < sizeof buffer ? static_cast<size_t>(end - at) : sizeof buffer;
      ok = source.read_at(source.context, at, buffer, n) && EVP_DigestUpdate(ctx, buffer, n) == 1;
      at += n;
    }
    if (h < 3) at += holes[h].size;
  }
  ok = ok && EVP_DigestFinal_ex(ctx, out, out_size) == 1;
  EVP_MD_CTX_free(ctx);
  return ok;
}

}  // namespace acdc::platform
