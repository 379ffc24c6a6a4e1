// The opener of module ac. Its functions join as they are written, in the module's
// documented order.
#include "ac/functions.h"
#include "acdc/export.h"


namespace acdc::ac {

namespace {

const luaL_Reg kAcFunctions[] = {
    {"AddProcess", l_AddProcess},
    {"GetProcess", l_GetProcess},
    {"RemoveProcess", l_RemoveProcess},
    {"ClearProcessCache", l_ClearProcessCache},
    {"ProcCacheStats", l_ProcCacheStats},
    {nullptr, nullptr},
};

int OpenAc(lua_State* L) {
  lua_createtable(L, 0, 43);
  luaL_setfuncs(L, kAcFunctions, 0);
  return 1;
}

}  // namespace

}  // namespace acdc::ac

ACDC_EXPORT int luaopen_ac(lua_State* L) { return acdc::ac::OpenAc(L); }
