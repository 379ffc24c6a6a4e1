// acdc.AbstractEvent: runs the native fast path on an event table of Lua's making.
#include <cstring>

#include "acdc/functions.h"
#include "acdc/lua_number.h"
#include "event/dispatcher.h"
#include "event/records.h"
#include "event/text.h"

namespace acdc::lua {

namespace {

using event::AcEvent;
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
// strings count: converting a number would allocate.
const char* StringAt(lua_State* L, Key k, size_t* len) {
  if (lua_type(L, StackIndex(k)) != LUA_TSTRING) return nullptr;
  return lua_tolstring(L, StackIndex(k), len);
}

// Everything read from the table, checked, before the record is touched.
struct EventInput {
  double type, flags, rc, dirty, maintenance, lockdown, authorize_start;
  const char* basedir;
  const char* rlpath;
  size_t rlpath_len;
  const char* proc_name;
  size_t proc_name_len;
};

// Fills the record from checked input and dispatches. No Lua call happens here.
int Dispatch(EventRecord* r, const EventInput& in) {
  event::ResetEventRecord(r);
  event::AcEventData& d = r->data;
  AcEvent& e = r->event;
  d.type = NumberToU32(in.type);
  d.flags = NumberToU64(in.flags);
  d.rc = NumberToI32(in.rc);
  d.dirty = NumberToI32(in.dirty);
  e.maintenanceMode = NumberToU32(in.maintenance);
  e.lockdown = NumberToU32(in.lockdown);
  e.basedir = in.basedir;
  e.authorizeStartTime = NumberToU64(in.authorize_start);
  d.pid = 555;  // not a multiple of 4, so no Windows process has it
  e.ac_on = 1;
  if (in.rlpath != nullptr && in.proc_name != nullptr) {
    event::CopyTextN(d.name, event::kTextCapacity, in.rlpath, in.rlpath_len);
    event::CopyTextN(e.rlpath, event::kTextCapacity, in.rlpath, in.rlpath_len);
    event::CopyTextN(e.procName, event::kTextCapacity, in.proc_name, in.proc_name_len);
    event::SplitPath(e.procPath, e.procFileName, e.procName);
    event::SplitPath(e.path, e.fileName, e.rlpath);
    event::LowerCase(e.rlpath);
    event::GetExtension(e.procName, e.procExtension);
    event::LowerCase(e.procExtension);
    event::GetExtension(e.fileName, e.fileExtension);
  }
  return event::DispatchEvent(&r->reply, &e);
}

}  // namespace

void PushScratchRecord(lua_State* L) {
  auto* r = static_cast<EventRecord*>(lua_newuserdata(L, sizeof(EventRecord)));
  event::ClearEventRecord(r);
}

int l_AbstractEvent(lua_State* L) {
  luaL_argcheck(L, lua_type(L, 1) == LUA_TTABLE, 1, "Lua table expected");
  lua_settop(L, 1);
  luaL_checkstack(L, kKeyCount + 2, "too many keys");
  for (int k = 0; k < kKeyCount; ++k) lua_getfield(L, 1, kKeyNames[k]);

  EventInput in;
  in.type = luaL_checknumber(L, StackIndex(kType));
  in.flags = NumberAt(L, kFlags);
  in.rc = NumberAt(L, kRc);
  in.dirty = NumberAt(L, kDirty);
  in.maintenance = NumberAt(L, kMaintenanceMode);
  in.lockdown = NumberAt(L, kLockdown);
  in.authorize_start = NumberAt(L, kAuthorizeStartTime);
  size_t basedir_len;
  in.basedir = StringAt(L, kBasedir, &basedir_len);
  if (in.basedir == nullptr) in.basedir = "";
  in.rlpath = StringAt(L, kRlpath, &in.rlpath_len);
  in.proc_name = StringAt(L, kProcName, &in.proc_name_len);
  // Paths that do not fit the record are refused rather than cut: a cut path would
  // name another file, and the caches key on it.
  if (in.rlpath != nullptr && in.rlpath_len >= event::kTextCapacity)
    return luaL_argerror(L, 1, "'rlpath' is longer than 4095 bytes");
  if (in.proc_name != nullptr && in.proc_name_len >= event::kTextCapacity)
    return luaL_argerror(L, 1, "'procName' is longer than 4095 bytes");

  auto* r = static_cast<EventRecord*>(lua_touserdata(L, lua_upvalueindex(1)));
  int result = Dispatch(r, in);
  uint32_t code = r->reply.code;
  lua_pushinteger(L, result);
  if (code == 0) return 1;
  lua_pushinteger(L, code);
  return 2;
}

}  // namespace acdc::lua
