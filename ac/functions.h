// The Lua functions of module ac, defined across its glue files and registered by
// its opener (module.cpp) in the module's documented order.
#pragma once

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

namespace acdc::ac {

// statistics.cpp
int l_InitStats(lua_State* L);
int l_StatNames(lua_State* L);
int l_GetStatsAll(lua_State* L);
int l_StatsEvent(lua_State* L);
int l_GetStatsVar(lua_State* L);
int l_SetStatsVar(lua_State* L);
int l_IncStatsVar(lua_State* L);
int l_ClearStatsVar(lua_State* L);

// process_cache.cpp
int l_AddProcess(lua_State* L);
int l_GetProcess(lua_State* L);
int l_RemoveProcess(lua_State* L);
int l_ClearProcessCache(lua_State* L);
int l_ProcCacheStats(lua_State* L);

// filter_set.cpp
int l_AddToFilterSet(lua_State* L);
int l_ClearFilterSet(lua_State* L);
int l_GetfilledPositionsCount(lua_State* L);
int l_IsLikelyInSet(lua_State* L);
int l_SetBypassFilterState(lua_State* L);
int l_FilterSetDump(lua_State* L);
int l_FilterSetStats(lua_State* L);

}  // namespace acdc::ac
