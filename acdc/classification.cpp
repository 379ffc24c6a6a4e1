// The classification functions of module acdc: GetProcessInterpreterType,
// IsTrustedPath, IsPrelink, IsExtensionInterpreted, quickIMFilter.
#include <cstring>

#include "acdc/arguments.h"
#include "acdc/functions.h"
#include "acdc/lua_number.h"
#include "cache/classification.h"
#include "event/records.h"

namespace acdc::lua {

namespace {

// A type index that is not a row (negative, 34 and beyond, 2^32 + 12, NaN) gives
// false from every test; the tests below take it as row 0, which has no rights.
uint64_t TypeIndexArg(lua_State* L, int arg) {
  int64_t index = 0;
  if (!NumberInRange(luaL_checknumber(L, arg), 0, cache::kProcessTypeCount - 1, &index)) return 0;
  return static_cast<uint64_t>(index);
}

}  // namespace

int l_GetProcessInterpreterType(lua_State* L) {
  uint64_t pid = PidArg(L, 1);
  size_t len;
  const char* image = PathArg(L, 2, &len);
  auto* scratch = static_cast<event::EventRecord*>(lua_touserdata(L, lua_upvalueindex(1)));
  bool skip = false;
  uint64_t type = cache::ClassifyImage(scratch, pid, image, len, &skip);
  if (type == 0) return 0;
  lua_pushinteger(L, static_cast<lua_Integer>(type));
  if (type == cache::kNormalType) return 1;
  lua_pushboolean(L, skip);
  return 2;
}

int l_IsTrustedPath(lua_State* L) {
  uint64_t index = TypeIndexArg(L, 1);
  size_t len;
  const char* path = PathArg(L, 2, &len);
  lua_pushboolean(L, cache::IsTrustedPath(index, path, nullptr));
  return 1;
}

int l_IsPrelink(lua_State* L) {
  // Range first: 2^32 + 12 is not 12.
  lua_pushboolean(L, TypeIndexArg(L, 1) == cache::kPrelinkType);
  return 1;
}

int l_IsExtensionInterpreted(lua_State* L) {
  uint64_t index = TypeIndexArg(L, 1);
  const char* ext = luaL_checkstring(L, 2);
  lua_pushboolean(L, cache::IsExtensionInterpreted(index, ext));
  return 1;
}

int l_quickIMFilter(lua_State* L) {
  size_t len;
  const char* path = PathArg(L, 1, &len);
  const char* ext = luaL_checkstring(L, 2);
  const char* prefixes = luaL_checkstring(L, 3);
  lua_pushboolean(L, cache::QuickIMFilter(ext, path, prefixes));
  return 1;
}

}  // namespace acdc::lua
