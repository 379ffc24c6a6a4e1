// EventAbstractionStats and BindStats: the event-abstraction counters for Lua.
#include <cstring>

#include "acdc/functions.h"
#include "event/counters.h"

namespace acdc::lua {

namespace {

using event::kCounterCount;

// Values go to Lua as unsigned 32-bit integers, so a count past 2^32 - 1 reads
// modulo 2^32.
inline void SetCounter(lua_State* L, const char* name, uint64_t value) {
  lua_pushunsigned(L, static_cast<lua_Unsigned>(value & 0xFFFFFFFFu));
  lua_setfield(L, -2, name);
}

// BindStats reports the kinds the abstraction binds to a decision, leaving out the
// families it never sees (mmap, dup, chown, chmod) and trusted_drift.
bool InBindStats(uint32_t c) {
  const char* name = event::kCounterNames[c];
  return c != event::trusted_drift && std::strstr(name, "mmap_") == nullptr &&
         std::strstr(name, "dup_") == nullptr && std::strstr(name, "chown_") == nullptr &&
         std::strstr(name, "chmod_") == nullptr;
}

}  // namespace

int l_EventAbstractionStats(lua_State* L) {
  uint64_t values[kCounterCount];
  event::SnapshotCounters(values);
  lua_createtable(L, 0, 73);
  for (uint32_t c = 0; c < kCounterCount; ++c) SetCounter(L, event::kCounterNames[c], values[c]);
  return 1;
}

int l_BindStats(lua_State* L) {
  uint64_t values[kCounterCount];
  event::SnapshotCounters(values);
  lua_createtable(L, 0, 56);
  // Nothing in this library maintains the exclude filter's count.
  SetCounter(L, "exclude_filter", 0);
  for (uint32_t c = 0; c < kCounterCount; ++c)
    if (InBindStats(c)) SetCounter(L, event::kCounterNames[c], values[c]);
  return 1;
}

}  // namespace acdc::lua
