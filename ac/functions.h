// The Lua functions of module ac, defined across its glue files and registered by
// its opener (module.cpp) in the module's documented order.
#pragma once

#include <cstdint>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

namespace acdc::ac {

// ac-Windows/drives.cpp
int l_GetLogicalDriveStrings(lua_State* L);
int l_QueryDosDevice(lua_State* L);

// ac-Windows/signatures.cpp
int l_GetSignedFileInfo(lua_State* L);
int l_WinVerifyTrust(lua_State* L);

// ac-Windows/file_hash.cpp
int l_HashNull(lua_State* L);
int l_HashString(lua_State* L);
int l_HashPrimary(lua_State* L);
int l_HashSecondary(lua_State* L);
int l_HashAll(lua_State* L);

// cache_dump.cpp
int l_CacheDump(lua_State* L);

// ac-Windows/driver_install.cpp
int l_InstallDriver(lua_State* L);
int l_UninstallDriver(lua_State* L);

// administration.cpp: the no-op, the Lua-held locks, the mock flag, the profiler hooks
int l_WriteEventLocally(lua_State* L);  // also CacheSelfTest
int l_ProfilerBindings(lua_State* L);
int l_EnterCriticalSection(lua_State* L);
int l_LeaveCriticalSection(lua_State* L);
int l_EnterAutoAuthorizeCommandCS(lua_State* L);
int l_LeaveAutoAuthorizeCommandCS(lua_State* L);
int l_mockdriver(lua_State* L);
// The mock flag, read under its lock; the `dc` resolver follows it.
bool MockDriverFlag();

// statistics.cpp
int l_InitStats(lua_State* L);
int l_StatNames(lua_State* L);
int l_GetStatsAll(lua_State* L);
int l_StatsEvent(lua_State* L);
int l_GetStatsVar(lua_State* L);
int l_SetStatsVar(lua_State* L);
int l_IncStatsVar(lua_State* L);
int l_ClearStatsVar(lua_State* L);

// ruleset.cpp
int l_DecryptRuleset(lua_State* L);

// schema.cpp
int l_ShouldUpdateSchema(lua_State* L);
int l_UpdatedSchema(lua_State* L);

// process_cache.cpp
int l_AddProcess(lua_State* L);
int l_GetProcess(lua_State* L);
int l_RemoveProcess(lua_State* L);
int l_ClearProcessCache(lua_State* L);
int l_ProcCacheStats(lua_State* L);

// system_error.cpp: module ac's failure results, never cut (module acdc's 128-unit
// rule is acdc's alone). Each returns the count pushed.
// nil, `code` as an unsigned number, "<function>() failed: 0x<code in upper-case
// hex> (<system text>)".
int PushSystemError(lua_State* L, const char* function, uint32_t code);
// nil, `code` as an unsigned number, the bare system text.
int PushSystemText(lua_State* L, uint32_t code);
// The bare system text of `code` alone (one value).
int PushSystemMessage(lua_State* L, uint32_t code);

// filter_set.cpp
int l_AddToFilterSet(lua_State* L);
int l_ClearFilterSet(lua_State* L);
int l_GetfilledPositionsCount(lua_State* L);
int l_IsLikelyInSet(lua_State* L);
int l_SetBypassFilterState(lua_State* L);
int l_FilterSetDump(lua_State* L);
int l_FilterSetStats(lua_State* L);

}  // namespace acdc::ac
