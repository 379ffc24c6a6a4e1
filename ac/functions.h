// The Lua functions of module ac, defined across its glue files and registered by
// its opener (module.cpp) in the module's documented order.
#pragma once

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

namespace acdc::ac {

// process_cache.cpp
int l_AddProcess(lua_State* L);
int l_GetProcess(lua_State* L);
int l_RemoveProcess(lua_State* L);
int l_ClearProcessCache(lua_State* L);
int l_ProcCacheStats(lua_State* L);

}  // namespace acdc::ac
