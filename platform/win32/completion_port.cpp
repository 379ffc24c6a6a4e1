// The completion port and the handles' receives, as the system provides them:
// overlapped FilterGetMessage into each handle's buffer, GetQueuedCompletionStatus to
// wait.
//
// A receive armed on a buffer completes into that buffer even when another thread's
// wait takes the completion, so a receiver lives in memory the library owns (not in
// the Lua userdata): a handle collected with a receive armed only cancels it, and the
// thread that takes the cancelled completion frees the receiver. The waiter that takes
// another handle's message copies it into its own buffer and arms that handle's
// receive again, so every waiting handle keeps one receive armed and none more.
// An immediate success is used at once only where the port skips its completion
// (FILE_SKIP_COMPLETION_PORT_ON_SUCCESS); elsewhere it is left to the completion, so
// no message is handled twice.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <fltuser.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/completion_port.h"

namespace acdc::platform {

struct Receiver {
  OVERLAPPED ov;                                 // the armed receive's record; CONTAINING_RECORD finds us
  alignas(8) uint8_t buffer[kReceiveBufferSize];
  HANDLE exit = nullptr;                         // the host's exit channel, or null
  HANDLE port = nullptr;                         // where the armed receive was posted
  bool armed = false;                            // under g_receivers
  bool released = false;                         // under g_receivers: the handle has gone
};

namespace {

// Guards the receivers' armed/released state. Held only to post or cancel a receive,
// never across a wait.
std::mutex g_receivers;
std::atomic<bool> g_skip_on_success{false};

// Posts a receive on `r` unless one is armed. Called with g_receivers held. Returns
// S_OK when a message is there at once and the port will not report it again; with
// `post` that message is queued on `completion_port` instead, for the waiter that
// armed it (or any other) to take.
HResult ArmLocked(Receiver* r, HANDLE event_port, HANDLE completion_port, bool post, uint32_t* bytes) {
  if (r->armed || r->released) return kHrIoPending;
  std::memset(&r->ov, 0, sizeof r->ov);
  r->port = event_port;
  HRESULT hr = FilterGetMessage(event_port, reinterpret_cast<PFILTER_MESSAGE_HEADER>(r->buffer),
                                kReceiveBufferSize, &r->ov);
  if (hr == S_OK && g_skip_on_success.load(std::memory_order_relaxed)) {
    if (!post) {
      *bytes = static_cast<uint32_t>(r->ov.InternalHigh);
      return kHrOk;
    }
    r->armed = true;
    if (!PostQueuedCompletionStatus(completion_port, static_cast<DWORD>(r->ov.InternalHigh), kEventPortKey, &r->ov))
      r->armed = false;
    return kHrIoPending;
  }
  if (hr == S_OK || hr == kHrIoPending) {
    r->armed = true;
    return kHrIoPending;
  }
  return hr;
}

// The receive of `from` has completed. Returns true when `from` is to be freed.
bool SettleLocked(Receiver* from) {
  from->armed = false;
  return from->released;
}

}  // namespace

Win32Error CreateCompletionPort(OsHandle event_port, OsHandle* out) {
  *out = nullptr;
  HANDLE cp = CreateIoCompletionPort(event_port, nullptr, kEventPortKey, kCompletionConcurrency);
  if (cp == nullptr) return GetLastError();
  if (SetFileCompletionNotificationModes(event_port, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS))
    g_skip_on_success.store(true, std::memory_order_relaxed);
  *out = cp;
  return kErrorSuccess;
}

void CloseCompletionPort(OsHandle port) { CloseHandle(port); }

Win32Error NewReceiver(OsHandle exit, Receiver** out) {
  Receiver* r = new (std::nothrow) Receiver;
  if (r == nullptr) return kErrorNotEnoughMemory;
  std::memset(&r->ov, 0, sizeof r->ov);
  r->exit = exit;
  *out = r;
  return kErrorSuccess;
}

void ReleaseReceiver(Receiver* r) {
  if (r == nullptr) return;
  bool free_now;
  {
    std::lock_guard<std::mutex> lock(g_receivers);
    r->released = true;
    free_now = !r->armed;
    // The cancelled receive still completes; whoever takes it frees the receiver.
    if (!free_now) CancelIoEx(r->port, &r->ov);
  }
  if (free_now) delete r;
}

uint8_t* ReceiverBuffer(Receiver* r) { return r->buffer; }

HResult WaitForMessage(OsHandle completion_port, OsHandle event_port, Receiver* r, int32_t timeout_ms,
                       uint32_t* bytes) {
  *bytes = 0;
  // Every binding after the first fails because the channel is bound already.
  if (r->exit != nullptr) CreateIoCompletionPort(r->exit, completion_port, kExitChannelKey, 0);
  HResult armed;
  {
    std::lock_guard<std::mutex> lock(g_receivers);
    armed = ArmLocked(r, event_port, completion_port, false, bytes);
  }
  if (armed != kHrIoPending) return armed;

  ULONGLONG deadline = timeout_ms < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  for (;;) {
    DWORD wait = INFINITE;
    if (timeout_ms >= 0) {
      ULONGLONG now = GetTickCount64();
      wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    }
    DWORD n = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED ov = nullptr;
    BOOL ok = GetQueuedCompletionStatus(completion_port, &n, &key, &ov, wait);
    if (ov == nullptr) {
      DWORD err = GetLastError();
      // Closing the port under a waiter abandons the wait: the port is gone.
      if (err == ERROR_ABANDONED_WAIT_0) return kHrBrokenPort;
      return static_cast<HResult>(0x80070000u | (err & 0xFFFFu));
    }
    if (key == kExitChannelKey) return kHrStop;
    if (key != kEventPortKey) return armed;
    Receiver* from = CONTAINING_RECORD(ov, Receiver, ov);
    DWORD err = ok ? ERROR_SUCCESS : GetLastError();
    if (ok && from != r) std::memcpy(r->buffer, from->buffer, n < kReceiveBufferSize ? n : kReceiveBufferSize);
    bool free_from;
    {
      std::lock_guard<std::mutex> lock(g_receivers);
      free_from = SettleLocked(from);
      // The other handle's waiter is still waiting: give it a receive again.
      uint32_t unused;
      if (!free_from && from != r) ArmLocked(from, event_port, completion_port, true, &unused);
    }
    if (free_from) {
      // A collected handle's receive: a cancelled one carries nothing; a message that
      // completed before the cancel has been copied and is delivered here.
      delete from;
      if (!ok) continue;
    }
    if (!ok) {
      if (err == ERROR_OPERATION_ABORTED && from != r) continue;
      return HResultFromWin32(err);
    }
    *bytes = n;
    return kHrOk;
  }
}

}  // namespace acdc::platform
