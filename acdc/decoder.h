// Decoding one driver event message: fill the event record, let the fast path decide,
// answer the driver when it did, write the two debug logs when asked, and build the
// Lua event table when Lua is to see the event.
//
// Split in two so that no Lua call happens while a log file is open: Decide does
// everything up to the table and closes the logs (the table writes nothing to them,
// so the files read as if it were built in between); PushEventTable then builds the
// table from the message and the record alone.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <lua.h>
}

#include "event/records.h"

namespace acdc::decoder {

// What the caller of get passes along with every message.
struct Inputs {
  uint32_t ac_on;
  uint32_t lockdown;
  const char* basedir;          // borrowed from the caller's Lua string
  uint32_t maintenanceMode;
  uint64_t authorizeStartTime;  // ms since 1970 UTC
  int32_t trace;                // non-zero: write the debug logs
};

enum class Outcome {
  kTable,         // Lua is to see the event: push its table
  kConsumed,      // answered (natively or as out of range); wait for the next message
  kSubtypeError,  // the subtype is not NUL-terminated: raise the text left in `error`
};

// The fast path's entry; tests substitute their own.
using Dispatch = int (*)(event::AcReply* reply, event::AcEvent* ev);
extern Dispatch g_dispatch;

// Room for the subtype error: the text is limited to 131 characters.
constexpr size_t kErrorCapacity = 132;

// Decodes the message (kDriverEventMessageSize bytes) into `r`, which it resets. Every
// message is answered at most once: natively when the fast path chose a reply,
// REPLY_ERROR for an event number outside 1 to 49 or (when the fast path left the
// event to Lua) for a malformed subtype; otherwise by Lua.
Outcome Decide(const uint8_t* message, const Inputs& in, event::EventRecord* r, char (&error)[kErrorCapacity]);

// Pushes the event table of a message that Decide left to Lua. Raises only Lua's own
// errors (memory).
void PushEventTable(lua_State* L, const uint8_t* message, const event::EventRecord& r);

}  // namespace acdc::decoder
