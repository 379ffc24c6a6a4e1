// The JSON decoder: one pass over the text that pushes Lua values as it reads them.
//
// It reads the driver's command replies and whatever the policy hands to `decode`, so
// it accepts a strict subset of JSON (no \u escapes, no leading zeros, at most 64 open
// containers) and reports a failure as two byte positions and a fixed text instead of
// raising. null becomes nil: a null array element leaves its index empty, a null
// object member is absent. A number is what Lua makes of the token's text, 0 when it
// makes nothing (1-2, 1e). Decoding stops at the end of the top-level value; what
// follows it is not read.
#pragma once

#include <cstddef>

extern "C" {
#include <lua.h>
}

namespace acdc::json {

// Containers that may be open at once.
constexpr unsigned kMaxDepth = 64;

struct JsonError {
  const char* message;  // static text, one of the decoder's fixed messages
  size_t token_start;   // 1-based byte position of the last token read
  size_t current;       // 1-based byte position where reading stopped
};

// Decodes text, which ends at its first NUL; len counts the bytes available, that
// NUL included (a Lua string of length n passes n + 1). On success pushes the value
// and returns true. On failure pushes nothing, fills *err and returns false. Raises
// only Lua's own errors: out of memory, a finalizer's error, or a Lua stack that
// cannot grow by the 136 slots each open container asks for. Since it can raise, a
// caller keeps the text in memory Lua owns (a string, a userdata, a luaL_Buffer), or
// calls it under lua_pcall, and holds nothing with a destructor meanwhile.
bool DecodeJson(lua_State* L, const char* text, size_t len, JsonError* err);

// The results of `decode`, which `command` returns for an untyped reply: the value
// (1 result), or nil, "<token_start>:<current>:<message>", token_start and current
// (4 results). Returns the count pushed.
int PushJsonResult(lua_State* L, const char* text, size_t len);

}  // namespace acdc::json
