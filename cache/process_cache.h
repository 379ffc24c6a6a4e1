// ProcCache: the process type of each process, remembered by pid and image file
// name, so that the event path classifies a process once rather than per event.
//
// A fixed direct-mapped table of 1024 slots (pid modulo 1024) in static storage,
// shared by every thread and Lua state, guarded by one cache mutex that covers one
// slot access and its counters. A new entry overwrites its slot; nothing expires.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::cache {

constexpr uint32_t kProcCacheSlots = 1024;
// A name of 16 bytes or more fills the field without a terminator and is compared
// on those 16 bytes: "trustedinstaller.exe" and "trustedinstaller.com" share an
// entry, which is the price of a fixed slot.
constexpr size_t kProcCacheNameBytes = 16;

struct ProcCacheCounters {
  uint64_t procadd;         // stores
  uint64_t procchange;      // stores into a slot that held the same pid
  uint64_t procclear;       // clears
  uint64_t procremovehit;   // removals that emptied a slot
  uint64_t procremovemiss;  // removals whose slot held another pid
  uint64_t prochit;         // lookups whose slot held the name
  uint64_t procmiss;        // lookups whose slot held another name
};

// Stores (pid, type, first 16 bytes of name) in the pid's slot. Always true.
// `same_pid`, when given, tells whether the slot already held this pid (what
// `procchange` counted), for callers that keep their own tally.
bool AddProcess(uint64_t pid, uint64_t processTypeIndex, const char* name, bool* same_pid = nullptr);

// The type stored in the pid's slot when the slot's name equals `name`, else 0.
// The slot's pid is not compared: the slot and the name decide, so a process that
// reuses the slot of another with the same file name gets its entry. Pid 0 returns
// 0 at once, uncounted.
uint64_t GetProcess(uint64_t pid, const char* name);

// Empties the pid's slot if it holds this pid; true when it did.
bool RemoveProcess(uint64_t pid);

// Empties every slot; the counters stay.
void ClearProcessCache();

// A snapshot of the counters, read under the mutex.
ProcCacheCounters ProcCacheStats();

}  // namespace acdc::cache
