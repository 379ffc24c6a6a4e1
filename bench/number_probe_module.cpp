// Bench-only module number_probe: probe(x) reads its argument as a number and
// returns a boolean, as IsLikelyInSet does, and nothing else: the least a Lua call
// of that shape costs beyond a call that does nothing.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

namespace {

int Probe(lua_State* L) {
  lua_pushboolean(L, lua_tonumber(L, 1) != 0);
  return 1;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_number_probe(lua_State* L) {
  lua_pushcfunction(L, Probe);
  return 1;
}
