// The filter set's functions of module ac: AddToFilterSet, ClearFilterSet,
// GetfilledPositionsCount, IsLikelyInSet, SetBypassFilterState, FilterSetDump,
// FilterSetStats.
#include "ac/functions.h"
#include "acdc/lua_number.h"
#include "cache/filter_set.h"
#include "platform/core_library.h"

namespace acdc::ac {

namespace {

namespace core = platform::core;

constexpr char kDumpEntry[] = "filterSet";
constexpr char kDumpFolder[] = "ac";

void SetUnsigned(lua_State* L, const char* name, uint64_t value) {
  lua_pushunsigned(L, static_cast<lua_Unsigned>(value & 0xFFFFFFFFu));
  lua_setfield(L, -2, name);
}

}  // namespace

int l_AddToFilterSet(lua_State* L) {
  cache::AddToFilterSet(NumberToU64(luaL_checknumber(L, 1)));
  return 0;
}

int l_ClearFilterSet(lua_State* L) {
  cache::ClearFilterSet();
  return 0;
}

int l_GetfilledPositionsCount(lua_State* L) {
  lua_pushunsigned(L, cache::FilledPositionsCount());
  return 1;
}

// Whatever AddToFilterSet takes for a number, a numeric string included, is taken
// here as the same number: a value added as "5" must not be looked up as 0 and be
// answered with a certain "no". Anything else is 0.
int l_IsLikelyInSet(lua_State* L) {
  lua_pushboolean(L, cache::IsLikelyInSet(NumberToU64(lua_tonumber(L, 1))));
  return 1;
}

int l_SetBypassFilterState(lua_State* L) {
  luaL_argcheck(L, lua_isboolean(L, 1), 1, "boolean expected");
  cache::SetBypassFilterState(lua_toboolean(L, 1) != 0);
  return 0;
}

// Anything but a writable zip output stream of the core library is ignored. The
// bitmap is copied under the filter-set lock into a Lua-owned block and written
// after the lock is released, so the lock never waits on the archive's I/O. The
// block is made first, before the stream is taken out of its argument: an error in
// the allocation then leaves nothing behind, and no finalizer it runs can close
// the stream under us.
int l_FilterSetDump(lua_State* L) {
  if (lua_type(L, 1) != LUA_TUSERDATA) return 0;
  auto* bits = static_cast<uint8_t*>(lua_newuserdata(L, cache::kFilterSetBytes));
  void* stream = core::UsableObject(lua_touserdata(L, 1), lua_rawlen(L, 1), core::kZipOutputStreamType);
  if (stream == nullptr) return 0;
  cache::CopyFilterSetBits(bits);
  core::ZipAddFromMemory(stream, bits, cache::kFilterSetBytes, kDumpEntry, kDumpFolder);
  return 0;
}

int l_FilterSetStats(lua_State* L) {
  lua_createtable(L, 0, 10);
  cache::FilterSetStatsSnapshot s = cache::FilterSetStats();
  SetUnsigned(L, "minSize", s.minSize);
  SetUnsigned(L, "maxSize", s.maxSize);
  SetUnsigned(L, "count", s.count);
  SetUnsigned(L, "bypassEnabled", s.bypassEnabled ? 1 : 0);
  SetUnsigned(L, "add", s.add);
  SetUnsigned(L, "bypassed", s.bypassed);
  SetUnsigned(L, "clear", s.clear);
  SetUnsigned(L, "hit", s.hit);
  SetUnsigned(L, "miss", s.miss);
  SetUnsigned(L, "oorange", s.oorange);
  return 1;
}

}  // namespace acdc::ac
