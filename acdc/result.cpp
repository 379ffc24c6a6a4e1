#include <cinttypes>
#include <cstdio>

#include "acdc/functions.h"
#include "platform/error.h"

namespace acdc::lua {

int PushStatus(lua_State* L, int32_t status, const char* context) {
  if (status == 0) {
    lua_pushboolean(L, 1);
    return 1;
  }
  // The system text is looked up by the low 16 bits, so that an HRESULT wrapping a
  // Win32 code reads as that code.
  char text[platform::kMessage128Utf8Capacity];
  platform::ErrorMessage(static_cast<uint32_t>(status) & 0xFFFFu, platform::MessageLimit::k128Units, text,
                         sizeof text);
  char message[640];
  std::snprintf(message, sizeof message, "%s: %s (%" PRId32 ")", context, text, status);
  lua_pushnil(L);
  lua_pushinteger(L, status);
  lua_pushstring(L, message);
  return 3;
}

}  // namespace acdc::lua
