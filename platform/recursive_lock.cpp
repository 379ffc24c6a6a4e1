#include "platform/recursive_lock.h"

namespace acdc::platform {

namespace {

// Built at load, in LockId order; never destroyed (RecursiveLock has no destructor).
RecursiveLock g_locks[kLockCount];

}  // namespace

RecursiveLock& ProcessLock(LockId id) { return g_locks[static_cast<size_t>(id)]; }

}  // namespace acdc::platform
