#include "event/driver_message.h"

#include <cstring>

#include "platform/text.h"

namespace acdc::event {

namespace {

void ConvertName(const uint8_t* message, size_t size_at, size_t name_at, char* out) {
  size_t bytes = LoadU32(message + size_at);
  if (bytes > msg::kNameCapacity) bytes = msg::kNameCapacity;
  if (bytes < 2) return;
  char16_t units[msg::kNameCapacity / 2];
  std::memcpy(units, message + name_at, bytes & ~size_t{1});
  // A NUL unit ends the name, as it would for every C reader of the record; text
  // after it would also break the record's invariant (text, then zeros only).
  size_t n = 0;
  while (n < bytes / 2 && units[n] != 0) ++n;
  size_t written;
  // 512 code units never need more than 1536 bytes, so this cannot be refused.
  platform::Utf16ToUtf8(units, n, out, kTextCapacity, &written);
}

}  // namespace

void FillEventRecord(const uint8_t* message, const DecodeInputs& in, EventRecord* r) {
  ResetEventRecord(r);
  r->messageId = LoadU64(message + msg::kMessageId);
  AcEventData& d = r->data;
  d.type = LoadU32(message + msg::kType);
  d.pid = LoadU32(message + msg::kPid);
  d.id = LoadU32(message + msg::kId);
  d.rc = LoadI32(message + msg::kRc);
  d.fd = LoadI32(message + msg::kFd);
  d.dirty = LoadI32(message + msg::kDirty);
  d.flags = static_cast<uint64_t>(static_cast<int64_t>(LoadI32(message + msg::kFlags)));
  d.mode = static_cast<int64_t>(LoadI32(message + msg::kMode));
  ConvertName(message, msg::kNameSize, msg::kName, d.name);
  ConvertName(message, msg::kOldNameSize, msg::kOldName, d.oldname);

  AcEvent& e = r->event;
  e.cache_type = -1;
  e.ac_on = in.ac_on;
  e.lockdown = in.lockdown;
  e.basedir = in.basedir;
  e.maintenanceMode = in.maintenanceMode;
  e.authorizeStartTime = in.authorizeStartTime;
  e.traceFile = in.traceFile;
}

}  // namespace acdc::event
