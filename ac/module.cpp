// The opener of module ac. Its functions join as they are written.
#include "acdc/export.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}


namespace acdc::ac {

namespace {

const luaL_Reg kAcFunctions[] = {
    {nullptr, nullptr},
};

int OpenAc(lua_State* L) {
  lua_newtable(L);
  luaL_setfuncs(L, kAcFunctions, 0);
  return 1;
}

}  // namespace

}  // namespace acdc::ac

ACDC_EXPORT int luaopen_ac(lua_State* L) { return acdc::ac::OpenAc(L); }
