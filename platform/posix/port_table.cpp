#include "platform/posix/port_table.h"

#include <sys/socket.h>
#include <unistd.h>

namespace acdc::platform::posix {

namespace {

constexpr uint64_t kOpen = 1;
constexpr uint64_t kClosing = 2;
constexpr uint64_t kUser = 4;
constexpr uint64_t kUserMask = 0xFFFFFFFCu;

PortSlot g_slots[kMaxPorts];
std::mutex g_register;  // one registration at a time; uses never take it

inline uint32_t Generation(uint64_t state) { return static_cast<uint32_t>(state >> 32); }
inline uint64_t Users(uint64_t state) { return (state & kUserMask) >> 2; }

// A handle is (generation << 8) | (slot index + 1): never null, and the low byte
// tells a port from the completion port's handles (see completion_port.cpp).
OsHandle MakeHandle(uint32_t index, uint32_t generation) {
  return reinterpret_cast<OsHandle>((static_cast<uintptr_t>(generation) << 8) | (index + 1));
}

bool DecodeHandle(OsHandle h, uint32_t* index, uint32_t* generation) {
  uintptr_t v = reinterpret_cast<uintptr_t>(h);
  uintptr_t low = v & 0xFF;
  if (low == 0 || low > kMaxPorts) return false;
  *index = static_cast<uint32_t>(low - 1);
  *generation = static_cast<uint32_t>(v >> 8);
  return true;
}

// Called by exactly one thread: the one that saw the last user leave a closing slot.
void FinishClose(PortSlot* slot) {
  uint64_t state = slot->state.load(std::memory_order_acquire);
  close(slot->fd);
  slot->fd = -1;
  slot->state.store(static_cast<uint64_t>(Generation(state)) << 32, std::memory_order_release);
}

}  // namespace

Win32Error RegisterPort(int fd, OsHandle* out) {
  std::lock_guard<std::mutex> lock(g_register);
  for (uint32_t i = 0; i < kMaxPorts; ++i) {
    PortSlot& slot = g_slots[i];
    uint64_t state = slot.state.load(std::memory_order_acquire);
    if ((state & (kOpen | kClosing)) != 0 || Users(state) != 0) continue;
    uint32_t generation = Generation(state) + 1;
    if (generation == 0) generation = 1;
    slot.fd = fd;
    slot.state.store((static_cast<uint64_t>(generation) << 32) | kOpen, std::memory_order_release);
    *out = MakeHandle(i, generation);
    return kErrorSuccess;
  }
  return kErrorTooManyOpenFiles;
}

PortSlot* AcquirePort(OsHandle h) {
  uint32_t index, generation;
  if (!DecodeHandle(h, &index, &generation)) return nullptr;
  PortSlot& slot = g_slots[index];
  uint64_t state = slot.state.load(std::memory_order_acquire);
  for (;;) {
    if (Generation(state) != generation || (state & kOpen) == 0 || (state & kClosing) != 0) return nullptr;
    if (slot.state.compare_exchange_weak(state, state + kUser, std::memory_order_acq_rel, std::memory_order_acquire))
      return &slot;
  }
}

void ReleasePort(PortSlot* slot) {
  uint64_t before = slot->state.fetch_sub(kUser, std::memory_order_acq_rel);
  if (Users(before) == 1 && (before & kClosing) != 0) FinishClose(slot);
}

Win32Error ClosePort(OsHandle h) {
  // The closer holds a reference of its own while it shuts the socket down, so the
  // descriptor cannot be closed (and reused) under it by a user letting go.
  PortSlot* slot = AcquirePort(h);
  if (slot == nullptr) return kErrorInvalidHandle;
  uint64_t before = slot->state.fetch_or(kClosing, std::memory_order_acq_rel);
  if ((before & kClosing) == 0) shutdown(slot->fd, SHUT_RDWR);
  ReleasePort(slot);
  return (before & kClosing) == 0 ? kErrorSuccess : kErrorInvalidHandle;
}

}  // namespace acdc::platform::posix
