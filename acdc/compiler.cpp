// The `compiler` table of module acdc: the Lua face of the filter-program assembler
// in compiler/. Each function checks its arguments, makes one core call (which takes
// and drops the image lock itself) and only then raises or pushes, so no lock and no
// object with a destructor is alive when Lua can raise.
#include <climits>
#include <cstdio>

// Standard output is a text stream on Windows, where each 0x0A byte of the image would
// go out as 0x0D 0x0A. The image is written with the stream switched to binary, then
// the stream is put back in the mode it had. Elsewhere streams are binary already.
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#define ACDC_SET_BINARY(f) _setmode(_fileno(f), _O_BINARY)
#define ACDC_RESTORE_MODE(f, mode) static_cast<void>((mode) == -1 ? -1 : _setmode(_fileno(f), (mode)))
#else
#define ACDC_SET_BINARY(f) 0
#define ACDC_RESTORE_MODE(f, mode) static_cast<void>(mode)
#endif

#include "acdc/functions.h"
#include "acdc/lua_number.h"
#include "compiler/program.h"
#include "compiler/sieve.h"

namespace acdc::lua::compiler_table {

namespace {

namespace core = ::acdc::compiler;
using core::Outcome;
using core::Status;

// Integers arrive as Lua numbers; the conversion is the library's one safe cast, so
// fractions truncate and out-of-range values wrap instead of being undefined.
uint64_t CheckInteger(lua_State* L, int arg) { return NumberToU64(luaL_checknumber(L, arg)); }
uint32_t CheckWord(lua_State* L, int arg) { return static_cast<uint32_t>(CheckInteger(L, arg)); }

// Raises the fixed text of a refusal; does not return.
int RaiseRefusal(lua_State* L, Outcome o) {
  switch (o.status) {
    case Status::kMaxInstructions: return luaL_error(L, "Max instructions for procedure: %d", static_cast<int>(o.value));
    case Status::kCodeFull: return luaL_error(L, "Max code words: %d", static_cast<int>(o.value));
    case Status::kJumpOutOfRange: return luaL_error(L, "jump out of range: %d", static_cast<int>(o.value));
    case Status::kInvalidAction: return luaL_error(L, "invalid action: %d", static_cast<int>(o.value));
    case Status::kEventUnsupported: return luaL_argerror(L, 1, "event unsupported");
    case Status::kProcedureUnsupported: return luaL_argerror(L, 2, "event unsupported");
    case Status::kMaxConstants: return luaL_error(L, "Max constants");
    case Status::kSuffixListTooLarge: return luaL_error(L, "Suffix list too large");
    case Status::kMaxSuffixLists: return luaL_error(L, "Max suffix_lists");
    case Status::kSieveTooLarge: return luaL_error(L, "Sieve too large");
    case Status::kMaxSieves: return luaL_error(L, "Max sieve");
    case Status::kOk: break;
  }
  return 0;
}

// For the calls that answer with an index.
int PushIndex(lua_State* L, Outcome o) {
  if (o.status != Status::kOk) return RaiseRefusal(L, o);
  lua_pushinteger(L, o.value);
  return 1;
}

int NoResult(lua_State* L, Outcome o) { return o.status == Status::kOk ? 0 : RaiseRefusal(L, o); }

// psieve and ssieve. Elements that are not strings are skipped without conversion,
// which would allocate; a width that is absent or not a number is taken as 0 (= 64).
int BuildSieve(lua_State* L, core::SieveEnd end) {
  luaL_argcheck(L, lua_type(L, 1) == LUA_TTABLE, 1, "Expected table");
  int isnum = 0;
  lua_Number w = lua_tonumberx(L, 2, &isnum);
  core::SieveBuilder builder;
  core::BeginSieve(&builder, end, isnum ? static_cast<int64_t>(NumberToU64(w)) : 0);
  size_t n = lua_rawlen(L, 1);
  for (size_t i = 1; i <= n && i <= INT_MAX; ++i) {
    lua_rawgeti(L, 1, static_cast<int>(i));
    if (lua_type(L, -1) == LUA_TSTRING) {
      size_t len = 0;
      const char* s = lua_tolstring(L, -1, &len);
      core::AddToSieve(&builder, s, len);
    }
    lua_pop(L, 1);
  }
  uint8_t sieve[core::kMaxSieveSize];
  size_t size = core::FinishSieve(&builder, sieve);
  lua_pushlstring(L, reinterpret_cast<const char*>(sieve), size);
  return 1;
}

}  // namespace

int l_clear(lua_State* L) {
  core::Clear();
  return 0;
}

int l_sign(lua_State* L) {
  core::Sign();
  return 0;
}

int l_guid(lua_State* L) {
  uint8_t guid[core::kGuidSize];
  core::CopyGuid(guid);
  lua_pushlstring(L, reinterpret_cast<const char*>(guid), sizeof guid);
  return 1;
}

int l_default(lua_State* L) {
  core::WriteDefaultProcedure();
  return 0;
}

int l_procedure(lua_State* L) { return PushIndex(L, core::Procedure(CheckWord(L, 1))); }

int l_link(lua_State* L) {
  auto event = static_cast<int64_t>(CheckInteger(L, 1));
  uint64_t procedure = CheckInteger(L, 2);
  return NoResult(L, core::Link(event, procedure));
}

int l_psieve(lua_State* L) { return BuildSieve(L, core::SieveEnd::kPrefix); }
int l_ssieve(lua_State* L) { return BuildSieve(L, core::SieveEnd::kSuffix); }

int l_newsieve(lua_State* L) {
  size_t len = 0;
  const char* s = luaL_checklstring(L, 1, &len);
  return PushIndex(L, core::NewSieve(s, len));
}

int l_constant(lua_State* L) { return PushIndex(L, core::Constant(CheckWord(L, 1))); }

int l_suffixlist(lua_State* L) {
  size_t len = 0;
  const char* s = luaL_checklstring(L, 1, &len);
  return PushIndex(L, core::SuffixList(s, len));
}

int l_newcode(lua_State* L) {
  uint32_t op = CheckWord(L, 1);
  uint32_t a = CheckWord(L, 2);
  uint32_t b = CheckWord(L, 3);
  bool flag = lua_toboolean(L, 4) != 0;
  uint32_t c = CheckWord(L, 5);
  return NoResult(L, core::NewCode(op, a, b, flag, c));
}

int l_newjump(lua_State* L) { return NoResult(L, core::NewJump(CheckWord(L, 1))); }
int l_newreturn(lua_State* L) { return NoResult(L, core::NewReturn(CheckWord(L, 1))); }

// Shares the C stream with Lua's io library, so the bytes land in order with the
// caller's own io.write output; what the caller wrote before goes out in the stream's
// own mode.
int l_dump(lua_State* L) {
  uint8_t image[core::kImageSize];
  core::CopyImage(image);
  std::fflush(stdout);
  int mode = ACDC_SET_BINARY(stdout);
  std::fwrite(image, 1, sizeof image, stdout);
  std::fflush(stdout);
  ACDC_RESTORE_MODE(stdout, mode);
  return 0;
}

int l_tostring(lua_State* L) {
  uint8_t image[core::kImageSize];
  core::CopyImage(image);
  lua_pushlstring(L, reinterpret_cast<const char*>(image), sizeof image);
  return 1;
}

}  // namespace acdc::lua::compiler_table
