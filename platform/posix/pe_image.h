// The parts of a PE image that its Authenticode signature involves: where the
// checksum and the certificate table's data directory entry are, where the table is,
// its first entry, and the image digest that leaves those three out. Internal to the
// posix backend; it reads through a ByteSource, so the fuzz target and the tests hand
// it memory while the library hands it a file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::platform {

// Random access to the bytes of a file or a block of memory.
struct ByteSource {
  void* context;
  uint64_t size;  // bytes in all
  // Reads exactly `n` bytes at `offset`; false on failure or past the end.
  bool (*read_at)(void* context, uint64_t offset, void* out, size_t n);
};

// A source over a block of memory; `bytes` and what it points to must outlive it.
struct MemoryBytes {
  const uint8_t* data;
  size_t size;
};
ByteSource MemorySource(MemoryBytes* bytes);

struct PeLayout {
  uint64_t checksum_offset;        // the optional header's CheckSum (4 bytes)
  uint64_t security_entry_offset;  // the certificate table's data directory entry (8 bytes); 0 when none
  uint32_t table_offset;           // the certificate table (a file offset), 0 when there is none
  uint32_t table_size;
};

enum class PeForm : uint8_t {
  kPe,
  kNotPe,      // no MZ header, no PE signature, or an optional header of unknown kind
  kTruncated,  // the headers say PE, but the file ends inside them
};

PeForm ReadPeLayout(const ByteSource& source, PeLayout* out);

// WIN_CERTIFICATE of the PKCS#7 signed data kind.
constexpr uint16_t kWinCertTypePkcsSignedData = 0x0002;

// The first entry of the certificate table (`size` bytes at `table`): the DER of its
// PKCS#7 SignedData. False when the table is shorter than an entry's header, the
// entry's length runs past the table, or the entry is not PKCS#7 signed data of
// revision 1.0 or 2.0.
bool FirstCertificate(const uint8_t* table, size_t size, const uint8_t** der, size_t* der_size);

// The largest certificate table read whole; a longer one is taken for no signature.
constexpr uint32_t kMaxCertificateTable = 16u << 20;

// The Authenticode digest of the image with `md` (an EVP_MD): every byte of the file
// except the checksum, the certificate table's directory entry and the table itself,
// in file order. `out` has room for EVP_MAX_MD_SIZE; false when a read or the digest
// fails.
bool ImageDigest(const ByteSource& source, const PeLayout& layout, const void* md, uint8_t* out,
                 unsigned* out_size);

}  // namespace acdc::platform
