// The records of acdc.AbstractEvent: an event of the Lua caller's making, filled
// the way the function fixes, then dispatched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "event/records.h"

namespace acdc::event {

// What AbstractEvent read from its table, converted and checked.
struct AbstractEventInput {
  uint32_t type;
  uint64_t flags;
  int32_t rc;
  int32_t dirty;
  uint32_t maintenanceMode;
  uint32_t lockdown;
  uint64_t authorizeStartTime;
  const char* basedir;    // never null
  const char* rlpath;     // null when the key is not a string
  size_t rlpath_len;      // strlen(rlpath) < kTextCapacity
  const char* procName;   // null when the key is not a string
  size_t procName_len;    // strlen(procName) < kTextCapacity
};

// AbstractEvent's glue fills this in a frame where Lua may raise.
static_assert(std::is_trivially_destructible_v<AbstractEventInput>, "no destructor may be skipped");

// The process id these events carry: not a multiple of 4, so no Windows process
// has it, and never this process's own.
constexpr uint32_t kAbstractEventPid = 555;

// Resets `r` and fills it from `in` as AbstractEvent does before it dispatches.
void FillAbstractEvent(EventRecord* r, const AbstractEventInput& in);

// FillAbstractEvent, then DispatchEvent; the filled record stays in `r`. Returns the
// dispatch result.
int DispatchAbstractEvent(EventRecord* r, const AbstractEventInput& in);

}  // namespace acdc::event
