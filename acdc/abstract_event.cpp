// acdc.AbstractEvent: runs the native fast path on an event table of Lua's making.

#include <cstring>

#include "acdc/functions.h"
#include "acdc/lua_number.h"
#include "event/abstract_event.h"
#include "event/records.h"

namespace acdc::lua {

namespace {

using event::EventRecord;

// The keys read, in order; each stays on the stack (at index 2 + its position) until
// the function returns, which keeps the borrowed strings alive.
enum Key { kType, kFlags, kRc, kDirty, kMaintenanceMode, kLockdown, kBasedir, kAuthorizeStartTime, kRlpath, kProcName, kKeyCount };
const char* const kKeyNames[kKeyCount] = {"type",     "flags",   "rc",     "dirty",  "maintenanceMode",
                                          "lockdown", "basedir", "authorizeStartTime", "rlpath", "procName"};

constexpr int StackIndex(Key k) { return 2 + static_cast<int>(k); }

double NumberAt(lua_State* L, Key k) {
  int isnum = 0;
  lua_Number n = lua_tonumberx(L, StackIndex(k), &isnum);
  return isnum ? n : 0;
}

// Borrowed text of a string key, or null when the key is not a string. Only real
// strings count: converting a number would allocate. The text ends at its first
// NUL, as it does for every C reader of the record.
const char* StringAt(lua_State* L, Key k, size_t* len) {
  if (lua_type(L, StackIndex(k)) != LUA_TSTRING) return nullptr;
  const char* text = lua_tolstring(L, StackIndex(k), nullptr);
  *len = std::strlen(text);
  return text;
}

}  // namespace

void PushAbstractEventUpvalues(lua_State* L) {
  auto* r = static_cast<EventRecord*>(lua_newuserdata(L, sizeof(EventRecord)));
  event::ClearEventRecord(r);
  // The keys as ready-made strings: a lookup by a string already on hand skips the
  // hashing and interning that lua_getfield does for every key of every event.
  lua_createtable(L, kKeyCount, 0);
  for (int k = 0; k < kKeyCount; ++k) {
    lua_pushstring(L, kKeyNames[k]);
    lua_rawseti(L, -2, k + 1);
  }
}

int l_AbstractEvent(lua_State* L) {
  luaL_argcheck(L, lua_type(L, 1) == LUA_TTABLE, 1, "Lua table expected");
  lua_settop(L, 1);
  luaL_checkstack(L, kKeyCount + 2, nullptr);
  for (int k = 0; k < kKeyCount; ++k) {
    lua_rawgeti(L, lua_upvalueindex(2), k + 1);
    lua_gettable(L, 1);
  }

  event::AbstractEventInput in;
  in.type = NumberToU32(luaL_checknumber(L, StackIndex(kType)));
  in.flags = NumberToU64(NumberAt(L, kFlags));
  in.rc = NumberToI32(NumberAt(L, kRc));
  in.dirty = NumberToI32(NumberAt(L, kDirty));
  in.maintenanceMode = NumberToU32(NumberAt(L, kMaintenanceMode));
  in.lockdown = NumberToU32(NumberAt(L, kLockdown));
  in.authorizeStartTime = NumberToU64(NumberAt(L, kAuthorizeStartTime));
  size_t basedir_len;
  in.basedir = StringAt(L, kBasedir, &basedir_len);
  if (in.basedir == nullptr) in.basedir = "";
  in.rlpath = StringAt(L, kRlpath, &in.rlpath_len);
  in.procName = StringAt(L, kProcName, &in.procName_len);
  // Paths that do not fit the record are refused rather than cut: a cut path would
  // name another file, and the caches key on it.
  if (in.rlpath != nullptr && in.rlpath_len >= event::kTextCapacity)
    return luaL_argerror(L, 1, "'rlpath' is longer than 4095 bytes");
  if (in.procName != nullptr && in.procName_len >= event::kTextCapacity)
    return luaL_argerror(L, 1, "'procName' is longer than 4095 bytes");

  auto* r = static_cast<EventRecord*>(lua_touserdata(L, lua_upvalueindex(1)));
  int result = event::DispatchAbstractEvent(r, in);
  uint32_t code = r->reply.code;
  lua_pushinteger(L, result);
  if (code == 0) return 1;
  lua_pushinteger(L, code);
  return 2;
}

}  // namespace acdc::lua
