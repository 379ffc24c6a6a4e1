// The connections of the Filter Manager emulation, behind handles that cannot go
// stale: internal to the posix backend.
//
// A port handle names a slot of a fixed table and the slot's generation, so a handle
// kept after its connection closed is refused (ERROR_INVALID_HANDLE) instead of
// reaching a descriptor number the system has handed to someone else. Every use of a
// connection holds a reference; closing marks the slot, shuts the socket down (which
// wakes a thread polling it) and leaves the close() to whoever drops the last
// reference. No lock is taken to use a connection: references are counted in the
// slot's state word.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/filter_port.h"

namespace acdc::platform::posix {

// Connections open at once, across all loads of the process.
constexpr uint32_t kMaxPorts = 64;

struct PortSlot {
  std::atomic<uint64_t> state{0};  // generation << 32 | users << 2 | closing << 1 | open
  int fd = -1;                     // the socket; valid while open or referenced
  std::mutex exchange;             // held around one command exchange, never across a Lua call
};

// Registers the connected socket `fd` as a port. On failure (table full) the
// descriptor is left to the caller.
Win32Error RegisterPort(int fd, OsHandle* out);

// A reference to the port `h`, or null when `h` is not an open port (never was,
// closed, or closing).
PortSlot* AcquirePort(OsHandle h);

// Drops a reference; the last one after a close closes the socket.
void ReleasePort(PortSlot* slot);

// Marks the port closed and shuts its socket down: new uses are refused, a thread
// polling it sees a hang-up, and the socket is closed once the last user lets go.
Win32Error ClosePort(OsHandle h);

// Holds a reference for a scope. Platform code only, where nothing can longjmp.
class PortUse {
 public:
  explicit PortUse(OsHandle h) : slot_(AcquirePort(h)) {}
  ~PortUse() {
    if (slot_ != nullptr) ReleasePort(slot_);
  }
  PortUse(const PortUse&) = delete;
  PortUse& operator=(const PortUse&) = delete;
  PortSlot* get() const { return slot_; }

 private:
  PortSlot* slot_;
};

}  // namespace acdc::platform::posix
