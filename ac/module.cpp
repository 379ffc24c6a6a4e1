// The opener of module ac: its functions, in the module's documented order (each
// joins when it is written), its trust, provider-flag and disposition constants, and
// the metatable whose __index resolves the field `dc`.
#include <cstdint>
#include <cstring>

#include "ac/functions.h"
#include "acdc/export.h"
#include "acdc/functions.h"

namespace acdc::ac {

namespace {

const luaL_Reg kAcFunctions[] = {
    {"GetLogicalDriveStrings", l_GetLogicalDriveStrings},
    {"GetSignedFileInfo", l_GetSignedFileInfo},
    {"QueryDosDevice", l_QueryDosDevice},
    {"WinVerifyTrust", l_WinVerifyTrust},
    {"WriteEventLocally", l_WriteEventLocally},
    {"InstallDriver", l_InstallDriver},
    {"UninstallDriver", l_UninstallDriver},
    {"InitStats", l_InitStats},
    {"StatNames", l_StatNames},
    {"GetStatsAll", l_GetStatsAll},
    {"StatsEvent", l_StatsEvent},
    {"GetStatsVar", l_GetStatsVar},
    {"SetStatsVar", l_SetStatsVar},
    {"IncStatsVar", l_IncStatsVar},
    {"ClearStatsVar", l_ClearStatsVar},
    {"ProfilerBindings", l_ProfilerBindings},
    {"DecryptRuleset", l_DecryptRuleset},
    {"ShouldUpdateSchema", l_ShouldUpdateSchema},
    {"UpdatedSchema", l_UpdatedSchema},
    {"EnterCriticalSection", l_EnterCriticalSection},
    {"LeaveCriticalSection", l_LeaveCriticalSection},
    {"EnterAutoAuthorizeCommandCS", l_EnterAutoAuthorizeCommandCS},
    {"LeaveAutoAuthorizeCommandCS", l_LeaveAutoAuthorizeCommandCS},
    {"AddProcess", l_AddProcess},
    {"GetProcess", l_GetProcess},
    {"RemoveProcess", l_RemoveProcess},
    {"ClearProcessCache", l_ClearProcessCache},
    {"ProcCacheStats", l_ProcCacheStats},
    {"HashNull", l_HashNull},
    {"HashString", l_HashString},
    {"HashPrimary", l_HashPrimary},
    {"HashSecondary", l_HashSecondary},
    {"HashAll", l_HashAll},
    {"CacheSelfTest", l_WriteEventLocally},
    {"CacheDump", l_CacheDump},
    {"mockdriver", l_mockdriver},
    {"AddToFilterSet", l_AddToFilterSet},
    {"ClearFilterSet", l_ClearFilterSet},
    {"GetfilledPositionsCount", l_GetfilledPositionsCount},
    {"IsLikelyInSet", l_IsLikelyInSet},
    {"SetBypassFilterState", l_SetBypassFilterState},
    {"FilterSetDump", l_FilterSetDump},
    {"FilterSetStats", l_FilterSetStats},
    {nullptr, nullptr},
};

struct Constant {
  const char* name;
  lua_Integer value;
};

// HRESULTs are kept as their 32 bits read as signed, so each is the negative number
// WinVerifyTrust gives as its result for it.
constexpr lua_Integer Hresult(uint32_t h) { return static_cast<int32_t>(h); }

const Constant kConstants[] = {
    {"CRYPT_E_FILE_ERROR", Hresult(0x80092003)},
    {"CRYPT_E_SECURITY_SETTINGS", Hresult(0x80092026)},
    {"TRUST_E_NOSIGNATURE", Hresult(0x800B0100)},
    {"TRUST_E_SUBJECT_FORM_UNKNOWN", Hresult(0x800B0003)},
    {"TRUST_E_PROVIDER_UNKNOWN", Hresult(0x800B0001)},
    {"TRUST_E_ACTION_UNKNOWN", Hresult(0x800B0002)},
    {"TRUST_E_SUBJECT_NOT_TRUSTED", Hresult(0x800B0004)},
    {"TRUST_E_FAIL", Hresult(0x800B010B)},
    {"TRUST_E_EXPLICIT_DISTRUST", Hresult(0x800B0111)},
    {"TRUST_E_SYSTEM_ERROR", Hresult(0x80096001)},
    {"TRUST_E_NO_SIGNER_CERT", Hresult(0x80096002)},
    {"TRUST_E_COUNTER_SIGNER", Hresult(0x80096003)},
    {"TRUST_E_CERT_SIGNATURE", Hresult(0x80096004)},
    {"TRUST_E_TIME_STAMP", Hresult(0x80096005)},
    {"TRUST_E_BAD_DIGEST", Hresult(0x80096010)},
    {"TRUST_E_BASIC_CONSTRAINTS", Hresult(0x80096019)},
    {"TRUST_E_FINANCIAL_CRITERIA", Hresult(0x8009601E)},
    {"WTD_PROV_FLAGS_MASK", 0xFFFF},
    {"WTD_USE_IE4_TRUST_FLAG", 1},
    {"WTD_NO_IE4_CHAIN_FLAG", 2},
    {"WTD_NO_POLICY_USAGE_FLAG", 4},
    {"WTD_REVOCATION_CHECK_NONE", 16},
    {"WTD_REVOCATION_CHECK_END_CERT", 32},
    {"WTD_REVOCATION_CHECK_CHAIN", 64},
    {"WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT", 128},
    {"WTD_SAFER_FLAG", 256},
    {"WTD_HASH_ONLY_FLAG", 512},
    {"WTD_USE_DEFAULT_OSVER_CHECK", 1024},
    {"WTD_LIFETIME_SIGNING_FLAG", 2048},
    {"WTD_CACHE_ONLY_URL_RETRIEVAL", 4096},
    {"CREATE_ALWAYS", 2},
    {"CREATE_NEW", 1},
    {"OPEN_ALWAYS", 4},
    {"OPEN_EXISTING", 3},
    {"TRUNCATE_EXISTING", 5},
};

// __index(module, key): the driver channel module for "dc", nothing for any other
// key. Never stored in the module, so each read follows the mock flag of its moment.
int l_index(lua_State* L) {
  size_t len = 0;
  const char* key = luaL_checklstring(L, 2, &len);
  if (len != 2 || std::memcmp(key, "dc", 2) != 0) return 0;
  if (MockDriverFlag()) {
    lua_getglobal(L, "require");
    lua_pushliteral(L, "acdc_mock");
    lua_call(L, 1, 1);
    return 1;
  }
  luaL_getsubtable(L, LUA_REGISTRYINDEX, "_LOADED");
  lua_getfield(L, -1, "acdc");
  if (lua_toboolean(L, -1)) return 1;
  lua_pop(L, 2);
  luaL_requiref(L, "acdc", lua::OpenModule, 0);
  return 1;
}

int OpenAc(lua_State* L) {
  lua_createtable(L, 0, 43);
  luaL_setfuncs(L, kAcFunctions, 0);
  for (const Constant& c : kConstants) {
    lua_pushinteger(L, c.value);
    lua_setfield(L, -2, c.name);
  }
  lua_createtable(L, 0, 1);
  lua_pushcfunction(L, l_index);
  lua_setfield(L, -2, "__index");
  lua_setmetatable(L, -2);
  return 1;
}

}  // namespace

}  // namespace acdc::ac

ACDC_EXPORT int luaopen_ac(lua_State* L) { return acdc::ac::OpenAc(L); }
