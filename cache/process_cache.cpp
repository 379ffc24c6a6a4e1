#include "cache/process_cache.h"

#include <cstring>

#include "platform/cache_mutex.h"

namespace acdc::cache {

namespace {

using platform::CacheMutex;
using platform::CacheMutexGuard;

struct Slot {
  uint64_t pid;                       // 0 in an empty slot
  uint64_t processTypeIndex;          // row of the process-type table
  char name[kProcCacheNameBytes];     // image file name, NUL-padded when shorter
};

// Guarded by CacheMutex::kProcCache, as are the counters.
Slot g_slots[kProcCacheSlots];
ProcCacheCounters g_counters;

inline Slot& SlotOf(uint64_t pid) { return g_slots[pid % kProcCacheSlots]; }

}  // namespace

bool AddProcess(uint64_t pid, uint64_t processTypeIndex, const char* name, bool* same_pid) {
  // The name is copied before locking: the lock covers the slot store only.
  char copy[kProcCacheNameBytes] = {};
  std::memcpy(copy, name, strnlen(name, sizeof copy));
  bool same;
  {
    CacheMutexGuard lock(CacheMutex::kProcCache);
    Slot& s = SlotOf(pid);
    same = s.pid == pid;
    if (same) ++g_counters.procchange;
    ++g_counters.procadd;
    s.pid = pid;
    s.processTypeIndex = processTypeIndex;
    std::memcpy(s.name, copy, sizeof copy);
  }
  if (same_pid != nullptr) *same_pid = same;
  return true;
}

uint64_t GetProcess(uint64_t pid, const char* name) {
  if (pid == 0) return 0;
  CacheMutexGuard lock(CacheMutex::kProcCache);
  const Slot& s = SlotOf(pid);
  // strncmp stops at the first NUL of either side and never reads past the field.
  if (std::strncmp(name, s.name, kProcCacheNameBytes) == 0) {
    ++g_counters.prochit;
    return s.processTypeIndex;
  }
  ++g_counters.procmiss;
  return 0;
}

bool RemoveProcess(uint64_t pid) {
  CacheMutexGuard lock(CacheMutex::kProcCache);
  Slot& s = SlotOf(pid);
  if (s.pid != pid) {
    ++g_counters.procremovemiss;
    return false;
  }
  ++g_counters.procremovehit;
  s = Slot{};
  return true;
}

void ClearProcessCache() {
  CacheMutexGuard lock(CacheMutex::kProcCache);
  ++g_counters.procclear;
  std::memset(g_slots, 0, sizeof g_slots);
}

ProcCacheCounters ProcCacheStats() {
  CacheMutexGuard lock(CacheMutex::kProcCache);
  return g_counters;
}

}  // namespace acdc::cache
