// The execution cache's functions of module acdc: CacheStats, ClearCache,
// AddToCache, RemoveFromCache, IsCached.
#include <cstring>

#include "acdc/functions.h"
#include "acdc/lua_number.h"
#include "cache/execution_cache.h"

namespace acdc::lua {

namespace {

// The path's text up to its first NUL, of any length: the caches digest it whole.
const char* CachePathArg(lua_State* L, int arg, size_t* len) {
  const char* text = luaL_checkstring(L, arg);
  *len = std::strlen(text);
  return text;
}

int FailedHash(lua_State* L) { return luaL_error(L, "Failed hash"); }

void SetCounter(lua_State* L, const char* name, uint64_t value) {
  lua_pushunsigned(L, static_cast<lua_Unsigned>(value & 0xFFFFFFFFu));
  lua_setfield(L, -2, name);
}

}  // namespace

int l_CacheStats(lua_State* L) {
  cache::ExecCacheCounters c = cache::CacheStats();
  lua_createtable(L, 0, 15);
  SetCounter(L, "clear", c.clear);
  SetCounter(L, "add_approved", c.add_approved);
  SetCounter(L, "add_block", c.add_block);
  SetCounter(L, "add_unrecognized", c.add_unrecognized);
  SetCounter(L, "removehit", c.removehit);
  SetCounter(L, "removemiss", c.removemiss);
  SetCounter(L, "removefail", c.removefail);
  SetCounter(L, "stat_too_big", c.stat_too_big);
  SetCounter(L, "hit_approved", c.hit_approved);
  SetCounter(L, "hit_unrecognized", c.hit_unrecognized);
  SetCounter(L, "hit_block", c.hit_block);
  SetCounter(L, "miss", c.miss);
  SetCounter(L, "stat_fail", c.stat_fail);
  SetCounter(L, "stat_size_zero", c.stat_size_zero);
  SetCounter(L, "stat_not_file", c.stat_not_file);
  return 1;
}

int l_ClearCache(lua_State* L) {
  cache::ClearCache();
  return 0;
}

int l_AddToCache(lua_State* L) {
  size_t len;
  const char* path = CachePathArg(L, 1, &len);
  // A type that is no number, or no whole number in the 64-bit range, is 0: approved.
  int64_t type = 0;
  if (lua_type(L, 2) == LUA_TNUMBER && !NumberInRange(lua_tonumber(L, 2), INT64_MIN, INT64_MAX, &type)) type = 0;
  const char* ruleset = luaL_optstring(L, 3, nullptr);
  if (cache::AddToCache(path, len, type, ruleset) == cache::kCacheDigestFailed) return FailedHash(L);
  lua_pushboolean(L, 1);
  return 1;
}

int l_RemoveFromCache(lua_State* L) {
  size_t len;
  const char* path = CachePathArg(L, 1, &len);
  int rc = cache::RemoveFromCache(path, len);
  if (rc == cache::kCacheDigestFailed) return FailedHash(L);
  lua_pushboolean(L, rc == 1);
  return 1;
}

int l_IsCached(lua_State* L) {
  size_t len;
  const char* path = CachePathArg(L, 1, &len);
  char text[cache::kRulesetTextCapacity] = {};
  int32_t type = 0;
  uint64_t size = 0;
  uint32_t isexec = 0;
  int rc = cache::IsCached(path, len, &type, text, sizeof text, &size, &isexec);
  if (rc == cache::kCacheDigestFailed) return FailedHash(L);
  // A file that cannot be judged is no error here: it reads as size 0, not exec.
  if (type == cache::kNotCached && lua_type(L, 2) == LUA_TTABLE) {
    lua_pushnumber(L, static_cast<lua_Number>(size));
    lua_setfield(L, 2, "size");
    lua_pushboolean(L, isexec != 0);
    lua_setfield(L, 2, "isexec");
  }
  lua_pushunsigned(L, static_cast<lua_Unsigned>(type));
  if (text[0] == '\0') return 1;
  lua_pushstring(L, text);
  return 2;
}

}  // namespace acdc::lua
