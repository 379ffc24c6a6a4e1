// The opener of module acdc (also lacdc): the handle metatable, the module table
// with its functions, the compiler table and the constant tables.
#include "acdc/export.h"
#include "acdc/functions.h"

namespace acdc::lua {

namespace {

constexpr const char* kHandleMetatable = "acdc.handle";

// In the module's documented order. Every function gets AbstractEvent's per-state
// scratch record and key strings as upvalues 1 and 2.
const luaL_Reg kModuleFunctions[] = {
    {"decode", l_decode},
    {"GetRealPath", l_GetRealPath},
    {"GetProcNameFromPid", l_GetProcNameFromPid},
    {"GetFileNameFromPidAndFd", l_GetFileNameFromPidAndFd},
    {"EventAbstractionStats", l_EventAbstractionStats},
    {"BindStats", l_BindStats},
    {"AbstractEvent", l_AbstractEvent},
    {nullptr, nullptr},
};

const luaL_Reg kHandleMethods[] = {
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

const Constant kReply[] = {{"REPLY_TIMEOUT", 0}, {"REPLY_ERROR", 1},  {"REPLY_ALLOW", 2},
                           {"REPLY_BLOCK", 3},   {"REPLY_IGNORE", 4}, {"REPLY_TRACKFILE", 5},
                           {nullptr, 0}};

const Constant kAction[] = {{"IGNORE", 0}, {"ALLOW", 1},  {"DENY", 2},   {"ERROR", 3},
                            {"ADVICE", 4}, {"NOTIFY", 5}, {nullptr, 0}};

const Constant kEvent[] = {
    {"EVENT_NULL", 0},              {"TYPE_PROC_START", 1},         {"TYPE_PROC_TERM", 2},
    {"TYPE_FILE_EXEC", 3},          {"TYPE_CREATE", 4},             {"TYPE_RENAME", 5},
    {"TYPE_UPDATE", 6},             {"TYPE_DELETE", 7},             {"EVENT_WRITE_PRE", 8},
    {"EVENT_WRITE_POST", 9},        {"EVENT_CREATE_PRE", 10},       {"EVENT_CREATE_POST", 11},
    {"EVENT_CLEANUP_PRE", 12},      {"EVENT_CLEANUP_POST", 13},     {"EVENT_SETINFO_PRE", 14},
    {"EVENT_SETINFO_POST", 15},     {"EVENT_SETSECURITY_PRE", 16},  {"EVENT_SETSECURITY_POST", 17},
    {"EVENT_EXEC_PRE", 18},         {"EVENT_EXEC_POST", 19},        {"EVENT_LINK_PRE", 20},
    {"EVENT_LINK_POST", 21},        {"EVENT_DUP_PRE", 22},          {"EVENT_DUP_POST", 23},
    {"EVENT_OPEN_PRE", 24},         {"EVENT_OPEN_POST", 25},        {"EVENT_CHMOD_PRE", 26},
    {"EVENT_CHMOD_POST", 27},       {"EVENT_FCHMOD_PRE", 28},       {"EVENT_FCHMOD_POST", 29},
    {"EVENT_CLOSE_PRE", 30},        {"EVENT_CLOSE_POST", 31},       {"EVENT_EXECVE_PRE", 32},
    {"EVENT_EXECVE_POST", 33},      {"EVENT_RENAME_PRE", 34},       {"EVENT_RENAME_POST", 35},
    {"EVENT_CHOWN_PRE", 36},        {"EVENT_CHOWN_POST", 37},       {"EVENT_LCHOWN_PRE", 38},
    {"EVENT_LCHOWN_POST", 39},      {"EVENT_FCHOWN_PRE", 40},       {"EVENT_FCHOWN_POST", 41},
    {"EVENT_FCHOWNAT_PRE", 42},     {"EVENT_FCHOWNAT_POST", 43},    {"EVENT_UNLINK_PRE", 44},
    {"EVENT_UNLINK_POST", 45},      {"EVENT_UNLINKAT_PRE", 46},     {"EVENT_UNLINKAT_POST", 47},
    {"EVENT_MMAP_PRE", 48},         {"EVENT_MMAP_POST", 49},        {nullptr, 0}};

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
  if (luaL_newmetatable(L, kHandleMetatable)) {
    lua_pushvalue(L, -1);
    lua_setfield(L, -2, "__index");
    luaL_setfuncs(L, kHandleMethods, 0);
  }
  lua_pop(L, 1);

  lua_createtable(L, 0, 31);
  int module = lua_gettop(L);
  PushAbstractEventUpvalues(L);
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
  return 1;
}

}  // namespace acdc::lua


ACDC_EXPORT int luaopen_lacdc(lua_State* L) { return acdc::lua::OpenModule(L); }
ACDC_EXPORT int luaopen_acdc(lua_State* L) { return luaopen_lacdc(L); }
