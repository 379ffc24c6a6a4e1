// DecryptRuleset: a rule-set file through optional decryption and optional zlib
// inflation (ruleset_reader.*), its text returned as one Lua string.
//
// Lua can raise in this frame, so nothing here owns anything: the options are
// borrowed from values kept on the Lua stack, and the text grows in a block that a
// userdata owns (made before the file is opened, freed by its __gc if a push
// raises). The reader builds and frees its chain without calling Lua; the text is
// pushed once, at the end.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ac/functions.h"
#include "ac/ruleset_reader.h"
#include "platform/services.h"

namespace acdc::ac {

namespace {

constexpr char kTextType[] = "acdc.ruleset_text";

// Cleared before it is freed, so a later __gc frees nothing twice.
void FreeText(RulesetText* text) {
  char* data = text->data;
  *text = RulesetText{};
  std::free(data);
}

int TextGc(lua_State* L) {
  FreeText(static_cast<RulesetText*>(lua_touserdata(L, 1)));
  return 0;
}

RulesetText* NewText(lua_State* L) {
  auto* text = static_cast<RulesetText*>(lua_newuserdata(L, sizeof(RulesetText)));
  *text = RulesetText{};
  if (luaL_newmetatable(L, kTextType)) {
    lua_pushcfunction(L, TextGc);
    lua_setfield(L, -2, "__gc");
  }
  lua_setmetatable(L, -2);
  return text;
}

// Option `name` of the table at index 2, pushed and borrowed: a string (or a
// number, as Lua's own string arguments take them) gives its text, anything else
// is absent.
const char* Option(lua_State* L, const char* name, size_t* len) {
  lua_getfield(L, 2, name);
  *len = 0;
  if (!lua_isstring(L, -1)) return nullptr;
  return lua_tolstring(L, -1, len);
}

int Raise(lua_State* L, const RulesetResult& r, const char* path, const RulesetOptions& o) {
  char code[24];
  switch (r.status) {
    case RulesetStatus::kOpenFailed:
      lua_pushfstring(L, "Failed to open %s", path);
      break;
    case RulesetStatus::kUnknownCipher:
      lua_pushfstring(L, "Unknown encryption cipher '%s'", o.encalg);
      break;
    case RulesetStatus::kKeyLength:
      lua_pushfstring(L, "Key length (%d) does not match cipher '%s' (%d)", r.given_length, o.encalg,
                      r.cipher_length);
      break;
    case RulesetStatus::kIvLength:
      lua_pushfstring(L, "IV length (%d) does not match cipher '%s' (%d)", r.given_length, o.encalg,
                      r.cipher_length);
      break;
    case RulesetStatus::kCipherFailed:
      lua_pushliteral(L, "Failed to create cipher");
      break;
    case RulesetStatus::kUnsupportedCompression:
      lua_pushfstring(L, "Unsupported compression: %s", o.comp);
      break;
    case RulesetStatus::kZlibFailed:
      lua_pushliteral(L, "Failed to create zlib");
      break;
    case RulesetStatus::kReadFailed:
      // The packed code as an unsigned number: a system error's has the top bit set.
      std::snprintf(code, sizeof code, "%lu", r.code);
      lua_pushfstring(L, "Failed to read ruleset: %s (%s)", r.reason, code);
      break;
    default:
      lua_pushliteral(L, "not enough memory");
      break;
  }
  return lua_error(L);
}

}  // namespace

int l_DecryptRuleset(lua_State* L) {
  size_t path_len = 0;
  const char* path = luaL_checklstring(L, 1, &path_len);
  if (!lua_istable(L, 2)) return luaL_error(L, "Expected table of options");
  RulesetOptions o{};
  o.encalg = Option(L, "encalg", &o.encalg_len);
  o.key = Option(L, "key", &o.key_len);
  o.iv = Option(L, "iv", &o.iv_len);
  o.comp = Option(L, "comp", &o.comp_len);
  o.fips = platform::FipsEnabled();
  RulesetText* text = NewText(L);
  RulesetResult r;
  if (std::strlen(path) != path_len) {
    // A path with a NUL inside would open the file named by its first part.
    r = RulesetResult{};
    r.status = RulesetStatus::kOpenFailed;
  } else {
    ReadRulesetFile(path, o, text, &r);
  }
  if (r.status != RulesetStatus::kOk) {
    FreeText(text);
    return Raise(L, r, path, o);
  }
  lua_pushlstring(L, text->data == nullptr ? "" : text->data, text->size);
  FreeText(text);
  return 1;
}

}  // namespace acdc::ac
