// Argument checks shared by the module's functions.
#include <cstring>

#include "acdc/arguments.h"
#include "acdc/lua_number.h"
#include "event/records.h"

namespace acdc::lua {

const char* PathArg(lua_State* L, int arg, size_t* len) {
  const char* text = luaL_checkstring(L, arg);
  // Text ends at its first NUL, as it does for every C reader of the record.
  *len = std::strlen(text);
  if (*len >= event::kTextCapacity) luaL_argerror(L, arg, "path is longer than 4095 bytes");
  return text;
}

uint64_t PidArg(lua_State* L, int arg) {
  int64_t pid = 0;
  if (!NumberInRange(luaL_checknumber(L, arg), 0, UINT32_MAX, &pid)) luaL_argerror(L, arg, "pid out of range");
  return static_cast<uint64_t>(pid);
}

}  // namespace acdc::lua
