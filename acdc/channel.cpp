#include "acdc/channel.h"

#include <cstring>

#include "event/driver_message.h"
#include "event/event_table.h"
#include "platform/services.h"

namespace acdc::channel {

namespace {

using platform::HResultFromWin32;

std::atomic<uint64_t> g_short_packets{0};

constexpr size_t kHeaderSize = 16;  // reply length, padding, message id

static_assert(platform::kReceiveBufferSize == event::kDriverEventMessageSize, "the buffer holds one message");

void CloseAll(OsHandle completion_port, OsHandle control_port, OsHandle event_port) {
  if (completion_port != nullptr) platform::CloseCompletionPort(completion_port);
  if (control_port != nullptr) platform::FltClosePort(control_port);
  if (event_port != nullptr) platform::FltClosePort(event_port);
}

}  // namespace

State g_state;

Outcome Load() {
  HResult hr = platform::FltLoad(kFilterName);
  if (hr < 0) return {hr, "FilterLoad(\"acdc\")"};
  uint32_t context[2] = {kEventKind, platform::CurrentProcessId()};
  OsHandle event_port = nullptr, control_port = nullptr, completion_port = nullptr;
  hr = platform::FltConnectPort(kPortName, context, sizeof context, &event_port);
  if (hr < 0) return {hr, "Event Port Connection Failed"};
  context[0] = kControlKind;
  hr = platform::FltConnectPort(kPortName, context, sizeof context, &control_port);
  if (hr < 0) {
    platform::FltClosePort(event_port);
    return {hr, "Control Port Connection Failed"};
  }
  platform::Win32Error err = platform::CreateCompletionPort(event_port, &completion_port);
  if (err != platform::kErrorSuccess) {
    platform::FltClosePort(control_port);
    platform::FltClosePort(event_port);
    // This step reports the plain Win32 code, not an HRESULT.
    return {static_cast<HResult>(err), "IOCompletion Port Creation Failed"};
  }
  // A second load without an unload would otherwise leave the first connections
  // open for the life of the process.
  CloseAll(g_state.completion_port.exchange(completion_port), g_state.control_port.exchange(control_port),
           g_state.event_port.exchange(event_port));
  return {0, nullptr};
}

Outcome Unload() {
  CloseAll(g_state.completion_port.exchange(nullptr), g_state.control_port.exchange(nullptr),
           g_state.event_port.exchange(nullptr));
  HResult hr = platform::FltUnload(kFilterName);
  if (hr != 0) return {hr, "FilterUnload(L\"acdc\")"};
  return {0, nullptr};
}

HResult SendReply(uint64_t message_id, uint32_t code, uint32_t id, uint32_t eta, uint32_t error) {
  uint8_t reply[event::kDriverReplyMessageSize] = {};
  std::memcpy(reply + event::reply::kMessageId, &message_id, sizeof message_id);
  std::memcpy(reply + event::reply::kBody, &code, sizeof code);
  std::memcpy(reply + event::reply::kBody + 4, &id, sizeof id);
  std::memcpy(reply + event::reply::kEta, &eta, sizeof eta);
  std::memcpy(reply + event::reply::kError, &error, sizeof error);
  return platform::FltReplyMessage(g_state.event_port.load(std::memory_order_acquire), reply, sizeof reply);
}

HResult WaitPacket(platform::Receiver* r, int32_t timeout_ms) {
  uint32_t bytes = 0;
  HResult hr = platform::WaitForMessage(g_state.completion_port.load(std::memory_order_acquire),
                                        g_state.event_port.load(std::memory_order_acquire), r, timeout_ms, &bytes);
  if (hr != 0) return hr;
  const uint8_t* message = platform::ReceiverBuffer(r);
  if (bytes < kHeaderSize) {
    g_short_packets.fetch_add(1, std::memory_order_relaxed);
    return kRetry;
  }
  if (bytes != event::kDriverEventMessageSize) {
    // The buffer beyond a short packet still holds an earlier message: its id counts
    // only if the packet itself reached that far.
    uint32_t id = bytes >= event::msg::kId + 4 ? event::LoadU32(message + event::msg::kId) : 0;
    SendReply(event::LoadU64(message + event::msg::kMessageId), event::REPLY_ERROR, id, 0, 0);
    return kRetry;
  }
  return 0;
}

uint64_t DroppedShortPackets() { return g_short_packets.load(std::memory_order_relaxed); }

}  // namespace acdc::channel
