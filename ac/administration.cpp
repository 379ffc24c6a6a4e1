// Module ac's own small functions: the no-op (WriteEventLocally, CacheSelfTest), the
// two locks Lua enters and leaves itself, the mock-driver switch and the core
// library's profiler hooks.
#include "ac/functions.h"
#include "platform/core_library.h"
#include "platform/recursive_lock.h"

namespace acdc::ac {

namespace {

bool g_mock_driver = false;  // guarded by the mock-flag lock

void SetMockDriverFlag(bool on) {
  platform::ScopedLock lock(platform::LockId::kMockFlag);
  g_mock_driver = on;
}

}  // namespace

bool MockDriverFlag() {
  platform::ScopedLock lock(platform::LockId::kMockFlag);
  return g_mock_driver;
}

int l_WriteEventLocally(lua_State* L) { return 0; }

// Null hooks when the core library is missing: module acdc's `profiler` installs
// a null hook as the no-op.
int l_ProfilerBindings(lua_State* L) {
  lua_pushlightuserdata(L, reinterpret_cast<void*>(platform::core::ProfilerBlockfilter()));
  lua_pushlightuserdata(L, reinterpret_cast<void*>(platform::core::ProfilerRunning()));
  return 2;
}

// The Lua caller pairs each enter with a leave on the same thread; an unpaired leave
// is ignored (and counted) by the lock. A Lua error between the two leaves the lock
// held: the Lua code guards such sections itself.
int l_EnterCriticalSection(lua_State* L) {
  platform::ProcessLock(platform::LockId::kGeneral).Enter();
  return 0;
}

int l_LeaveCriticalSection(lua_State* L) {
  platform::ProcessLock(platform::LockId::kGeneral).Leave();
  return 0;
}

int l_EnterAutoAuthorizeCommandCS(lua_State* L) {
  platform::ProcessLock(platform::LockId::kAutoAuthorizeCommand).Enter();
  return 0;
}

int l_LeaveAutoAuthorizeCommandCS(lua_State* L) {
  platform::ProcessLock(platform::LockId::kAutoAuthorizeCommand).Leave();
  return 0;
}

int l_mockdriver(lua_State* L) {
  if (lua_type(L, 1) != LUA_TBOOLEAN) return luaL_argerror(L, 1, "expected true or false");
  SetMockDriverFlag(lua_toboolean(L, 1) != 0);
  return 0;
}

}  // namespace acdc::ac
