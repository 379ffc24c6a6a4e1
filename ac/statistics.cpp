// The statistics registry's functions of module ac: InitStats, StatNames,
// GetStatsAll, StatsEvent, GetStatsVar, SetStatsVar, IncStatsVar, ClearStatsVar.
//
// The counters are process-wide (ac/statistics_table.h); the table that maps names
// to indexes belongs to each Lua state, kept in its registry. Every argument is
// resolved before a counter is touched, so an error leaves the counters as they
// were and never leaves the statistics lock held.
#include "ac/functions.h"
#include "ac/statistics_table.h"
#include "acdc/lua_number.h"

namespace acdc::ac {

namespace {

constexpr char kNameIndexKey[] = "qrt.ac.stats.index";

// Argument 1 as a slot index: a number (or numeric string) is the index itself,
// anything else a name looked up in the state's name index. Either is taken as a
// signed 32-bit integer through the one number conversion (its low 32 bits), then
// judged as unsigned, so a negative index is out of range too.
uint32_t StatArg(lua_State* L) {
  lua_Number n;
  if (lua_isnumber(L, 1)) {
    n = lua_tonumber(L, 1);
  } else {
    lua_getfield(L, LUA_REGISTRYINDEX, kNameIndexKey);
    if (!lua_istable(L, -1)) luaL_argerror(L, 1, "Stats not set");
    lua_pushvalue(L, 1);
    lua_rawget(L, -2);
    if (!lua_isnumber(L, -1)) luaL_argerror(L, 1, "Unknown stat");
    n = lua_tonumber(L, -1);
    lua_pop(L, 2);
  }
  uint32_t index = static_cast<uint32_t>(NumberToI32(n));
  if (index >= kStatSlots) luaL_argerror(L, 1, "Index out of range");
  return index;
}

}  // namespace

int l_InitStats(lua_State* L) {
  luaL_argcheck(L, lua_istable(L, 1), 1, "Expected list of stats");
  lua_pushvalue(L, 1);
  lua_setfield(L, LUA_REGISTRYINDEX, kNameIndexKey);
  return 0;
}

int l_StatNames(lua_State* L) {
  lua_getfield(L, LUA_REGISTRYINDEX, kNameIndexKey);
  if (!lua_istable(L, -1)) lua_newtable(L);
  return 1;
}

int l_GetStatsAll(lua_State* L) {
  lua_createtable(L, kStatSlots, 1);
  StatSlot slots[kStatSlots];
  SnapshotStats(slots);
  for (uint32_t i = 0; i < kStatSlots; ++i) {
    if (!slots[i].set) continue;
    lua_pushnumber(L, slots[i].value);
    lua_rawseti(L, -2, static_cast<int>(i));
  }
  return 1;
}

int l_StatsEvent(lua_State* L) { return luaL_error(L, "StatsEvent uninitialized"); }

int l_GetStatsVar(lua_State* L) {
  double value = 0;
  if (GetStat(StatArg(L), &value))
    lua_pushnumber(L, value);
  else
    lua_pushnil(L);
  return 1;
}

int l_SetStatsVar(lua_State* L) {
  uint32_t index = StatArg(L);
  SetStat(index, luaL_checknumber(L, 2));
  return 0;
}

int l_IncStatsVar(lua_State* L) {
  uint32_t index = StatArg(L);
  // Absent, not convertible and 0 all mean one more.
  lua_Number increment = lua_tonumber(L, 2);
  IncStat(index, increment == 0 ? 1 : increment);
  return 0;
}

int l_ClearStatsVar(lua_State* L) {
  ClearStat(StatArg(L));
  return 0;
}

}  // namespace acdc::ac
