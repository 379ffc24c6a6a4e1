#include "platform/cache_mutex.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace acdc::platform {

namespace {

HANDLE volatile g_mutexes[static_cast<int>(CacheMutex::kCount)];

// The mutex of `m`, made on first use. Two threads may both create one; the first to
// publish wins and the other closes its own, so every caller waits on the same mutex.
HANDLE MutexOf(CacheMutex m) {
  HANDLE volatile* slot = &g_mutexes[static_cast<int>(m)];
  HANDLE h = *slot;
  if (h != nullptr) return h;
  HANDLE created = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE previous = InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(slot), created, nullptr);
  if (previous == nullptr) return created;
  CloseHandle(created);
  return previous;
}

}  // namespace

void LockCacheMutex(CacheMutex m) { WaitForSingleObject(MutexOf(m), INFINITE); }
void UnlockCacheMutex(CacheMutex m) { ReleaseMutex(MutexOf(m)); }

}  // namespace acdc::platform
