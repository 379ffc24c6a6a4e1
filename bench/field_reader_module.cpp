// Bench-only Lua module: a C function that reads the same table fields as
// acdc.AbstractEvent and does nothing else, the baseline of its benchmark.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

namespace {

const char* const kKeys[] = {"type",     "flags",   "rc",     "dirty",  "maintenanceMode",
                             "lockdown", "basedir", "authorizeStartTime", "rlpath", "procName"};

int ReadFields(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  lua_settop(L, 1);
  lua_Number sum = 0;
  size_t len = 0;
  for (const char* key : kKeys) {
    lua_getfield(L, 1, key);
    if (lua_type(L, -1) == LUA_TSTRING) {
      size_t n;
      lua_tolstring(L, -1, &n);
      len += n;
    } else {
      sum += lua_tonumberx(L, -1, nullptr);
    }
  }
  lua_pushinteger(L, static_cast<lua_Integer>(len) + (sum > 0 ? 1 : 0));
  return 1;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_field_reader(lua_State* L) {
  lua_pushcfunction(L, ReadFields);
  return 1;
}
