// CacheDump of module ac: the execution cache and the drift table as two entries of
// a zip output stream of the core library, "ac/exec_cache" and "ac/drift".
//
// Each cache is copied under its own mutex, one after the other, into a block that
// Lua owns; both entries are written after the mutexes are released. The execution
// cache's mutex is the one the decision path takes for every execution, so it never
// waits on the archive's I/O or on a slow stream: holding it costs the copy of the
// table (2.9 MB), not the writing. Each entry is its cache as it was
// at the moment of its copy.
//
// Entry layouts (little-endian; names as bytes, never pointers):
//   exec_cache: the 65,536 slots in slot order, 44 bytes each: the path's SHA-256
//               (32 bytes), the four rule-set numbers (u16 each), the verdict (u32)
//   drift:      as cache/drift_table.h writes it down (DumpDriftTable)
#include <cstddef>

#include "ac/functions.h"
#include "cache/drift_table.h"
#include "cache/execution_cache.h"
#include "platform/core_library.h"

namespace acdc::ac {

namespace {

namespace core = platform::core;

constexpr char kDumpFolder[] = "ac";
constexpr char kExecEntry[] = "exec_cache";
constexpr char kDriftEntry[] = "drift";

// The slots are copied as they lie in memory, which is the entry's layout on every
// system this library is built for.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the dump's numbers are little-endian");
static_assert(offsetof(cache::ExecCacheEntry, digest) == 0 && offsetof(cache::ExecCacheEntry, rulesetNumbers) == 32 &&
                  offsetof(cache::ExecCacheEntry, cache_type) == 40 && sizeof(cache::ExecCacheEntry) == 44,
              "an exec_cache slot is 44 bytes: digest, rule-set numbers, verdict");

constexpr size_t kExecDumpBytes = sizeof(cache::ExecCacheEntry) * cache::kExecCacheSlots;
constexpr size_t kDumpBlockBytes = kExecDumpBytes + cache::kDriftDumpCapacity;

}  // namespace

// Anything but a writable zip output stream of the core library is ignored. The
// block is made before the stream is taken out of its argument and before any
// mutex: an allocation error then leaves nothing behind and holds nothing, and no
// finalizer it runs can close the stream under us.
int l_CacheDump(lua_State* L) {
  if (lua_type(L, 1) != LUA_TUSERDATA) return 0;
  auto* block = static_cast<uint8_t*>(lua_newuserdata(L, kDumpBlockBytes));
  void* stream = core::UsableObject(lua_touserdata(L, 1), lua_rawlen(L, 1), core::kZipOutputStreamType);
  if (stream == nullptr) return 0;
  cache::CopyExecCache(reinterpret_cast<cache::ExecCacheEntry*>(block));
  size_t drift_bytes = cache::DumpDriftTable(block + kExecDumpBytes);
  core::ZipAddFromMemory(stream, block, kExecDumpBytes, kExecEntry, kDumpFolder);
  core::ZipAddFromMemory(stream, block + kExecDumpBytes, drift_bytes, kDriftEntry, kDumpFolder);
  return 0;
}

}  // namespace acdc::ac
