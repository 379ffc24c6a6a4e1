#include "compiler/program.h"

#include <cstring>
#include <mutex>

#include "compiler/crc32.h"

namespace acdc::compiler {

namespace {

// The image is kept as bytes in wire order, so what is sent is exactly what was
// written, whatever the host's byte order and padding rules.
struct ProgramCompiler {
  uint8_t image[kImageSize];
  int32_t budget;   // declared body length of the open procedure
  int32_t emitted;  // body words written for it so far
};

ProgramCompiler g_compiler;  // zero at load
std::mutex g_mutex;

uint32_t Load32(size_t offset) {
  const uint8_t* p = g_compiler.image + offset;
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void Store32(size_t offset, uint32_t v) {
  uint8_t* p = g_compiler.image + offset;
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

Outcome Ok(uint32_t index) { return {Status::kOk, static_cast<int32_t>(index)}; }
Outcome Refused(Status s) { return {s, 0}; }

// Appends one word to the code area, counting it against the open procedure.
Outcome AppendBodyWordLocked(uint32_t word) {
  if (!(g_compiler.emitted < g_compiler.budget)) return {Status::kMaxInstructions, g_compiler.budget};
  uint32_t count = Load32(kCodeCountOffset);
  if (count >= kCodeCapacity) return {Status::kCodeFull, static_cast<int32_t>(kCodeCapacity)};
  Store32(kCodeOffset + 4 * size_t{count}, word);
  Store32(kCodeCountOffset, count + 1);
  ++g_compiler.emitted;
  return Ok(count);
}

// Finds the first of `stored` slots whose leading `len` bytes are `bytes`, or stores
// `bytes` in the next zeroed slot.
Outcome InternSlotLocked(size_t area, size_t slot_size, uint32_t capacity, size_t count_offset, const char* bytes,
                         size_t len, Status full) {
  uint32_t stored = Load32(count_offset);
  for (uint32_t i = 0; i < stored && i < capacity; ++i)
    if (std::memcmp(g_compiler.image + area + i * slot_size, bytes, len) == 0) return Ok(i);
  if (stored >= capacity) return Refused(full);
  uint8_t* slot = g_compiler.image + area + stored * slot_size;
  std::memset(slot, 0, slot_size);
  if (len != 0) std::memcpy(slot, bytes, len);
  Store32(count_offset, stored + 1);
  return Ok(stored);
}

}  // namespace

void Clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::memset(g_compiler.image, 0, kImageSize);
  std::memcpy(g_compiler.image + kMagicOffset, kMagic, kMagicSize);
  Store32(kConstantCountOffset, kFirstConstant);
}

void WriteDefaultProcedure() {
  std::lock_guard<std::mutex> lock(g_mutex);
  Store32(kCodeOffset, 1);            // header: one body word
  Store32(kCodeOffset + 4, 4u << 8);  // return ADVICE from position 0
  Store32(kCodeCountOffset, 2);
}

Outcome Procedure(uint32_t n) {
  std::lock_guard<std::mutex> lock(g_mutex);
  uint32_t count = Load32(kCodeCountOffset);
  if (count >= kCodeCapacity) return {Status::kCodeFull, static_cast<int32_t>(kCodeCapacity)};
  Store32(kCodeOffset + 4 * size_t{count}, n);
  Store32(kCodeCountOffset, count + 1);
  g_compiler.budget = static_cast<int32_t>(n);
  g_compiler.emitted = 0;
  return Ok(count);
}

Outcome NewCode(uint32_t op, uint32_t a, uint32_t b, bool flag, uint32_t c) {
  uint32_t word = ((((((c << 8) | b) << 8) | a) << 1 | (flag ? 1u : 0u)) << 7) | op;
  std::lock_guard<std::mutex> lock(g_mutex);
  return AppendBodyWordLocked(word);
}

Outcome NewJump(uint32_t skip) {
  if (skip > kMaxSkip) return {Status::kJumpOutOfRange, static_cast<int32_t>(skip)};
  std::lock_guard<std::mutex> lock(g_mutex);
  return AppendBodyWordLocked(skip << 8);
}

// A return is the jump past the rest of the body and `action` positions more: the
// positions n to n + 5 after the body stand for the six actions.
Outcome NewReturn(uint32_t action) {
  if (action > kMaxAction) return {Status::kInvalidAction, static_cast<int32_t>(action)};
  std::lock_guard<std::mutex> lock(g_mutex);
  uint32_t rest = static_cast<uint32_t>(g_compiler.budget) - static_cast<uint32_t>(g_compiler.emitted) - 1;
  return AppendBodyWordLocked((rest + action) << 8);
}

Outcome Link(int64_t event, uint64_t procedure) {
  if (event < 0 || event >= kEventCount) return Refused(Status::kEventUnsupported);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (procedure >= Load32(kCodeCountOffset)) return Refused(Status::kProcedureUnsupported);
  Store32(kEventProcedureOffset + 4 * static_cast<size_t>(event), static_cast<uint32_t>(procedure));
  return Ok(0);
}

Outcome Constant(uint32_t value) {
  std::lock_guard<std::mutex> lock(g_mutex);
  uint32_t count = Load32(kConstantCountOffset);
  for (uint32_t i = kFirstConstant; i < count && i < kConstantCapacity; ++i)
    if (Load32(kConstantsOffset + 4 * size_t{i}) == value) return Ok(i);
  if (count >= kConstantCapacity) return Refused(Status::kMaxConstants);
  Store32(kConstantsOffset + 4 * size_t{count}, value);
  Store32(kConstantCountOffset, count + 1);
  return Ok(count);
}

Outcome SuffixList(const char* bytes, size_t len) {
  if (len > kSuffixListSlotSize) return Refused(Status::kSuffixListTooLarge);
  std::lock_guard<std::mutex> lock(g_mutex);
  return InternSlotLocked(kSuffixListsOffset, kSuffixListSlotSize, kSuffixListCapacity, kSuffixListCountOffset, bytes,
                          len, Status::kMaxSuffixLists);
}

Outcome NewSieve(const char* bytes, size_t len) {
  if (len > kSieveSlotSize) return Refused(Status::kSieveTooLarge);
  std::lock_guard<std::mutex> lock(g_mutex);
  return InternSlotLocked(kSievesOffset, kSieveSlotSize, kSieveCapacity, kSieveCountOffset, bytes, len,
                          Status::kMaxSieves);
}

void Sign() {
  std::lock_guard<std::mutex> lock(g_mutex);
  uint32_t crc = Crc32(0, g_compiler.image, kImageSize);
  uint8_t* guid = g_compiler.image + kGuidOffset;
  guid[0] = 0xAC;
  for (int i = 0; i < 4; ++i) guid[11 + i] = static_cast<uint8_t>(crc >> (8 * i));
  guid[15] = 0;
  std::memcpy(g_compiler.image + kGuidCopyOffset, guid, kGuidSize);
}

void CopyGuid(uint8_t out[kGuidSize]) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::memcpy(out, g_compiler.image + kGuidOffset, kGuidSize);
}

void CopyImage(uint8_t out[kImageSize]) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::memcpy(out, g_compiler.image, kImageSize);
}

}  // namespace acdc::compiler
