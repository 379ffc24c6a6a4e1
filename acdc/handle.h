// The channel handle: the Lua userdata of metatable "acdc.handle".
#pragma once

#include <cstdint>
#include <type_traits>

#include "acdc/functions.h"
#include "platform/completion_port.h"
#include "platform/filter_port.h"

namespace acdc::lua {

constexpr const char* kHandleMetatable = "acdc.handle";

// The receive buffer and its armed receive belong to the receiver, which the library
// owns: a receive may still complete into it after the userdata is collected.
struct ChannelHandle {
  platform::Receiver* receiver;  // null once collected (or when open failed)
  platform::OsHandle exit;       // the host's ShouldExitChannel, or null
  uint32_t closed;               // set by close and __gc; changes nothing else
  uint32_t stopped;              // an exit signal stopped it: every later get refuses
};
static_assert(std::is_trivially_destructible_v<ChannelHandle>, "a userdata has no destructor");

// The handle at argument 1 (raises the usual argument error otherwise).
ChannelHandle* CheckHandle(lua_State* L);

// open: pushes a new handle and returns 1, or pushes an error triple and returns 3.
int OpenHandle(lua_State* L);

}  // namespace acdc::lua
