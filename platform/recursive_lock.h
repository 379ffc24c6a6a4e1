// The library's five process-wide locks: recursive critical sections with Windows
// semantics (the owning thread may enter again and leaves as often as it entered),
// shared by every Lua state and thread of the process.
//
// Each lock records its owner and depth beside the system lock beneath it (a
// CRITICAL_SECTION on Windows; on POSIX a plain std::mutex, held from the first
// Enter to the last Leave, which the owner and depth make recursive). A Leave by a thread
// that does not own the lock is ignored and counted: the Lua functions that leave
// the general and auto-authorize command locks take whatever Lua code sends, and an
// unbalanced leave must not release another thread's section or corrupt the system
// lock (both undefined for either system lock).
//
// The locks live in static storage and are never destroyed: several Lua states on
// several threads may still hold or wait on one when any of them unloads the module.
//
// Lock order: the Lua code decides the order of the general and auto-authorize
// command locks; the library itself takes the filter-set, statistics and mock-flag
// locks only around its own reads and writes of the state they guard, never one
// inside another, never across I/O, a Lua call or logging.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace acdc::platform {

class RecursiveLock {
 public:
  RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;
  // No destructor: the system lock beneath is never torn down (see above).

  // Waits without time-out until the calling thread owns the lock, then adds one
  // level.
  void Enter();
  // Removes one level of the calling thread's ownership, releasing the lock at the
  // last. A thread that does not own the lock changes nothing; its call is counted.
  void Leave();

  // The calling thread's depth: how many Leaves it owes; 0 when it does not own it.
  uint32_t Depth() const;
  // Leaves refused because the caller did not own the lock, since load.
  uint64_t IgnoredLeaves() const { return ignored_leaves_.load(std::memory_order_relaxed); }

 private:
  alignas(16) unsigned char native_[64];    // the system lock, built in place
  std::atomic<uintptr_t> owner_{0};          // token of the owning thread, 0 when free
  uint32_t depth_ = 0;                       // written by the owner only
  std::atomic<uint64_t> ignored_leaves_{0};  // Leaves by threads that did not own it
};

// The five locks, in the order they are created at load.
enum class LockId : uint8_t {
  kFilterSet,             // the filter set and its counters
  kStatistics,            // the 128 statistics counters
  kGeneral,               // Lua's EnterCriticalSection sections; the schema update window
  kAutoAuthorizeCommand,  // Lua's EnterAutoAuthorizeCommandCS sections
  kMockFlag,              // the flag that makes module ac's `dc` the mock driver module
  kCount
};

constexpr size_t kLockCount = static_cast<size_t>(LockId::kCount);

// The process-wide lock `id`.
RecursiveLock& ProcessLock(LockId id);

// Holds one process-wide lock for a scope. Core code only: never in a frame where
// Lua can raise, since a longjmp would skip the Leave.
class ScopedLock {
 public:
  explicit ScopedLock(LockId id) : lock_(ProcessLock(id)) { lock_.Enter(); }
  ~ScopedLock() { lock_.Leave(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  RecursiveLock& lock_;
};

}  // namespace acdc::platform
