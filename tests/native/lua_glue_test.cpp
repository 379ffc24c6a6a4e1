// The Lua glue driven from C++ with the library's counters at hand: values that no
// Lua test can reach in reasonable time.
#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "event/counters.h"

extern "C" int luaopen_acdc(lua_State* L);

namespace {

TEST(EventAbstractionStats, CountersPast32BitsReadModulo2To32) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaL_requiref(L, "acdc", luaopen_acdc, 0);
  lua_pop(L, 1);
  using acdc::event::g_counters;
  const uint64_t saved = g_counters[acdc::event::run_program].load();
  g_counters[acdc::event::run_program].store((uint64_t{1} << 32) + 5);
  for (const char* fn : {"EventAbstractionStats", "BindStats"}) {
    std::string chunk = std::string("return require('acdc').") + fn + "().run_program";
    ASSERT_EQ(luaL_dostring(L, chunk.c_str()), 0) << lua_tostring(L, -1);
    EXPECT_EQ(lua_tonumber(L, -1), 5) << fn;
    lua_pop(L, 1);
  }
  g_counters[acdc::event::run_program].store(saved);
  lua_close(L);
}

}  // namespace
