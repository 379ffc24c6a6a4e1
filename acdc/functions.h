// The Lua functions of module acdc, defined across the glue files and registered by
// the opener (module.cpp) in the module's documented order.
#pragma once

#include <cstdint>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

namespace acdc::lua {

// handle.cpp: the channel
int l_open(lua_State* L);
int l_load(lua_State* L);
int l_unload(lua_State* L);
int l_profiler(lua_State* L);
int l_istimeout(lua_State* L);

// command.cpp: worker registration
int l_open_worker(lua_State* L);

// json.cpp: the JSON decoder
int l_decode(lua_State* L);

// process_queries.cpp
int l_GetRealPath(lua_State* L);
int l_GetProcNameFromPid(lua_State* L);
int l_GetFileNameFromPidAndFd(lua_State* L);

// stats.cpp
int l_EventAbstractionStats(lua_State* L);
int l_BindStats(lua_State* L);

// execution_cache.cpp
int l_CacheStats(lua_State* L);
int l_ClearCache(lua_State* L);
int l_AddToCache(lua_State* L);
int l_RemoveFromCache(lua_State* L);
int l_IsCached(lua_State* L);

// drift.cpp
int l_DriftClear(lua_State* L);
int l_DriftFreshFilter(lua_State* L);
int l_DriftClose(lua_State* L);
int l_DriftCondOpen(lua_State* L);
int l_DriftDup(lua_State* L);
int l_DriftDupTrackPossibleClose(lua_State* L);
int l_DriftOpen(lua_State* L);
int l_DriftStats(lua_State* L);

// classification.cpp
int l_GetProcessInterpreterType(lua_State* L);
int l_IsTrustedPath(lua_State* L);
int l_IsPrelink(lua_State* L);
int l_IsExtensionInterpreted(lua_State* L);
int l_quickIMFilter(lua_State* L);

// abstract_event.cpp
int l_AbstractEvent(lua_State* L);

// The methods of the channel handle (handle.cpp, command.cpp).
int l_handle_gc(lua_State* L);
int l_handle_tostring(lua_State* L);
int l_handle_close(lua_State* L);
int l_handle_get(lua_State* L);
int l_handle_gettest(lua_State* L);
int l_handle_isdone(lua_State* L);
int l_handle_reply(lua_State* L);
int l_handle_command(lua_State* L);
int l_handle_program(lua_State* L);

// Sends `request_len` bytes at `request` as a command and pushes its results (the
// handle method command); `text` is the command text a "jerror" excerpt quotes.
int SendCommand(lua_State* L, const void* request, size_t request_len, const char* text, size_t text_len,
                const char* type, uint32_t size);

// compiler.cpp: the `compiler` table. In a namespace of their own because the
// table's names (default, tostring, dump) are common words.
namespace compiler_table {
int l_clear(lua_State* L);
int l_sign(lua_State* L);
int l_guid(lua_State* L);
int l_default(lua_State* L);
int l_procedure(lua_State* L);
int l_link(lua_State* L);
int l_psieve(lua_State* L);
int l_ssieve(lua_State* L);
int l_newsieve(lua_State* L);
int l_constant(lua_State* L);
int l_suffixlist(lua_State* L);
int l_newcode(lua_State* L);
int l_newjump(lua_State* L);
int l_newreturn(lua_State* L);
int l_dump(lua_State* L);
int l_tostring(lua_State* L);
}  // namespace compiler_table

// Pushes the two upvalues that every module function and handle method gets: the
// per-state scratch record of AbstractEvent and of get's decoding (1) and
// AbstractEvent's key strings (2).
void PushAbstractEventUpvalues(lua_State* L);

// Pushes the result of a platform or driver operation: true for status 0, else nil,
// the status and "context: <system text> (status)". Returns the count pushed.
int PushStatus(lua_State* L, int32_t status, const char* context);

// Builds the module table (luaopen_acdc and luaopen_lacdc).
int OpenModule(lua_State* L);

}  // namespace acdc::lua
