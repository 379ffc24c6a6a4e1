// The driver's filter program: one process-wide image of fixed size, zero at load,
// filled by the `compiler` functions of module acdc and sent to the driver whole.
//
// Every builder call either does all of its work or refuses with a Status and leaves
// the image exactly as it was, so a Lua error raised for the refusal never leaves a
// half-written program behind.
//
// Locking: each call holds one process-wide mutex for its own read-modify-write of the
// image and nothing else (no Lua call, no I/O), so Lua states on several threads never
// see a torn image. A program is still meant to be built by one thread: the lock makes
// each call atomic, not a sequence of calls such as a procedure and its body. The lock
// is a leaf: nothing else is taken while it is held.
#pragma once

#include <cstddef>
#include <cstdint>

#include "event/event_table.h"

namespace acdc::compiler {

// Wire layout of the image; all integers little-endian.
constexpr size_t kImageSize = 0x2500;
constexpr size_t kMagicOffset = 0x0000;
constexpr size_t kMagicSize = 9;
constexpr size_t kGuidOffset = 0x0010;
constexpr size_t kGuidSize = 16;
constexpr size_t kCodeCountOffset = 0x0020;
constexpr size_t kConstantCountOffset = 0x0024;
constexpr size_t kSuffixListCountOffset = 0x0028;
constexpr size_t kSieveCountOffset = 0x002C;
constexpr size_t kConstantsOffset = 0x0030;
constexpr size_t kSuffixListsOffset = 0x0430;
constexpr size_t kSievesOffset = 0x1030;
constexpr size_t kEventProcedureOffset = 0x1438;
constexpr size_t kCodeOffset = 0x1500;
constexpr size_t kGuidCopyOffset = 0x24F0;

constexpr char kMagic[kMagicSize + 1] = "\"program\"";

constexpr uint32_t kConstantCapacity = 256;
constexpr uint32_t kFirstConstant = 8;  // slots 0-7 are left to the driver
constexpr uint32_t kSuffixListCapacity = 3;
constexpr size_t kSuffixListSlotSize = 1024;
constexpr uint32_t kSieveCapacity = 2;
constexpr size_t kSieveSlotSize = 516;
constexpr uint32_t kEventCount = event::kEventCount;  // one procedure index per event number
constexpr uint32_t kCodeCapacity = 1020;  // words, headers included
constexpr uint32_t kMaxSkip = 4095;       // a jump's skip count has 12 bits
constexpr uint32_t kMaxAction = event::kMaxAction;  // NOTIFY

static_assert(kConstantsOffset + 4 * kConstantCapacity == kSuffixListsOffset, "constants");
static_assert(kSuffixListsOffset + kSuffixListCapacity * kSuffixListSlotSize == kSievesOffset, "suffix lists");
static_assert(kSievesOffset + kSieveCapacity * kSieveSlotSize == kEventProcedureOffset, "sieves");
static_assert(kEventProcedureOffset + 4 * kEventCount == kCodeOffset, "event table");
static_assert(kCodeOffset + 4 * kCodeCapacity == kGuidCopyOffset, "code");
static_assert(kGuidCopyOffset + kGuidSize == kImageSize, "guid copy ends the image");

// Why a builder call refused. The glue turns each into its fixed Lua error text.
enum class Status {
  kOk,
  kMaxInstructions,       // the open procedure has all the body words it declared
  kCodeFull,              // the word would not fit the code area
  kJumpOutOfRange,        // skip count above kMaxSkip
  kInvalidAction,         // action above kMaxAction
  kEventUnsupported,      // event code outside 0-49
  kProcedureUnsupported,  // procedure index not below codeCount
  kMaxConstants,
  kSuffixListTooLarge,
  kMaxSuffixLists,
  kSieveTooLarge,
  kMaxSieves,
};

// A builder call's status and the number that goes with it: the new index on
// success; the number a refusal's text names (the open procedure's budget, the
// code capacity in words, the refused skip count or action, as signed 32 bits).
struct Outcome {
  Status status;
  int32_t value;
};

// Zeroes the image, writes the magic and sets constantCount to 8. The open
// procedure's budget and count are left alone.
void Clear();

// Writes the procedure every unlinked event uses (return ADVICE) at code 0-1 and
// sets codeCount to 2, whatever was there.
void WriteDefaultProcedure();

// Appends header word n (its low 32 bits; the budget is the same bits, signed) and
// opens a procedure of n body words. Value: the header's code index.
Outcome Procedure(uint32_t n);

// Body words of the open procedure. The argument checks of NewJump and NewReturn
// come before the budget check, and the budget check before the capacity check.
// No operand of NewCode is range-checked: a wide value spills into the next field.
Outcome NewCode(uint32_t op, uint32_t a, uint32_t b, bool flag, uint32_t c);
Outcome NewJump(uint32_t skip);
Outcome NewReturn(uint32_t action);

// Points event `event` at the procedure whose header is at code index `procedure`.
Outcome Link(int64_t event, uint64_t procedure);

// Interning: the first stored entry equal to the argument, else the next free slot.
// Suffix lists and sieves match a slot whose first `len` bytes are the argument's.
Outcome Constant(uint32_t value);
Outcome SuffixList(const char* bytes, size_t len);
Outcome NewSieve(const char* bytes, size_t len);

// Stamps the CRC-32 of the whole image (guid and its copy included) into guid bytes
// 11-14, sets guid byte 0 to 0xAC and byte 15 to 0, and copies guid to the end.
void Sign();

void CopyGuid(uint8_t out[kGuidSize]);
void CopyImage(uint8_t out[kImageSize]);

}  // namespace acdc::compiler
