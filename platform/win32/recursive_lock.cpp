#include "platform/recursive_lock.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace acdc::platform {

namespace {

static_assert(sizeof(CRITICAL_SECTION) <= 64 && alignof(CRITICAL_SECTION) <= 16,
              "the system lock must fit RecursiveLock's storage");

// Thread ids are never 0, which stands for "no owner".
inline uintptr_t Self() { return static_cast<uintptr_t>(GetCurrentThreadId()); }

inline CRITICAL_SECTION* Native(unsigned char* storage) { return reinterpret_cast<CRITICAL_SECTION*>(storage); }

}  // namespace

RecursiveLock::RecursiveLock() { InitializeCriticalSection(Native(native_)); }

void RecursiveLock::Enter() {
  EnterCriticalSection(Native(native_));
  if (depth_ == 0) owner_.store(Self(), std::memory_order_relaxed);
  ++depth_;
}

void RecursiveLock::Leave() {
  // LeaveCriticalSection by a thread that does not own the section corrupts it;
  // only the owner can have stored its own id here, and only it clears it.
  if (owner_.load(std::memory_order_relaxed) != Self()) {
    ignored_leaves_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (--depth_ == 0) owner_.store(0, std::memory_order_relaxed);
  LeaveCriticalSection(Native(native_));
}

uint32_t RecursiveLock::Depth() const {
  return owner_.load(std::memory_order_relaxed) == Self() ? depth_ : 0;
}

}  // namespace acdc::platform
