// libFuzzer target for the JSON decoder (acdc/json.cpp).
// Run it with `bash scripts/fuzz.sh [seconds]` (default 60); seeds are in
// fuzz/corpus/json, the token dictionary in fuzz/json.dict.
//
// Each input must give a value or a positioned error, and these must hold:
// - an error carries one of the decoder's messages and positions inside the text
//   (1 <= token start <= current <= the text's end NUL); the stack is as before;
// - the same bytes handed over without the added NUL decode the same way when they
//   hold a NUL of their own, and are refused as not null-terminated otherwise;
// - the leading run of number bytes, decoded alone, is the number Lua's own
//   conversion gives for it (0 where it gives none), to the bit.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include "acdc/json.h"

namespace {

using acdc::json::DecodeJson;
using acdc::json::JsonError;

const char* const kMessages[] = {
    "Expected value",        "Truncated string",     "Negative without number",
    "Leading zero",          "Expected a value",     "Expected value or ']'",
    "Expected array value",  "Expected ',' or ']'",  "Expected key or '}'",
    "Expected key",          "Expected ':'",         "Expected object value",
    "Expected ',' or '}'",   "Max structure depth reached", "Unicode unsupported",
    "Unsupported escape",    "Message is not null-terminated",
};

[[noreturn]] void Finding(const char* what) {
  std::fprintf(stderr, "json_fuzz: %s\n", what);
  std::abort();
}

bool KnownMessage(const char* message) {
  for (const char* known : kMessages)
    if (std::strcmp(known, message) == 0) return true;
  return false;
}

bool IsNumberByte(char c) {
  return (c >= '0' && c <= '9') || c == 'e' || c == 'E' || c == '-' || c == '+' || c == '.';
}

struct Input {
  const char* text;  // the fuzzer's bytes followed by one NUL
  size_t size;       // the fuzzer's bytes, without that NUL
};

// Decodes one text and checks the shape of the outcome; true when it is a value,
// which is left on the stack.
bool DecodeChecked(lua_State* L, const char* text, size_t len, size_t text_end, JsonError* err) {
  int base = lua_gettop(L);
  bool ok = DecodeJson(L, text, len, err);
  if (lua_gettop(L) != base + (ok ? 1 : 0)) Finding("stack not balanced");
  if (ok) return true;
  if (!KnownMessage(err->message)) Finding("unknown message");
  if (err->token_start < 1 || err->token_start > err->current || err->current > text_end)
    Finding("positions outside the text");
  return false;
}

// Runs under lua_pcall, so that a Lua error raised by the decoder surfaces here as a
// finding instead of a jump out of the fuzzer. Nothing in it has a destructor.
int CheckInput(lua_State* L) {
  const Input* in = static_cast<const Input*>(lua_touserdata(L, 1));
  const void* nul = std::memchr(in->text, '\0', in->size);
  size_t text_end = (nul != nullptr ? static_cast<const char*>(nul) - in->text : in->size) + 1;

  JsonError err;
  bool ok = DecodeChecked(L, in->text, in->size + 1, text_end, &err);
  JsonError bare;
  bool bare_ok = DecodeChecked(L, in->text, in->size, text_end, &bare);
  if (nul == nullptr) {
    if (bare_ok || std::strcmp(bare.message, "Message is not null-terminated") != 0 || bare.token_start != 1 ||
        bare.current != 1)
      Finding("text without NUL not refused");
  } else if (ok != bare_ok ||
             (!ok && (std::strcmp(err.message, bare.message) != 0 || err.token_start != bare.token_start ||
                      err.current != bare.current))) {
    Finding("same text, different outcome");
  }
  lua_settop(L, 1);

  size_t n = 0;
  while (n < in->size && IsNumberByte(in->text[n])) ++n;
  const char* digits = in->text[0] == '-' ? in->text + 1 : in->text;
  if (n == 0 || digits >= in->text + n || digits[0] < '0' || digits[0] > '9') return 0;
  bool leading_zero = digits[0] == '0' && digits + 1 < in->text + n && digits[1] >= '0' && digits[1] <= '9';
  // A NUL-terminated copy of the run is kept in a Lua string, which Lua frees.
  lua_pushlstring(L, in->text, n);
  const char* token = lua_tostring(L, -1);
  if (!DecodeChecked(L, token, n + 1, n + 1, &err)) {
    if (!leading_zero) Finding("number token refused");
    return 0;
  }
  if (leading_zero) Finding("leading zero taken");
  if (lua_type(L, -1) != LUA_TNUMBER) Finding("number token is not a number");
  lua_Number mine = lua_tonumber(L, -1);
  lua_pushvalue(L, -2);
  lua_Number host = lua_tonumber(L, -1);
  if (std::memcmp(&mine, &host, sizeof mine) != 0) {
    std::fprintf(stderr, "token %s: decoded %a, Lua reads %a\n", token, mine, host);
    Finding("number conversion disagrees with Lua");
  }
  return 0;
}

lua_State* State() {
  static lua_State* L = luaL_newstate();
  return L;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  Input in{text.data(), size};
  lua_State* L = State();
  lua_pushcfunction(L, CheckInput);
  lua_pushlightuserdata(L, &in);
  if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
    std::fprintf(stderr, "json_fuzz: Lua error: %s\n", lua_tostring(L, -1));
    std::abort();
  }
  lua_settop(L, 0);
  return 0;
}
