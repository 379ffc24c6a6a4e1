// libFuzzer target for the driver event message decoder (acdc/decoder.cpp).
// Run it with `bash scripts/fuzz.sh [seconds]`; seeds are in fuzz/corpus/decoder.
//
// Each input is one message, zero-padded to its 3176 bytes when shorter. It is
// decoded in a Lua state of its own under lua_pcall, with tracing off and the
// operating-system services substituted, so nothing reads /proc or stats a host path.
// Byte 16 of the message, which the library never reads, picks how the fast path
// answers: as it decides, or forced to leave the event to Lua (0) or to answer and
// show it (1), so that every branch of the decoder is reached.
//
// These must hold:
// - an event number outside 1 to 49 is consumed, never shown to Lua;
// - the subtype error is raised exactly when the subtype's first and last bytes are
//   set and the event was not finished natively, and names that subtype;
// - a table carries the message's id, type, pid and low 32 bits of its message id; its
//   name's length is namesize; a subtype is at most 15 bytes;
// - after each message the record's text buffers are their text followed by zeros;
// - the Lua stack is balanced.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include "acdc/decoder.h"
#include "event/dispatcher.h"
#include "event/driver_message.h"
#include "event/event_table.h"
#include "event/records.h"
#include "platform/services.h"

namespace {

namespace msg = acdc::event::msg;
using acdc::event::LoadU32;

[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "decoder_fuzz: %s\n", what);
  std::abort();
}

uint32_t FakePid() { return 4242; }

acdc::platform::Win32Error FakeImage(uint32_t pid, char16_t* out, uint32_t* len, acdc::platform::ImageQueryStep* step) {
  *step = acdc::platform::ImageQueryStep::kOpenProcess;
  if (pid != 42) return acdc::platform::kErrorInvalidParameter;
  const char* image = "C:\\Program Files\\Tool\\App.EXE";
  uint32_t n = 0;
  for (; image[n] != '\0'; ++n) out[n] = static_cast<char16_t>(image[n]);
  *len = n;
  return acdc::platform::kErrorSuccess;
}

bool NotRunning(uint32_t) { return false; }

acdc::platform::Win32Error NoFile(const char*, acdc::platform::FileStatus*) {
  return acdc::platform::kErrorFileNotFound;
}

uint64_t FixedNow() { return 1700000000000ull; }

acdc::platform::Win32Error NoDescriptor(uint32_t, int32_t, char*, size_t) { return acdc::platform::kErrorInvalidHandle; }

// The mode of the current input (byte 16), read by the substitute dispatcher.
uint8_t g_mode = 0;
int g_result = -1;

int ModeDispatch(acdc::event::AcReply* reply, acdc::event::AcEvent* ev) {
  int result = acdc::event::DispatchEvent(reply, ev);
  switch (g_mode % 3) {
    case 1:
      *reply = acdc::event::AcReply{};
      result = acdc::event::kResultLua;
      break;
    case 2:
      reply->code = acdc::event::REPLY_ALLOW;
      reply->id = static_cast<uint32_t>(ev->evt->id);
      result = acdc::event::kResultReplied;
      break;
    default:
      break;
  }
  g_result = result;
  return result;
}

struct Input {
  const uint8_t* message;          // kDriverEventMessageSize bytes
  acdc::event::EventRecord* record;
};

