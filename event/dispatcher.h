// DispatchEvent, the single entry of the native fast path, and the building blocks
// that every handler shares: the reply steps, the preparation steps and the event
// dump. The process image lookup (event/process_image.h) and the auto-authorize rule
// (event/auto_authorize.h) have files of their own.
//
// Nothing here raises, allocates or waits on a lock: a failure becomes a reply code
// or a fall-through to Lua.
#pragma once

#include <cstdint>

#include "event/event_table.h"
#include "event/records.h"

namespace acdc::event {

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

// Writes the event summary to the trace and flushes; nothing when no trace is open.
void DumpEvent(const AcEvent& ev);

}  // namespace acdc::event
