// The opener of module ac. Its functions join as they are written.
extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#if defined(_WIN32)
#define ACDC_EXPORT extern "C" __declspec(dllexport)
#else
#define ACDC_EXPORT extern "C" __attribute__((visibility("default")))
#endif

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
