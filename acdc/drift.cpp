// The drift-tracking functions of module acdc: DriftClear, DriftFreshFilter,
// DriftClose, DriftCondOpen, DriftDup, DriftDupTrackPossibleClose, DriftOpen,
// DriftStats. The table and its locking are in cache/drift_table.
#include <cstdint>

#include "acdc/functions.h"
#include "acdc/lua_number.h"
#include "cache/drift_table.h"

namespace acdc::lua {

namespace {

// The value of the one number conversion, refused when it lies outside [lo, hi]:
// a process id of 2^32 + 12 is not process 12.
bool FitsRange(double x, int64_t lo, int64_t hi, int64_t* value) {
  uint64_t u = NumberToU64(x);
  if (x >= 0 && u > static_cast<uint64_t>(INT64_MAX)) return false;
  *value = static_cast<int64_t>(u);
  return *value >= lo && *value <= hi;
}

// Process ids are unsigned 32-bit, as the driver reports them.
uint32_t CheckPid(lua_State* L, int arg) {
  int64_t v = 0;
  if (!FitsRange(luaL_checknumber(L, arg), 0, UINT32_MAX, &v)) luaL_argerror(L, arg, "pid out of range");
  return static_cast<uint32_t>(v);
}

// Descriptors are signed 32-bit, as the events carry them (evt.fd).
int32_t CheckFd(lua_State* L, int arg) {
  int64_t v = 0;
  if (!FitsRange(luaL_checknumber(L, arg), INT32_MIN, INT32_MAX, &v)) luaL_argerror(L, arg, "descriptor out of range");
  return static_cast<int32_t>(v);
}

}  // namespace

int l_DriftClear(lua_State* L) {
  cache::DriftClear();
  return 0;
}

int l_DriftFreshFilter(lua_State* L) {
  int type = lua_type(L, 1);
  if (type != LUA_TSTRING && type != LUA_TNUMBER) {
    // A failed "getfilefilter" command's nil and message pass through unchanged.
    if (lua_gettop(L) >= 2) return lua_gettop(L);
    lua_pushnil(L);
    lua_pushliteral(L, "missing getFileFilter");
    return 2;
  }
  size_t length = 0;
  const char* reply = lua_tolstring(L, 1, &length);
  if (length < cache::kFilterReplyMinimum) {
    lua_pushnil(L);
    lua_pushfstring(L, "missing getfilefilter args (%d)", static_cast<int>(length));
    return 2;
  }
  uint8_t request[cache::kFilterRequestSize];
  cache::FreshFilterResult r = cache::DriftFreshFilter(reinterpret_cast<const uint8_t*>(reply), request);
  if (r.status == cache::FreshFilterStatus::kBuilt) {
    lua_pushlstring(L, reinterpret_cast<const char*>(request), sizeof request);
    return 1;
  }
  lua_pushnil(L);
  lua_pushfstring(L, r.status == cache::FreshFilterStatus::kPidSize ? "pidsize %d != %d" : "fdsize %d != %d",
                  static_cast<int>(r.size), static_cast<int>(cache::kFilterMapBytes));
  return 2;
}

int l_DriftClose(lua_State* L) {
  uint32_t pid = CheckPid(L, 1);
  int32_t fd = CheckFd(L, 2);
  cache::DriftCloseResult r = cache::DriftClose(pid, fd);
  lua_pushboolean(L, r.found);
  lua_pushboolean(L, r.refresh);
  return 2;
}

int l_DriftCondOpen(lua_State* L) {
  uint32_t pid = CheckPid(L, 1);
  int32_t fd = CheckFd(L, 2);
  cache::DriftCondOpen(pid, fd);
  return 0;
}

int l_DriftDup(lua_State* L) {
  uint32_t pid = CheckPid(L, 1);
  int32_t old_fd = CheckFd(L, 2);
  int32_t new_fd = CheckFd(L, 3);
  char name[cache::kDriftNameCapacity];
  cache::DriftDupResult r = cache::DriftDup(pid, old_fd, new_fd, name);
  if (r.name_length >= 0)
    lua_pushlstring(L, name, static_cast<size_t>(r.name_length));
  else
    lua_pushnil(L);
  if (!r.tracked) return 1;
  lua_pushboolean(L, 1);
  return 2;
}

int l_DriftDupTrackPossibleClose(lua_State* L) {
  uint32_t pid = CheckPid(L, 1);
  int32_t old_fd = CheckFd(L, 2);
  int32_t new_fd = CheckFd(L, 3);
  if (cache::DriftDupTrackPossibleClose(pid, old_fd, new_fd) != cache::DupCapture::kNeitherTracked) return 0;
  lua_pushboolean(L, 0);
  return 1;
}

int l_DriftOpen(lua_State* L) {
  uint32_t pid = CheckPid(L, 1);
  int32_t fd = CheckFd(L, 2);
  cache::DriftOpen(pid, fd);
  return 0;
}

int l_DriftStats(lua_State* L) {
  cache::DriftStatsSnapshot s = cache::DriftStats();
  lua_createtable(L, 0, static_cast<int>(cache::kDriftCounterCount) + 4);
  // Each value is reported as its low 32 bits, unsigned.
  for (size_t c = 0; c < cache::kDriftCounterCount; ++c) {
    lua_pushunsigned(L, static_cast<lua_Unsigned>(s.counts[c] & 0xFFFFFFFFu));
    lua_setfield(L, -2, cache::kDriftCounterNames[c]);
  }
  lua_pushunsigned(L, static_cast<lua_Unsigned>(static_cast<uint64_t>(s.cooldown) & 0xFFFFFFFFu));
  lua_setfield(L, -2, "cooldown");
  lua_pushunsigned(L, static_cast<lua_Unsigned>((s.tail - s.head) & 0xFFFFFFFFu));
  lua_setfield(L, -2, "current");
  lua_pushunsigned(L, static_cast<lua_Unsigned>(s.tail & 0xFFFFFFFFu));
  lua_setfield(L, -2, "total");
  lua_pushunsigned(L, cache::kDriftCapacity);
  lua_setfield(L, -2, "max");
  return 1;
}

}  // namespace acdc::lua
