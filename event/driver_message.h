// The driver's per-event message and reply, byte for byte, and the step that fills
// the event records from a received message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "event/records.h"

namespace acdc::event {

constexpr size_t kDriverEventMessageSize = 3176;
constexpr size_t kDriverReplyMessageSize = 32;

// Offsets into a DriverEventMessage (little-endian; the first 16 bytes are the
// Filter Manager's message header).
namespace msg {
constexpr size_t kMessageId = 8;     // u64
constexpr size_t kType = 20;         // u32
constexpr size_t kId = 24;           // u32
constexpr size_t kMissed = 28;       // u32
constexpr size_t kPid = 32;          // u32
constexpr size_t kPpid = 36;         // u32
constexpr size_t kSubtype = 40;      // char[16]
constexpr size_t kSubtypeSize = 16;
constexpr size_t kRc = 56;           // i32
constexpr size_t kFd = 60;           // i32
constexpr size_t kDelete = 64;       // i32
constexpr size_t kMode = 68;         // u32
constexpr size_t kFlags = 72;        // u32
constexpr size_t kDirty = 76;        // i32
constexpr size_t kNameSize = 92;     // u32, bytes
constexpr size_t kOldNameSize = 96;  // u32, bytes
constexpr size_t kSidSize = 100;     // u32, bytes
constexpr size_t kName = 104;        // UTF-16LE, kNameCapacity bytes
constexpr size_t kOldName = 1128;    // UTF-16LE, kNameCapacity bytes
constexpr size_t kSid = 2152;        // raw bytes, kNameCapacity bytes
constexpr size_t kNameCapacity = 1024;

// Each field ends where the next begins, and the last ends the message.
static_assert(kMessageId + 8 == 16 && kType == 20 && kId == kType + 4 && kMissed == kId + 4);
static_assert(kPid == kMissed + 4 && kPpid == kPid + 4 && kSubtype == kPpid + 4);
static_assert(kRc == kSubtype + kSubtypeSize && kFd == kRc + 4 && kDelete == kFd + 4);
static_assert(kMode == kDelete + 4 && kFlags == kMode + 4 && kDirty == kFlags + 4);
static_assert(kNameSize == kDirty + 4 + 12 && kOldNameSize == kNameSize + 4 && kSidSize == kOldNameSize + 4);
static_assert(kName == kSidSize + 4 && kOldName == kName + kNameCapacity && kSid == kOldName + kNameCapacity);
static_assert(kSid + kNameCapacity == kDriverEventMessageSize, "the sid ends the message");
}  // namespace msg

// Offsets into a DriverReplyMessage: the Filter Manager's reply header (status,
// padding, message id), then AcReply, eta and error.
namespace reply {
constexpr size_t kStatus = 0;     // u32, always 0
constexpr size_t kMessageId = 8;  // u64
constexpr size_t kBody = 16;      // AcReply: code, id
constexpr size_t kEta = 24;       // u32
constexpr size_t kError = 28;     // u32
static_assert(kBody + sizeof(AcReply) == kEta && kError + 4 == kDriverReplyMessageSize);
}  // namespace reply

// Both targets are little-endian, so a field is its bytes as they stand.
inline uint32_t LoadU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint64_t LoadU64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline int32_t LoadI32(const uint8_t* p) { return static_cast<int32_t>(LoadU32(p)); }

// What the caller of the decoder passes for every event.
struct DecodeInputs {
  uint32_t ac_on;
  uint32_t lockdown;
  const char* basedir;          // borrowed; never null
  uint32_t maintenanceMode;
  uint64_t authorizeStartTime;  // ms since 1970 UTC
  FILE* traceFile;              // open trace log, or null
};
// The decoder holds these in a frame where Lua may raise.
static_assert(std::is_trivially_destructible_v<DecodeInputs>, "no destructor may be skipped");

// Resets `r` and fills it from the kDriverEventMessageSize bytes at `message`, as
// the decoder does before it dispatches, the header's MessageId included, so that a
// native reply can be sent from the record alone. The caller has checked the event number.
// Name sizes larger than their 1024-byte fields are clamped to the field: the
// driver never sends more, and reading past the field would read the next one.
void FillEventRecord(const uint8_t* message, const DecodeInputs& in, EventRecord* r);

}  // namespace acdc::event
