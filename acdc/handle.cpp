// The channel functions of module acdc (load, unload, open, open_worker, profiler,
// istimeout) and the methods of the channel handle (get, gettest, isdone, reply,
// close, __gc, __tostring). Commands and program are in command.cpp.
//
// Each function checks its arguments, calls into acdc/channel.h and acdc/decoder.h
// (which hold nothing across a return), and only then pushes or raises.
#include <cstring>

#include "acdc/channel.h"
#include "acdc/decoder.h"
#include "acdc/functions.h"
#include "acdc/handle.h"
#include "acdc/lua_number.h"
#include "event/driver_message.h"
#include "event/event_table.h"
#include "event/records.h"

namespace acdc::lua {

namespace {

using platform::HResult;

constexpr HResult kRefused = -1;  // the library's own refusals

// Status classes by the low 16 bits.
enum class StatusClass { kSuccess, kTimeout, kStop, kRetry, kError };

StatusClass Classify(HResult status) {
  switch (static_cast<uint32_t>(status) & 0xFFFFu) {
    case 0: return StatusClass::kSuccess;
    case platform::kWaitTimeout: return StatusClass::kTimeout;
    case platform::kErrorSystemShutdown: return StatusClass::kStop;
    case platform::kErrorRetry: return StatusClass::kRetry;
    default: return StatusClass::kError;
  }
}

// Timeouts: a number is milliseconds (truncated to 32 bits), anything else waits
// without limit.
int32_t OptTimeout(lua_State* L, int arg) {
  return lua_type(L, arg) == LUA_TNUMBER ? NumberToI32(lua_tonumber(L, arg)) : -1;
}

int RaiseNoTable(lua_State* L) { return luaL_error(L, "get() failed to push table (%s)", luaL_typename(L, -1)); }

// One wait of `h` for a well-formed message, with the hooks around it.
HResult WaitOnce(ChannelHandle* h, int32_t timeout) {
  channel::Before();
  HResult status = channel::WaitPacket(h->receiver, timeout);
  channel::After();
  return status;
}

// The stop status stops the handle for good.
int PushWaitFailure(lua_State* L, ChannelHandle* h, HResult status) {
  if (Classify(status) == StatusClass::kStop) h->stopped = 1;
  return PushStatus(L, status, "poll()");
}

}  // namespace

ChannelHandle* CheckHandle(lua_State* L) {
  return static_cast<ChannelHandle*>(luaL_checkudata(L, 1, kHandleMetatable));
}

// Pushes a new handle, or an error triple. Leaves the handle on top on success.
int OpenHandle(lua_State* L) {
  platform::OsHandle exit = nullptr;
  if (!lua_isnoneornil(L, 1)) {
    if (lua_type(L, 1) != LUA_TLIGHTUSERDATA)
      return luaL_argerror(L, 1, lua_pushfstring(L, "light userdata expected, got %s", luaL_typename(L, 1)));
    exit = lua_touserdata(L, 1);
    if (exit == nullptr) return PushStatus(L, kRefused, "ShouldExitChannel not setup");
  }
  // Made closed-for-good first, so that a failure below leaves nothing to release.
  auto* h = static_cast<ChannelHandle*>(lua_newuserdata(L, sizeof(ChannelHandle)));
  std::memset(h, 0, sizeof *h);
  luaL_setmetatable(L, kHandleMetatable);
  h->exit = exit;
  platform::Win32Error err = platform::NewReceiver(exit, &h->receiver);
  if (err != platform::kErrorSuccess)
    return PushStatus(L, platform::HResultFromWin32(err),
                      err == platform::kErrorInvalidHandle ? "ShouldExitChannel not setup" : "open()");
  return 1;
}

int l_open(lua_State* L) { return OpenHandle(L); }

int l_load(lua_State* L) {
  channel::Outcome o = channel::Load();
  return PushStatus(L, o.status, o.context);
}

int l_unload(lua_State* L) {
  channel::Outcome o = channel::Unload();
  return PushStatus(L, o.status, o.context);
}

int l_profiler(lua_State* L) {
  // A hook arrives as a light userdata holding a function's address; anything else
  // would be called as code.
  for (int arg = 1; arg <= 2; ++arg)
    luaL_argcheck(L, lua_isnoneornil(L, arg) || lua_type(L, arg) == LUA_TLIGHTUSERDATA, arg,
                  "light userdata expected");
  auto hook = [L](int arg) { return reinterpret_cast<channel::Hook>(lua_touserdata(L, arg)); };
  channel::g_state.before.store(hook(1), std::memory_order_release);
  channel::g_state.after.store(hook(2), std::memory_order_release);
  return 0;
}

int l_istimeout(lua_State* L) {
  lua_Integer code = luaL_checkinteger(L, 1);
  lua_pushboolean(L, Classify(static_cast<HResult>(code)) == StatusClass::kTimeout);
  return 1;
}

int l_handle_gc(lua_State* L) {
  ChannelHandle* h = CheckHandle(L);
  platform::Receiver* r = h->receiver;
  h->receiver = nullptr;
  h->closed = 1;
  platform::ReleaseReceiver(r);
  return 0;
}

int l_handle_close(lua_State* L) {
  ChannelHandle* h = CheckHandle(L);
  if (h->closed) {
    lua_pushnil(L);
    lua_pushinteger(L, 0);
    lua_pushliteral(L, "Double close");
    return 3;
  }
  h->closed = 1;
  lua_pushboolean(L, 1);
  return 1;
}

int l_handle_tostring(lua_State* L) {
  lua_pushfstring(L, "%s: %p", kHandleMetatable, static_cast<void*>(CheckHandle(L)));
  return 1;
}

int l_handle_isdone(lua_State* L) {
  lua_pushboolean(L, CheckHandle(L)->stopped != 0);
  return 1;
}

int l_handle_get(lua_State* L) {
  ChannelHandle* h = CheckHandle(L);
  int32_t timeout = OptTimeout(L, 2);
  decoder::Inputs in;
  in.ac_on = NumberToU32(luaL_checknumber(L, 3));
  in.lockdown = NumberToU32(luaL_checknumber(L, 4));
  in.trace = NumberToI32(luaL_checknumber(L, 5));
  in.basedir = luaL_checkstring(L, 6);
  in.maintenanceMode = NumberToU32(luaL_checknumber(L, 7));
  in.authorizeStartTime = NumberToU64(luaL_checknumber(L, 8));
  if (h->stopped) return PushStatus(L, kRefused, "Already stopped");
  if (h->receiver == nullptr) return PushStatus(L, platform::HResultFromWin32(platform::kErrorInvalidHandle), "poll()");
  auto* record = static_cast<event::EventRecord*>(lua_touserdata(L, lua_upvalueindex(1)));
  for (;;) {
    channel::Before();
    HResult status = channel::WaitPacket(h->receiver, timeout);
    decoder::Outcome outcome = decoder::Outcome::kConsumed;
    char error[decoder::kErrorCapacity];
    const uint8_t* message = platform::ReceiverBuffer(h->receiver);
    if (status == 0) outcome = decoder::Decide(message, in, record, error);
    channel::After();
    if (status != 0) {
      if (Classify(status) == StatusClass::kRetry) continue;
      return PushWaitFailure(L, h, status);
    }
    if (outcome == decoder::Outcome::kConsumed) continue;
    if (outcome == decoder::Outcome::kSubtypeError) {
      lua_pushstring(L, error);
      return lua_error(L);
    }
    decoder::PushEventTable(L, message, *record);
    return 1;
  }
}

int l_handle_gettest(lua_State* L) {
  ChannelHandle* h = CheckHandle(L);
  int32_t timeout = OptTimeout(L, 2);
  if (h->stopped) return PushStatus(L, kRefused, "Already stopped");
  if (h->receiver == nullptr) return PushStatus(L, platform::HResultFromWin32(platform::kErrorInvalidHandle), "poll()");
  for (;;) {
    HResult status = WaitOnce(h, timeout);
    if (Classify(status) == StatusClass::kRetry) continue;
    if (status != 0) return PushWaitFailure(L, h, status);
    if (!lua_istable(L, -1)) return RaiseNoTable(L);
    return 1;
  }
}

int l_handle_reply(lua_State* L) {
  CheckHandle(L);
  luaL_argcheck(L, lua_type(L, 2) == LUA_TTABLE, 2, "Expected event");
  lua_getfield(L, 2, "id");
  luaL_argcheck(L, lua_type(L, -1) == LUA_TNUMBER, 2, "Expected event (no id)");
  uint32_t id = NumberToU32(lua_tonumber(L, -1));
  int32_t action = NumberToI32(luaL_checknumber(L, 3));
  uint32_t eta = 0, error = 0;
  if (action & 0x80) {
    if (!lua_istable(L, 4)) return luaL_error(L, "expected reply options, for 'eta'");
    lua_getfield(L, 4, "eta");
    eta = lua_type(L, -1) == LUA_TNUMBER ? NumberToU32(lua_tonumber(L, -1)) : 0;
  }
  if (action == event::REPLY_ERROR) {
    if (!lua_istable(L, 4)) return luaL_error(L, "expected reply options, for 'error'");
    lua_getfield(L, 4, "error");
    error = lua_type(L, -1) == LUA_TNUMBER ? NumberToU32(lua_tonumber(L, -1)) : 0;
  }
  // Checked before the before hook runs, so that a misuse raised here never leaves the
  // profiler with a wait that has no end.
  lua_getfield(L, 2, "MessageId");
  luaL_argcheck(L, lua_type(L, -1) == LUA_TNUMBER, 2, "Expected event (no MessageId)");
  // The table carries the low 32 bits of the message id; the high half goes out as 0.
  uint64_t message_id = NumberToU32(lua_tonumber(L, -1));
  channel::Before();
  HResult status = channel::SendReply(message_id, static_cast<uint32_t>(action), id, eta, error);
  channel::After();
  return PushStatus(L, status < 0 ? status : 0, "reply()");
}

}  // namespace acdc::lua