// Runs under lua_pcall; nothing in it has a destructor.
int DecodeOne(lua_State* L) {
  const Input* in = static_cast<const Input*>(lua_touserdata(L, 1));
  const uint8_t* m = in->message;
  int base = lua_gettop(L);
  acdc::decoder::Inputs inputs = {1, 0, "", 0, 0, 0};
  char error[acdc::decoder::kErrorCapacity];
  g_result = -1;
  acdc::decoder::Outcome outcome = acdc::decoder::Decide(m, inputs, in->record, error);
  if (!acdc::event::EventRecordTextsAreClean(*in->record)) Finding("record text not clean");

  uint32_t type = LoadU32(m + msg::kType);
  bool in_range = type >= 1 && type <= acdc::event::kMaxEventType;
  bool subtype_bad = m[msg::kSubtype] != 0 && m[msg::kSubtype + msg::kSubtypeSize - 1] != 0;
  if (!in_range) {
    if (outcome != acdc::decoder::Outcome::kConsumed || g_result != -1) Finding("out-of-range event dispatched");
    return 0;
  }
  if (g_result == acdc::event::kResultEagain) {
    if (outcome != acdc::decoder::Outcome::kConsumed) Finding("finished event shown to Lua");
    return 0;
  }
  if (subtype_bad != (outcome == acdc::decoder::Outcome::kSubtypeError)) Finding("subtype check disagrees");
  if (outcome == acdc::decoder::Outcome::kSubtypeError) {
    if (std::strncmp(error, "Subtype is not null-terminated: '", 33) != 0 || std::strlen(error) > 131)
      Finding("subtype error text");
    return 0;
  }
  if (outcome != acdc::decoder::Outcome::kTable) Finding("event left to Lua but not shown");

  acdc::decoder::PushEventTable(L, m, *in->record);
  if (lua_gettop(L) != base + 1 || !lua_istable(L, -1)) Finding("no table");
  struct Expect {
    const char* key;
    uint32_t value;
  } expects[] = {{"id", LoadU32(m + msg::kId)},
                 {"type", type},
                 {"pid", LoadU32(m + msg::kPid)},
                 {"MessageId", LoadU32(m + msg::kMessageId)}};
  for (const Expect& e : expects) {
    lua_getfield(L, -1, e.key);
    if (lua_tonumber(L, -1) != static_cast<lua_Number>(e.value)) Finding(e.key);
    lua_pop(L, 1);
  }
  lua_getfield(L, -1, "name");
  lua_getfield(L, -2, "namesize");
  if (!lua_isnil(L, -2) && lua_rawlen(L, -2) != static_cast<size_t>(lua_tonumber(L, -1))) Finding("namesize");
  lua_pop(L, 2);
  lua_getfield(L, -1, "subtype");
  if (!lua_isnil(L, -1) && lua_rawlen(L, -1) > 15) Finding("subtype longer than 15");
  lua_pop(L, 2);
  if (lua_gettop(L) != base) Finding("stack not balanced");
  return 0;
}

struct State {
  lua_State* L;
  acdc::event::EventRecord* record;
};

State& Setup() {
  static State s = [] {
    acdc::platform::g_services.current_process_id = FakePid;
    acdc::platform::g_services.query_process_image = FakeImage;
    acdc::platform::g_services.is_process_running = NotRunning;
    acdc::platform::g_services.file_status = NoFile;
    acdc::platform::g_services.now_ms = FixedNow;
    acdc::platform::g_services.descriptor_name = NoDescriptor;
    acdc::decoder::g_dispatch = ModeDispatch;
    State st;
    st.L = luaL_newstate();
    st.record = static_cast<acdc::event::EventRecord*>(std::malloc(sizeof(acdc::event::EventRecord)));
    acdc::event::ClearEventRecord(st.record);
    return st;
  }();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  State& s = Setup();
  uint8_t message[acdc::event::kDriverEventMessageSize] = {};
  std::memcpy(message, data, size < sizeof message ? size : sizeof message);
  g_mode = message[16];
  Input in{message, s.record};
  lua_pushcfunction(s.L, DecodeOne);
  lua_pushlightuserdata(s.L, &in);
  if (lua_pcall(s.L, 1, 0, 0) != LUA_OK) {
    std::fprintf(stderr, "decoder_fuzz: Lua error: %s\n", lua_tostring(s.L, -1));
    std::abort();
  }
  lua_settop(s.L, 0);
  return 0;
}
