// The process-type cache's functions of module ac: AddProcess, GetProcess,
// RemoveProcess, ClearProcessCache, ProcCacheStats.
#include "ac/functions.h"
#include "acdc/arguments.h"
#include "acdc/lua_number.h"
#include "cache/process_cache.h"

namespace acdc::ac {

namespace {

// Taken as a signed 32-bit value, range-checked before narrowing; the cache keeps
// it sign-extended, so a negative type reads back as itself.
int32_t SignedArg(lua_State* L, int arg) {
  int64_t v = 0;
  if (!NumberInRange(luaL_checknumber(L, arg), INT32_MIN, INT32_MAX, &v))
    luaL_argerror(L, arg, "out of the signed 32-bit range");
  return static_cast<int32_t>(v);
}

inline uint64_t SignExtended(int32_t v) { return static_cast<uint64_t>(static_cast<int64_t>(v)); }

void SetCounter(lua_State* L, const char* name, uint64_t value) {
  lua_pushunsigned(L, static_cast<lua_Unsigned>(value & 0xFFFFFFFFu));
  lua_setfield(L, -2, name);
}

}  // namespace

int l_AddProcess(lua_State* L) {
  uint64_t pid = lua::PidArg(L, 1);
  int32_t type = SignedArg(L, 2);
  const char* name = luaL_checkstring(L, 3);
  cache::AddProcess(pid, SignExtended(type), name);
  return 0;
}

int l_GetProcess(lua_State* L) {
  uint64_t pid = lua_type(L, 1) == LUA_TNUMBER ? lua::PidArg(L, 1) : 0;
  const char* name = luaL_checkstring(L, 2);
  uint64_t type = cache::GetProcess(pid, name);
  if (type == 0) return 0;
  lua_pushinteger(L, static_cast<lua_Integer>(static_cast<int64_t>(type)));
  return 1;
}

int l_RemoveProcess(lua_State* L) {
  cache::RemoveProcess(SignExtended(SignedArg(L, 1)));
  return 0;
}

int l_ClearProcessCache(lua_State* L) {
  cache::ClearProcessCache();
  return 0;
}

int l_ProcCacheStats(lua_State* L) {
  cache::ProcCacheCounters c = cache::ProcCacheStats();
  lua_createtable(L, 0, 7);
  SetCounter(L, "procadd", c.procadd);
  SetCounter(L, "procchange", c.procchange);
  SetCounter(L, "procclear", c.procclear);
  SetCounter(L, "procremovehit", c.procremovehit);
  SetCounter(L, "procremovemiss", c.procremovemiss);
  SetCounter(L, "prochit", c.prochit);
  SetCounter(L, "procmiss", c.procmiss);
  return 1;
}

}  // namespace acdc::ac
