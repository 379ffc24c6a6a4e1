#include "platform/recursive_lock.h"

#include <pthread.h>

#include <mutex>
#include <new>

namespace acdc::platform {

namespace {

// The lock keeps its own owner and depth, so the system lock beneath need not be
// recursive: a plain mutex, taken once by the first Enter and released by the last
// Leave, costs about half of a recursive one, which would count the depth again.
static_assert(sizeof(std::mutex) <= 64 && alignof(std::mutex) <= 16,
              "the system lock must fit RecursiveLock's storage");

// A token for the calling thread, never 0, which stands for "no owner": the thread
// pointer, read from a register where the compiler offers it (pthread_self() is a
// call into libc that returns the same value on x86-64 and cost a third of an
// uncontended Enter and Leave), else pthread_t, an address on glibc.
inline uintptr_t Self() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__aarch64__))
  return reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
#else
  return static_cast<uintptr_t>(pthread_self());
#endif
}

inline std::mutex* Native(unsigned char* storage) { return std::launder(reinterpret_cast<std::mutex*>(storage)); }

}  // namespace

RecursiveLock::RecursiveLock() { new (native_) std::mutex; }

void RecursiveLock::Enter() {
  // Only this thread stores its own token, so reading it here means it owns the lock
  // already; any other value, read without the lock, is never this thread's.
  uintptr_t self = Self();
  if (owner_.load(std::memory_order_relaxed) != self) {
    Native(native_)->lock();
    owner_.store(self, std::memory_order_relaxed);
  }
  ++depth_;
}

void RecursiveLock::Leave() {
  // Only the owner can have stored its own token, and only it clears it, so a
  // thread that reads its token here does own the lock.
  if (owner_.load(std::memory_order_relaxed) != Self()) {
    ignored_leaves_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (--depth_ == 0) {
    owner_.store(0, std::memory_order_relaxed);
    Native(native_)->unlock();
  }
}

uint32_t RecursiveLock::Depth() const {
  return owner_.load(std::memory_order_relaxed) == Self() ? depth_ : 0;
}

}  // namespace acdc::platform
