// The process-wide channel to the filter driver: its two connections, the completion
// port and the profiler hooks, with the steps of load and unload, the waits of the
// channel handles and the replies. No Lua here: the glue (acdc/handle.cpp,
// acdc/command.cpp) checks arguments and builds results around these calls.
//
// The state is shared by every Lua state of the process and, as the host's contract
// has it, set by load, unload and profiler before and after the channel is in use.
// Its fields are atomics so that a get running during an unload reads a whole handle,
// which the platform then refuses or reports as broken, never a torn value.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/completion_port.h"
#include "platform/filter_port.h"

namespace acdc::channel {

using platform::HResult;
using platform::OsHandle;

constexpr char kFilterName[] = "acdc";
constexpr char kPortName[] = "\\vorpex";

// Connection context kinds.
constexpr uint32_t kControlKind = 1;
constexpr uint32_t kEventKind = 2;

using Hook = void (*)();

struct State {
  std::atomic<OsHandle> event_port{nullptr};
  std::atomic<OsHandle> control_port{nullptr};
  std::atomic<OsHandle> completion_port{nullptr};
  std::atomic<Hook> before{nullptr};  // null: no-op
  std::atomic<Hook> after{nullptr};
};

extern State g_state;

inline void Before() {
  if (Hook h = g_state.before.load(std::memory_order_acquire)) h();
}
inline void After() {
  if (Hook h = g_state.after.load(std::memory_order_acquire)) h();
}

// A failed step: its status and the context text of the error triple.
struct Outcome {
  HResult status;       // 0: success
  const char* context;  // null on success
};

// Loads the driver, connects the event and control ports and creates the completion
// port. A successful load replaces (and closes) what an earlier load left open.
Outcome Load();

// Closes the completion port and both connections (failures ignored) and unloads the
// driver; any non-zero result of the unload is a failure.
Outcome Unload();

// Sends the 32-byte reply to the message `message_id`.
HResult SendReply(uint64_t message_id, uint32_t code, uint32_t id, uint32_t eta, uint32_t error);

// What one wait of a handle gives, after the packet rules: kOk with a well-formed
// message in the buffer, kRetry when a packet was dropped (shorter than its header)
// or answered REPLY_ERROR (any size but a message's), or the wait's own status.
constexpr HResult kRetry = platform::HResultFromWin32(platform::kErrorRetry);
HResult WaitPacket(platform::Receiver* r, int32_t timeout_ms);

// Packets shorter than a message header, dropped without an answer since they carry
// no message id to answer.
uint64_t DroppedShortPackets();

}  // namespace acdc::channel
