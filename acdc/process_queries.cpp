// Process and path queries: GetProcNameFromPid, GetRealPath, GetFileNameFromPidAndFd.
#include <cstdio>

#include "acdc/functions.h"
#include "acdc/lua_number.h"
#include "event/process_image.h"
#include "event/records.h"

namespace acdc::lua {

int l_GetRealPath(lua_State* L) {
  lua_settop(L, 2);
  return 1;
}

int l_GetProcNameFromPid(lua_State* L) {
  uint32_t pid = NumberToU32(luaL_checknumber(L, 1));
  char path[event::kTextCapacity] = {};
  platform::ImageQueryStep step;
  platform::Win32Error err = event::LookupProcessImage(pid, path, &step);
  if (err != platform::kErrorSuccess) {
    char context[96];
    std::snprintf(context, sizeof context, "%s:%d:%s", "l_GetProcNameFromPid", static_cast<int>(pid),
                  step == platform::ImageQueryStep::kOpenProcess ? "OpenProcess" : "GetProcessImageFileName");
    return PushStatus(L, static_cast<int32_t>(err), context);
  }
  lua_pushstring(L, path);
  return 1;
}

int l_GetFileNameFromPidAndFd(lua_State* L) { return luaL_error(L, "Not supported"); }

}  // namespace acdc::lua
