// The opener of module ac. Its functions join as they are written, in the module's
// documented order.
#include "ac/functions.h"
#include "acdc/export.h"


namespace acdc::ac {

namespace {

// WriteEventLocally and CacheSelfTest: any arguments, no effect, no results.
int l_WriteEventLocally(lua_State* L) { return 0; }

const luaL_Reg kAcFunctions[] = {
    {"WriteEventLocally", l_WriteEventLocally},
    {"InitStats", l_InitStats},
    {"StatNames", l_StatNames},
    {"GetStatsAll", l_GetStatsAll},
    {"StatsEvent", l_StatsEvent},
    {"GetStatsVar", l_GetStatsVar},
    {"SetStatsVar", l_SetStatsVar},
    {"IncStatsVar", l_IncStatsVar},
    {"ClearStatsVar", l_ClearStatsVar},
    {"AddProcess", l_AddProcess},
    {"GetProcess", l_GetProcess},
    {"RemoveProcess", l_RemoveProcess},
    {"ClearProcessCache", l_ClearProcessCache},
    {"ProcCacheStats", l_ProcCacheStats},
    {"CacheSelfTest", l_WriteEventLocally},
    {"AddToFilterSet", l_AddToFilterSet},
    {"ClearFilterSet", l_ClearFilterSet},
    {"GetfilledPositionsCount", l_GetfilledPositionsCount},
    {"IsLikelyInSet", l_IsLikelyInSet},
    {"SetBypassFilterState", l_SetBypassFilterState},
    {"FilterSetDump", l_FilterSetDump},
    {"FilterSetStats", l_FilterSetStats},
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
