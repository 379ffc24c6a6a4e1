#include "platform/recursive_lock.h"

#include <pthread.h>

#include <mutex>
#include <new>

namespace acdc::platform {

namespace {

static_assert(sizeof(std::recursive_mutex) <= 64 && alignof(std::recursive_mutex) <= 16,
              "the system lock must fit RecursiveLock's storage");

// pthread_t is an address on glibc, never 0, which stands for "no owner".
inline uintptr_t Self() { return static_cast<uintptr_t>(pthread_self()); }

inline std::recursive_mutex* Native(unsigned char* storage) {
  return std::launder(reinterpret_cast<std::recursive_mutex*>(storage));
}

}  // namespace

RecursiveLock::RecursiveLock() { new (native_) std::recursive_mutex; }

void RecursiveLock::Enter() {
  Native(native_)->lock();
  if (depth_ == 0) owner_.store(Self(), std::memory_order_relaxed);
  ++depth_;
}

void RecursiveLock::Leave() {
  // Only the owner can have stored its own token, and only it clears it, so a
  // thread that reads its token here does own the lock.
  if (owner_.load(std::memory_order_relaxed) != Self()) {
    ignored_leaves_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (--depth_ == 0) owner_.store(0, std::memory_order_relaxed);
  Native(native_)->unlock();
}

uint32_t RecursiveLock::Depth() const {
  return owner_.load(std::memory_order_relaxed) == Self() ? depth_ : 0;
}

}  // namespace acdc::platform
