// The I/O completion port of the event connection, and the receive that a channel
// handle arms on it, in the terms of overlapped FilterGetMessage and
// GetQueuedCompletionStatus.
//
// Any number of handles, on any threads, may wait at once. Each handle owns one
// Receiver: its receive buffer with what the system needs to complete a receive into
// it, and its exit channel. A wait binds the exit channel to the port, keeps one
// receive armed on the buffer and waits for one completion: a message (copied into
// the waiter's buffer whichever buffer it arrived in), an exit signal (which stops
// the waiter that takes it, whichever handle's channel fired), the port breaking, or
// the time-out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"
#include "platform/filter_port.h"

namespace acdc::platform {

// Completion keys: a receive on the event connection, a signal on an exit channel.
constexpr uintptr_t kEventPortKey = 0x1111;
constexpr uintptr_t kExitChannelKey = 0x2222;

// Threads the port lets run at once.
constexpr uint32_t kCompletionConcurrency = 8;

// The receive buffer: one driver event message.
constexpr size_t kReceiveBufferSize = 3176;

// CreateIoCompletionPort for `event_port` with key kEventPortKey. Fails with a
// Win32 code (not an HRESULT).
Win32Error CreateCompletionPort(OsHandle event_port, OsHandle* port);

// Closes the port. Every wait on it ends with the broken-port status (0x8007006D).
void CloseCompletionPort(OsHandle port);

struct Receiver;

// A receiver for one channel handle, with `exit` (the host's ShouldExitChannel, or
// null) as its exit channel. On POSIX the exit channel is an eventfd or the read end
// of a pipe; the receiver keeps a duplicate of it. Fails with
// kErrorNotEnoughMemory, or kErrorInvalidHandle for an exit that is neither.
Win32Error NewReceiver(OsHandle exit, Receiver** out);

// Lets the receiver go. A receive still armed on it is cancelled; its memory stays
// the library's until the system has given that receive up, so nothing is ever
// written into freed memory. Never blocks.
void ReleaseReceiver(Receiver* r);

// The receive buffer, kReceiveBufferSize bytes.
uint8_t* ReceiverBuffer(Receiver* r);

// One wait of the handle owning `r`, at most `timeout_ms` milliseconds (negative:
// no limit). Returns 0 with a message in the buffer and *bytes its full length (a
// longer message fills the buffer and reports its real length), kHrStop for an exit
// signal, kHrTimeout, kHrBrokenPort when the port or the event connection has
// broken or was closed, or another failure.
HResult WaitForMessage(OsHandle completion_port, OsHandle event_port, Receiver* r, int32_t timeout_ms,
                       uint32_t* bytes);

}  // namespace acdc::platform
