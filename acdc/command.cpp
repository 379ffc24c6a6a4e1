// Commands to the driver over the control connection: the handle methods command and
// program, and the worker registration of open_worker. A reply is JSON text, or a
// typed reply behind a 16-byte header ("!", a type name NUL-terminated within 7
// bytes, two signed 32-bit values A and B, then the payload).
#include <cstring>

#include "acdc/channel.h"
#include "acdc/functions.h"
#include "acdc/handle.h"
#include "acdc/json.h"
#include "acdc/lua_number.h"
#include "compiler/program.h"
#include "event/driver_message.h"

namespace acdc::lua {

namespace {

constexpr uint32_t kDefaultReplySize = 4096;
constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kExcerptWidth = 80;

bool HasHeader(const uint8_t* reply, uint32_t n) { return n >= kHeaderSize && reply[0] == '!' && reply[7] == 0; }

int32_t HeaderA(const uint8_t* reply) { return event::LoadI32(reply + 8); }
int32_t HeaderB(const uint8_t* reply) { return event::LoadI32(reply + 12); }

// The "jerror" message: the payload, the command text around the error, and a marker
// line of 80 columns under it ('^' where the error starts, '~' over its extent).
void PushLocatedError(lua_State* L, const uint8_t* reply, uint32_t n, const char* text, size_t text_len) {
  int64_t len = static_cast<int64_t>(text_len);
  int64_t s = HeaderA(reply), e = HeaderB(reply);
  if (s > len) s = len;
  if (e > len) e = len;
  if (e < s) e = s;
  int64_t e2 = e < s + kExcerptWidth ? e : s + kExcerptWidth;
  int64_t pad = len >= kExcerptWidth ? (kExcerptWidth - (e2 - s)) / 2 : 0;
  int64_t w = s >= pad ? s - pad : 0;
  int64_t we = w + kExcerptWidth < len ? w + kExcerptWidth : len;
  char marker[kExcerptWidth];
  std::memset(marker, ' ', sizeof marker);
  // A negative start (A below 0) puts the marker left of the excerpt: only what falls
  // inside the 80 columns is drawn.
  for (int64_t c = s - w; c < e2 - w; ++c)
    if (c >= 0 && c < kExcerptWidth) marker[c] = '~';
  if (s - w >= 0 && s - w < kExcerptWidth) marker[s - w] = '^';

  luaL_Buffer b;
  luaL_buffinit(L, &b);
  luaL_addlstring(&b, reinterpret_cast<const char*>(reply) + kHeaderSize, n - kHeaderSize);
  luaL_addchar(&b, '\n');
  if (we > w) luaL_addlstring(&b, text + w, static_cast<size_t>(we - w));
  luaL_addchar(&b, '\n');
  luaL_addlstring(&b, marker, sizeof marker);
  luaL_pushresult(&b);
}

// The results of a reply of `n` bytes in `reply` (size bytes, zero beyond n) to the
// command `text`, with the caller's type (or null).
int PushReply(lua_State* L, const uint8_t* reply, uint32_t n, uint32_t size, const char* type, const char* text,
              size_t text_len) {
  const char* t = type;
  if (HasHeader(reply, n)) {
    const char* header_type = reinterpret_cast<const char*>(reply + 1);
    if (t == nullptr) t = header_type;
    else if ((header_type[0] == 'e' || header_type[0] == 'j') && std::strcmp(t, "raw") != 0) t = header_type;
  }
  const char* bytes = reinterpret_cast<const char*>(reply);
  if (t == nullptr) {
    if (n == size) return luaL_error(L, "Truncated by one");
    // The buffer was zeroed, so the text ends in a NUL at n.
    int results = json::PushJsonResult(L, bytes, n + 1);
    if (results == 1) return 1;
    lua_pushlstring(L, bytes, n);
    return results + 1;
  }
  if (n < kHeaderSize) {
    lua_pushlstring(L, bytes, n);
  } else if (std::strcmp(t, "array") == 0) {
    uint32_t count = n / 8 - 2;
    lua_createtable(L, static_cast<int>(count), 0);
    for (uint32_t i = 0; i < count; ++i) {
      lua_pushnumber(L, static_cast<lua_Number>(event::LoadU64(reply + kHeaderSize + 8 * i)));
      lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
  } else if (std::strcmp(t, "string") == 0 || std::strcmp(t, "raw") == 0) {
    lua_pushlstring(L, bytes, n);
  } else if (std::strcmp(t, "error") == 0) {
    lua_pushnil(L);
    lua_pushlstring(L, bytes + kHeaderSize, n - kHeaderSize);
    return 2;
  } else if (std::strcmp(t, "jerror") == 0) {
    lua_pushnil(L);
    PushLocatedError(L, reply, n, text, text_len);
    return 2;
  } else {
    lua_pushlstring(L, bytes, n);
    return 1;
  }
  if (reply[0] != '!') return 1;
  lua_pushinteger(L, HeaderA(reply));
  lua_pushinteger(L, HeaderB(reply));
  return 3;
}

}  // namespace

int SendCommand(lua_State* L, const void* request, size_t request_len, const char* text, size_t text_len,
                const char* type, uint32_t size) {
  if (size < kHeaderSize) return luaL_error(L, "Return buffer too small");
  if (request_len > UINT32_MAX) return luaL_error(L, "Command size too large");
  // The reply buffer is Lua's, so an error raised while its results are pushed frees it.
  auto* reply = static_cast<uint8_t*>(lua_newuserdata(L, size));
  std::memset(reply, 0, size);
  uint32_t n = 0;
  channel::Before();
  platform::HResult status =
      platform::FltSendMessage(channel::g_state.control_port.load(std::memory_order_acquire), request,
                               static_cast<uint32_t>(request_len), reply, size, &n);
  channel::After();
  if (status < 0) return PushStatus(L, status, "command()");
  if (n > size) return luaL_error(L, "Invalid command() return length %d", static_cast<int>(n));
  return PushReply(L, reply, n, size, type, text, text_len);
}

int l_handle_command(lua_State* L) {
  CheckHandle(L);
  size_t len;
  const char* text = luaL_checklstring(L, 2, &len);
  const char* type = luaL_optstring(L, 3, nullptr);
  uint32_t size = NumberToU32(luaL_optnumber(L, 4, 0));
  if (size == 0) size = kDefaultReplySize;
  // A Lua string carries a NUL after its bytes: the request is the text and that NUL.
  return SendCommand(L, text, len + 1, text, len, type, size);
}

int l_handle_program(lua_State* L) {
  CheckHandle(L);
  // Copied out of the compiler's lock first: the send waits on the driver.
  uint8_t image[compiler::kImageSize];
  compiler::CopyImage(image);
  // Sent as a text of one byte less, whose terminating byte is the image's last.
  return SendCommand(L, image, sizeof image, reinterpret_cast<const char*>(image), sizeof image - 1, nullptr,
                     kDefaultReplySize);
}

int l_open_worker(lua_State* L) {
  if (OpenHandle(L) != 1) return 3;
  int handle = lua_gettop(L);
  static const char kBeworker[] = "\"beworker\"";
  int results = SendCommand(L, kBeworker, sizeof kBeworker, kBeworker, sizeof kBeworker - 1, nullptr, kDefaultReplySize);
  if (lua_toboolean(L, -results)) {
    lua_settop(L, handle);
    return 1;
  }
  static_cast<ChannelHandle*>(lua_touserdata(L, handle))->closed = 1;
  return PushStatus(L, -1, "Failed to become worker");
}

}  // namespace acdc::lua
