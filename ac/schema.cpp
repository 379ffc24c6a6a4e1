// ShouldUpdateSchema and UpdatedSchema: which Lua state of the process initialises
// the database file "ac.db" of the plug-in "ac". A yes keeps the general lock held by
// the asking thread until its UpdatedSchema, so every other asker, and every
// EnterCriticalSection section, waits for the update to finish.
#include "ac/functions.h"
#include "ac/schema.h"
#include "platform/core_library.h"
#include "platform/recursive_lock.h"
#include "platform/services.h"

namespace acdc::ac {

namespace {

namespace core = platform::core;

constexpr char kPlugin[] = "ac";
constexpr char kDatabase[] = "ac.db";
// Room for the document's path of the database file, with its NUL.
constexpr size_t kPathCapacity = 4096;

// Guarded by the general lock.
bool g_force = true;         // no update granted yet in this process
bool g_in_progress = false;  // an update was granted and UpdatedSchema is owed

platform::RecursiveLock& GeneralLock() { return platform::ProcessLock(platform::LockId::kGeneral); }

// A path the document could not give (none, too long, no core library) names no
// file, so the answer falls to the flags.
bool DatabaseExists(void* dom) {
  char path[kPathCapacity];
  if (core::DomPluginFile(dom, kPlugin, kDatabase, path, sizeof path) == 0) return false;
  platform::FileStatus st;
  return platform::GetFileStatus(path, &st) == platform::kErrorSuccess && st.type == platform::FileType::kRegular;
}

// Runs with the general lock held by the caller. True keeps it held.
bool DecideLocked(void* dom) {
  bool yes = g_force || (!g_in_progress && !DatabaseExists(dom));
  if (yes) {
    g_in_progress = true;
    g_force = false;
  }
  return yes;
}

}  // namespace

void ResetSchemaState() {
  platform::ScopedLock lock(platform::LockId::kGeneral);
  g_force = true;
  g_in_progress = false;
}

// The object is taken out before the lock, so a raised argument error never leaves
// it held; from the lock on, nothing here can raise.
int l_ShouldUpdateSchema(lua_State* L) {
  void* dom = lua_type(L, 1) == LUA_TUSERDATA
                  ? core::UsableObject(lua_touserdata(L, 1), lua_rawlen(L, 1), core::kDomType)
                  : nullptr;
  if (dom == nullptr) return luaL_argerror(L, 1, "Dom object expected");
  GeneralLock().Enter();
  bool yes = DecideLocked(dom);
  if (!yes) GeneralLock().Leave();
  lua_pushboolean(L, yes);
  return 1;
}

// Without an update window of its own, the caller's leave is an unpaired leave: the
// lock ignores it (and counts it) rather than release another thread's section.
int l_UpdatedSchema(lua_State* L) {
  platform::RecursiveLock& lock = GeneralLock();
  if (lock.Depth() > 0) g_in_progress = false;
  lock.Leave();
  return 0;
}

}  // namespace acdc::ac
