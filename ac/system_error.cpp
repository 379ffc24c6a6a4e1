// Module ac's failure results: the error triple and the bare text.
#include <cstdio>

#include "ac/functions.h"
#include "platform/error.h"

namespace acdc::ac {

namespace {

// Room for the whole of any text the system keeps (kMessageWholeUnits UTF-16 units
// of up to 3 UTF-8 bytes each).
constexpr size_t kTextCapacity = 3 * platform::kMessageWholeUnits + 1;

}  // namespace

int PushSystemError(lua_State* L, const char* function, uint32_t code) {
  char text[kTextCapacity];
  platform::ErrorMessage(code, platform::MessageLimit::kWhole, text, sizeof text);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%lX", static_cast<unsigned long>(code));
  lua_pushnil(L);
  lua_pushunsigned(L, code);
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  luaL_addstring(&b, function);
  luaL_addstring(&b, "() failed: 0x");
  luaL_addstring(&b, hex);
  luaL_addstring(&b, " (");
  luaL_addstring(&b, text);
  luaL_addchar(&b, ')');
  luaL_pushresult(&b);
  return 3;
}

int PushSystemText(lua_State* L, uint32_t code) {
  lua_pushnil(L);
  lua_pushunsigned(L, code);
  return 2 + PushSystemMessage(L, code);
}

int PushSystemMessage(lua_State* L, uint32_t code) {
  char text[kTextCapacity];
  platform::ErrorMessage(code, platform::MessageLimit::kWhole, text, sizeof text);
  lua_pushstring(L, text);
  return 1;
}

}  // namespace acdc::ac
