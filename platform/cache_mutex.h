// The mutexes of the process-wide caches, one per cache, in the terms of the Windows
// unnamed mutex each one is: created on first use, waited on without time-out, never
// destroyed (several Lua states on several threads may still be using a cache when
// any one of them unloads the module).
//
// Lock order: none is needed. No operation holds two cache mutexes at once, and none
// is held across I/O, hashing, a Lua call or logging: each covers the lookup or store
// of one entry, or the copy of a table.
#pragma once

#include <cstdint>

namespace acdc::platform {

enum class CacheMutex : uint8_t {
  kProcCache,   // the process-type cache
  kExecCache,   // the execution decision cache
  kDriftTable,  // the drift table
  kCount
};

// Windows: WaitForSingleObject(INFINITE) on a mutex made by CreateMutexW on first use
// and published with InterlockedCompareExchangePointer (a thread that loses the race
// closes its own). POSIX: a statically initialised pthread mutex, so there is nothing
// to create and no race to lose.
void LockCacheMutex(CacheMutex m);
void UnlockCacheMutex(CacheMutex m);

// Holds one cache mutex for a scope. Core code only: never in a frame where Lua can
// raise, since a longjmp would skip the unlock.
class CacheMutexGuard {
 public:
  explicit CacheMutexGuard(CacheMutex m) : m_(m) { LockCacheMutex(m_); }
  ~CacheMutexGuard() { UnlockCacheMutex(m_); }
  CacheMutexGuard(const CacheMutexGuard&) = delete;
  CacheMutexGuard& operator=(const CacheMutexGuard&) = delete;

 private:
  CacheMutex m_;
};

}  // namespace acdc::platform
