// The read context of one hash call, its two steps OpenForHashing and fileread, and
// the pass that feeds each chunk to the digests.
#include "ac/ac-Windows/oplock_reader.h"

#include <cstring>

#include "platform/core_library.h"
#include "platform/oplock_file.h"
#include "platform/services.h"

namespace acdc::ac {

namespace {

namespace core = platform::core;
using platform::Win32Error;

// The source line of the "Interrupted oplock" record: fixed, so that the record
// reads the same on both systems and across edits of this file.
constexpr int kInterruptedOplockLine = 768;

// One per hash call, owned by the calling function, closed before it returns.
struct OplockReader {
  platform::OplockFile file;
  bool open;          // the file is open and under its oplock
  Win32Error status;  // of the whole read; 0 while all is well
};

// The end of the file ends a read as well as any.
bool Succeeded(Win32Error status) { return status == platform::kErrorSuccess || status == platform::kErrorHandleEof; }

void OpenForHashing(const char* path, size_t len, OplockReader* r) {
  r->status = platform::OpenOplockFile(path, len, &r->file);
  r->open = r->status == platform::kErrorSuccess;
}

void CloseReader(OplockReader* r) {
  if (!r->open) return;
  platform::CloseOplockFile(&r->file);
  r->open = false;
}

// The next chunk's size; 0 once the file is closed: at its end, on a read error, or
// when another program wanted it.
uint32_t fileread(OplockReader* r, uint8_t* buffer) {
  uint32_t got = 0;
  Win32Error error = platform::kErrorSuccess;
  switch (platform::ReadOplockFile(&r->file, buffer, kHashChunkBytes, &got, &error)) {
    case platform::OplockRead::kData: return got;
    case platform::OplockRead::kEnd:
    case platform::OplockRead::kFailed: r->status = error; break;
    case platform::OplockRead::kBroken:
      r->status = platform::kErrorSharingViolation;
      if (core::TraceEnabled(core::kWindowsComponent))
        core::Trace(core::kWindowsComponent, core::kWindowsComponent, kInterruptedOplockLine, __FUNCTION__,
                    "Interrupted oplock");
      break;
  }
  CloseReader(r);
  return 0;
}

struct DigestKind {
  uint8_t bit;
  platform::DigestAlgorithm algorithm;
  size_t size;
  size_t offset;  // of its bytes in FileHash
};

constexpr DigestKind kKinds[] = {
    {kHashMd5, platform::DigestAlgorithm::kMd5, platform::kMd5Bytes, offsetof(FileHash, md5)},
    {kHashSha1, platform::DigestAlgorithm::kSha1, platform::kSha1Bytes, offsetof(FileHash, sha1)},
    {kHashSha256, platform::DigestAlgorithm::kSha256, platform::kSha256Bytes, offsetof(FileHash, sha256)},
};
constexpr size_t kKindCount = sizeof kKinds / sizeof kKinds[0];

// The contexts of the digests asked for; the others stay null.
struct Digests {
  uint8_t asked;
  void* ctx[kKindCount];
};

Win32Error StartDigests(Digests* d) {
  for (size_t i = 0; i < kKindCount; ++i) {
    if ((d->asked & kKinds[i].bit) == 0) continue;
    d->ctx[i] = platform::NewDigestContext();
    if (d->ctx[i] == nullptr) return platform::kErrorNotEnoughMemory;
    if (!platform::OsDigestInit(d->ctx[i], kKinds[i].algorithm)) return platform::kErrorNotSupported;
  }
  return platform::kErrorSuccess;
}

bool FeedDigests(Digests* d, const uint8_t* data, size_t n) {
  for (size_t i = 0; i < kKindCount; ++i) {
    if (d->ctx[i] != nullptr && !platform::OsDigestUpdate(d->ctx[i], data, n)) return false;
  }
  return true;
}

Win32Error FinishDigests(Digests* d, FileHash* out) {
  for (size_t i = 0; i < kKindCount; ++i) {
    if (d->ctx[i] == nullptr) continue;
    uint8_t digest[platform::kMaxDigestBytes];
    uint32_t len = 0;
    if (!platform::OsDigestFinal(d->ctx[i], digest, &len) || len != kKinds[i].size)
      return platform::kErrorInternalError;
    std::memcpy(reinterpret_cast<uint8_t*>(out) + kKinds[i].offset, digest, len);
  }
  out->computed = d->asked;
  return platform::kErrorSuccess;
}

void FreeDigests(Digests* d) {
  for (void*& ctx : d->ctx) {
    platform::OsFreeDigestContext(ctx);
    ctx = nullptr;
  }
}

}  // namespace

void HashFile(const char* path, size_t len, uint8_t wanted, FipsRule fips, uint8_t* chunk, FileHash* out) {
  *out = FileHash{};
  OplockReader reader;
  OpenForHashing(path, len, &reader);
  if (!Succeeded(reader.status)) {
    out->status = reader.status;
    return;
  }
  Digests digests{wanted, {}};
  // Asked once per call, with the file open.
  if (fips == FipsRule::kDropMd5InFipsMode && platform::FipsMode()) digests.asked &= ~kHashMd5;
  Win32Error digest_error = StartDigests(&digests);
  while (digest_error == platform::kErrorSuccess && reader.open) {
    uint32_t n = fileread(&reader, chunk);
    if (n == 0) break;
    out->bytes += n;
    if (!FeedDigests(&digests, chunk, n)) digest_error = platform::kErrorInternalError;
  }
  CloseReader(&reader);
  if (digest_error == platform::kErrorSuccess && Succeeded(reader.status))
    digest_error = FinishDigests(&digests, out);
  FreeDigests(&digests);
  if (digest_error != platform::kErrorSuccess)
    out->status = digest_error;
  else if (!Succeeded(reader.status))
    out->status = reader.status;
  if (out->status != platform::kErrorSuccess) out->computed = 0;
}

}  // namespace acdc::ac
