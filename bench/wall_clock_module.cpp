// Bench-only module wall_clock: now() gives seconds of the monotonic clock, for
// benchmarks whose baseline runs in other processes, where CPU time of the host
// (os.clock) would miss the baseline's work.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <time.h>

namespace {

int Now(lua_State* L) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  lua_pushnumber(L, static_cast<lua_Number>(ts.tv_sec) + static_cast<lua_Number>(ts.tv_nsec) * 1e-9);
  return 1;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_wall_clock(lua_State* L) {
  lua_createtable(L, 0, 1);
  lua_pushcfunction(L, Now);
  lua_setfield(L, -2, "now");
  return 1;
}
