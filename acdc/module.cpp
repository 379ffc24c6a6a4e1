// The opener of module acdc (also lacdc): the handle metatable, the module table
// with its functions, the compiler table and the constant tables.
#include "acdc/export.h"
#include "acdc/functions.h"
#include "acdc/handle.h"
#include "event/event_table.h"

namespace acdc::lua {

namespace {

// In the module's documented order. Every function gets AbstractEvent's per-state
// scratch record and key strings as upvalues 1 and 2.
const luaL_Reg kModuleFunctions[] = {
    {"open", l_open},
    {"open_worker", l_open_worker},
    {"load", l_load},
    {"unload", l_unload},
    {"profiler", l_profiler},
    {"decode", l_decode},
    {"istimeout", l_istimeout},
    {"GetRealPath", l_GetRealPath},
    {"GetProcNameFromPid", l_GetProcNameFromPid},
    {"GetFileNameFromPidAndFd", l_GetFileNameFromPidAndFd},
    {"CacheStats", l_CacheStats},
    {"ClearCache", l_ClearCache},
    {"AddToCache", l_AddToCache},
    {"RemoveFromCache", l_RemoveFromCache},
    {"IsCached", l_IsCached},
    {"EventAbstractionStats", l_EventAbstractionStats},
    {"BindStats", l_BindStats},
    {"DriftClear", l_DriftClear},
    {"DriftFreshFilter", l_DriftFreshFilter},
    {"DriftClose", l_DriftClose},
    {"DriftCondOpen", l_DriftCondOpen},
    {"DriftDup", l_DriftDup},
    {"DriftDupTrackPossibleClose", l_DriftDupTrackPossibleClose},
    {"DriftOpen", l_DriftOpen},
    {"DriftStats", l_DriftStats},
    {"GetProcessInterpreterType", l_GetProcessInterpreterType},
    {"IsTrustedPath", l_IsTrustedPath},
    {"IsPrelink", l_IsPrelink},
    {"IsExtensionInterpreted", l_IsExtensionInterpreted},
    {"AbstractEvent", l_AbstractEvent},
    {"quickIMFilter", l_quickIMFilter},
    {nullptr, nullptr},
};

// In the documented order; they get the same upvalues (get decodes into the record).
const luaL_Reg kHandleMethods[] = {
    {"__gc", l_handle_gc},
    {"__tostring", l_handle_tostring},
    {"close", l_handle_close},
    {"get", l_handle_get},
    {"gettest", l_handle_gettest},
    {"isdone", l_handle_isdone},
    {"reply", l_handle_reply},
    {"command", l_handle_command},
    {"program", l_handle_program},
    {nullptr, nullptr},
};

const luaL_Reg kCompilerFunctions[] = {
    {"clear", compiler_table::l_clear},
    {"sign", compiler_table::l_sign},
    {"guid", compiler_table::l_guid},
    {"default", compiler_table::l_default},
    {"procedure", compiler_table::l_procedure},
    {"link", compiler_table::l_link},
    {"psieve", compiler_table::l_psieve},
    {"ssieve", compiler_table::l_ssieve},
    {"newsieve", compiler_table::l_newsieve},
    {"constant", compiler_table::l_constant},
    {"suffixlist", compiler_table::l_suffixlist},
    {"newcode", compiler_table::l_newcode},
    {"newjump", compiler_table::l_newjump},
    {"newreturn", compiler_table::l_newreturn},
    {"dump", compiler_table::l_dump},
    {"tostring", compiler_table::l_tostring},
    {nullptr, nullptr},
};

struct Constant {
  const char* name;
  int value;
};

#define ACDC_CONSTANT(name, value) {#name, value},
#define ACDC_EVENT_CONSTANT(number, name, log, handler, counter) {#name, number},
const Constant kReply[] = {ACDC_REPLY_CODES(ACDC_CONSTANT){nullptr, 0}};
const Constant kAction[] = {ACDC_ACTIONS(ACDC_CONSTANT){nullptr, 0}};
const Constant kEvent[] = {ACDC_EVENT_TABLE(ACDC_EVENT_CONSTANT){nullptr, 0}};
#undef ACDC_CONSTANT
#undef ACDC_EVENT_CONSTANT

const Constant kEntity[] = {{"ENTITY_FILE", 1}, {"ENTITY_REGKEY", 2}, {"ENTITY_REGVALUE", 3},
                            {"ENTITY_PROCESS", 4}, {nullptr, 0}};

const Constant kCreationDisposition[] = {{"CREATE_NEW", 1},    {"CREATE_ALWAYS", 2},     {"OPEN_EXISTING", 3},
                                         {"OPEN_ALWAYS", 4},   {"TRUNCATE_EXISTING", 5}, {nullptr, 0}};

// Short name: the part after the first underscore, lower-cased; the whole name when
// there is none. Fits: the longest constant name is well under the buffer.
void ShortName(const char* name, char* out, size_t cap) {
  const char* s = name;
  while (*s != '\0' && *s != '_') ++s;
  s = (*s == '_') ? s + 1 : name;
  size_t i = 0;
  for (; s[i] != '\0' && i + 1 < cap; ++i) {
    char c = s[i];
    out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
  }
  out[i] = '\0';
}

// Builds one constant table, mapping both ways, and sets each constant on the
// module table (at `module`) too; leaves the table on the stack.
void PushConstantTable(lua_State* L, int module, const Constant* constants) {
  lua_newtable(L);
  for (const Constant* c = constants; c->name != nullptr; ++c) {
    char short_name[32];
    ShortName(c->name, short_name, sizeof short_name);
    lua_pushinteger(L, c->value);
    lua_setfield(L, module, c->name);
    lua_pushinteger(L, c->value);
    lua_setfield(L, -2, short_name);
    lua_pushstring(L, short_name);
    lua_rawseti(L, -2, c->value);
  }
}

}  // namespace

int OpenModule(lua_State* L) {
  PushAbstractEventUpvalues(L);
  int upvalues = lua_gettop(L) - 1;
  if (luaL_newmetatable(L, kHandleMetatable)) {
    lua_pushvalue(L, -1);
    lua_setfield(L, -2, "__index");
    lua_pushvalue(L, upvalues);
    lua_pushvalue(L, upvalues + 1);
    luaL_setfuncs(L, kHandleMethods, 2);
  }
  lua_pop(L, 1);

  lua_createtable(L, 0, 31);
  int module = lua_gettop(L);
  lua_pushvalue(L, upvalues);
  lua_pushvalue(L, upvalues + 1);
  luaL_setfuncs(L, kModuleFunctions, 2);

  lua_createtable(L, 0, 16);
  luaL_setfuncs(L, kCompilerFunctions, 0);
  lua_setfield(L, module, "compiler");

  PushConstantTable(L, module, kReply);
  lua_setfield(L, module, "reply");
  PushConstantTable(L, module, kAction);
  lua_setfield(L, module, "action");
  PushConstantTable(L, module, kEvent);
  lua_pushvalue(L, -1);
  lua_setfield(L, module, "type");
  lua_setfield(L, module, "event");
  PushConstantTable(L, module, kEntity);
  lua_setfield(L, module, "entity");
  PushConstantTable(L, module, kCreationDisposition);
  lua_setfield(L, module, "CreationDisposition");
  lua_pushvalue(L, module);
  return 1;
}

}  // namespace acdc::lua


ACDC_EXPORT int luaopen_lacdc(lua_State* L) { return acdc::lua::OpenModule(L); }
ACDC_EXPORT int luaopen_acdc(lua_State* L) { return luaopen_lacdc(L); }
