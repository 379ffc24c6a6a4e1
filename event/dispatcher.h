// DispatchEvent, the single entry of the native fast path, and the building blocks
// that every handler shares: reply steps, preparation steps, the maintenance-mode
// auto-authorize rule, the process image lookup and the event dump.
//
// Nothing here raises, allocates or waits on a lock: a failure becomes a reply code
// or a fall-through to Lua.
#pragma once

#include <cstdint>

#include "event/records.h"
#include "platform/error.h"
#include "platform/process.h"

namespace acdc::event {

// What the producer of the records does next.
enum DispatchResult : int {
  kResultLua = 0,      // no reply chosen: Lua decides and replies
  kResultReplied = 1,  // reply chosen in AcReply and to be sent; Lua is told
  kResultEagain = 11,  // reply chosen and to be sent; the event is finished
};

// Reply codes, the values of the module's `reply` table.
enum ReplyCode : uint32_t {
  REPLY_TIMEOUT = 0,
  REPLY_ERROR = 1,
  REPLY_ALLOW = 2,
  REPLY_BLOCK = 3,
  REPLY_IGNORE = 4,
  REPLY_TRACKFILE = 5,
};

constexpr uint32_t kMaxEventType = 49;

// A handler decides one event kind; it returns a DispatchResult.
using Handler = int (*)(AcEvent* ev, AcReply* reply);

int DispatchEvent(AcReply* reply, AcEvent* ev);

// Reply steps: trace, count, fill the reply, return the result.
int ReplyIgnoreEagain(AcEvent* ev, AcReply* reply);
int ReplyIgnoreLua(AcEvent* ev, AcReply* reply);
int ReplyAllowEagain(AcEvent* ev, AcReply* reply);
int ReplyAllowLua(AcEvent* ev, AcReply* reply);
int ReplyBlockLua(AcEvent* ev, AcReply* reply);
int ReplyError(AcEvent* ev, AcReply* reply);

void CountDispatchResult(int result);

// Fill the record's path fields from the acting process and the event's name (or
// old name). Each returns 0; a process that cannot be looked up leaves them as
// they were.
int PrepareExecEvent(AcEvent* ev);
int PrepareFromName(AcEvent* ev);
int PrepareFromOldName(AcEvent* ev);

// 1 when an unrecognized file is to be approved under maintenance mode, else 0.
int CheckAutoAuthorize(AcEvent* ev);

// The UTF-8 image path of process `pid` into `out` (kTextCapacity bytes). Returns 1,
// or 0 leaving `out` unchanged.
int GetProcessImagePath(uint32_t pid, char* out);

// The same lookup with its failure: the Win32 code and the step that failed. An
// image path that does not fit `out` whole is refused (kErrorInsufficientBuffer),
// never cut, as QueryFullProcessImageNameW refuses a short buffer.
platform::Win32Error LookupProcessImage(uint32_t pid, char* out, platform::ImageQueryStep* step);

// Writes the event summary to the trace and flushes; nothing when no trace is open.
void DumpEvent(const AcEvent& ev);

}  // namespace acdc::event
