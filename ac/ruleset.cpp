// DecryptRuleset: a rule-set file through optional decryption and optional zlib
// inflation (ruleset_reader.*), its text returned as one Lua string.
//
// Lua can raise in this frame, so nothing here owns anything: the options are
// borrowed from values kept on the Lua stack, and a userdata made before the file is
// opened owns both the open file and the block the text grows in (its __gc frees
// whatever is left if an option's metamethod or the push raises). The file is opened
// before any option is read, and the key and IV only when a cipher is named. The
// reader builds and frees its chain without calling Lua; the text is pushed once, at
// the end.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/err.h>

#include "ac/functions.h"
#include "ac/ruleset_reader.h"
#include "platform/memory.h"
#include "platform/services.h"

namespace acdc::ac {

namespace {

constexpr char kTextType[] = "acdc.ruleset_text";

// From this size on, the string that Lua allocates for the text is advised large
// pages before the text is copied into it: in 4 KiB pages, the copy of tens of
// megabytes costs more in page faults than the whole decryption.
constexpr size_t kLargeText = size_t{4} << 20;

// What a call owns while Lua may raise.
struct Held {
  RulesetText text;
  BIO* source;  // the open file until the reader takes it over
};

// Cleared before it is freed, so a later __gc frees nothing twice.
void FreeText(RulesetText* text) {
  char* data = text->data;
  *text = RulesetText{};
  std::free(data);
}

int HeldGc(lua_State* L) {
  auto* held = static_cast<Held*>(lua_touserdata(L, 1));
  FreeText(&held->text);
  BIO* source = held->source;
  held->source = nullptr;
  BIO_free_all(source);
  return 0;
}

Held* NewHeld(lua_State* L) {
  auto* held = static_cast<Held*>(lua_newuserdata(L, sizeof(Held)));
  *held = Held{};
  if (luaL_newmetatable(L, kTextType)) {
    lua_pushcfunction(L, HeldGc);
    lua_setfield(L, -2, "__gc");
  }
  lua_setmetatable(L, -2);
  return held;
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

// The message of a failed read, raised as the error value itself (no position).
// Texts from Lua go in whole, NULs and all.
int Raise(lua_State* L, const RulesetResult& r, const char* path, size_t path_len, const RulesetOptions& o) {
  char number[24];
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  switch (r.status) {
    case RulesetStatus::kOpenFailed:
      luaL_addstring(&b, "Failed to open ");
      luaL_addlstring(&b, path, path_len);
      break;
    case RulesetStatus::kUnknownCipher:
      luaL_addstring(&b, "Unknown encryption cipher '");
      luaL_addlstring(&b, o.encalg, o.encalg_len);
      luaL_addchar(&b, '\'');
      break;
    case RulesetStatus::kKeyLength:
    case RulesetStatus::kIvLength:
      luaL_addstring(&b, r.status == RulesetStatus::kKeyLength ? "Key length (" : "IV length (");
      std::snprintf(number, sizeof number, "%d", r.given_length);
      luaL_addstring(&b, number);
      luaL_addstring(&b, ") does not match cipher '");
      luaL_addlstring(&b, o.encalg, o.encalg_len);
      std::snprintf(number, sizeof number, "' (%d)", r.cipher_length);
      luaL_addstring(&b, number);
      break;
    case RulesetStatus::kCipherFailed:
      luaL_addstring(&b, "Failed to create cipher");
      break;
    case RulesetStatus::kUnsupportedCompression:
      luaL_addstring(&b, "Unsupported compression: ");
      luaL_addlstring(&b, o.comp, o.comp_len);
      break;
    case RulesetStatus::kZlibFailed:
      luaL_addstring(&b, "Failed to create zlib");
      break;
    case RulesetStatus::kReadFailed:
      luaL_addstring(&b, "Failed to read ruleset: ");
      luaL_addstring(&b, r.reason);
      // The packed code as an unsigned number: a system error's has the top bit set.
      std::snprintf(number, sizeof number, " (%lu)", r.code);
      luaL_addstring(&b, number);
      break;
    default:
      luaL_addstring(&b, "not enough memory");
      break;
  }
  luaL_pushresult(&b);
  return lua_error(L);
}

// The state's own allocator, wrapped while the text is pushed. Every block is still
// the original allocator's, so Lua frees it as any other.
struct AdvisingAllocator {
  lua_Alloc alloc;
  void* ud;
};

void* AdvisingAlloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  auto* a = static_cast<AdvisingAllocator*>(ud);
  void* block = a->alloc(a->ud, ptr, osize, nsize);
  // A new object (ptr null) of this size can only be the text's string.
  if (block != nullptr && ptr == nullptr && nsize >= kLargeText) platform::AdviseLargePages(block, nsize);
  return block;
}

int PushText(lua_State* L) {
  const auto* text = static_cast<const RulesetText*>(lua_touserdata(L, 1));
  lua_pushlstring(L, text->data, text->size);
  return 1;
}

// Pushes the text as one string. A large one is pushed in a protected call with the
// allocator wrapped, so that the state gets its own allocator back whatever the push
// raises (a memory error, or an error of a finalizer that the push's collection ran).
int PushWholeText(lua_State* L, RulesetText* text) {
  if (text->size < kLargeText) {
    lua_pushlstring(L, text->data == nullptr ? "" : text->data, text->size);
    FreeText(text);
    return 1;
  }
  AdvisingAllocator a;
  a.alloc = lua_getallocf(L, &a.ud);
  lua_setallocf(L, AdvisingAlloc, &a);
  lua_pushcfunction(L, PushText);
  lua_pushlightuserdata(L, text);
  int rc = lua_pcall(L, 1, 1, 0);
  lua_setallocf(L, a.alloc, a.ud);
  FreeText(text);
  return rc == LUA_OK ? 1 : lua_error(L);
}

}  // namespace

int l_DecryptRuleset(lua_State* L) {
  size_t path_len = 0;
  const char* path = luaL_checklstring(L, 1, &path_len);
  if (!lua_istable(L, 2)) {
    lua_pushliteral(L, "Expected table of options");
    return lua_error(L);
  }
  Held* held = NewHeld(L);
  RulesetOptions o{};
  RulesetResult r{};
  // A path with a NUL inside would open the file named by its first part.
  held->source = std::strlen(path) == path_len ? OpenRulesetFile(path) : nullptr;
  if (held->source == nullptr) {
    ERR_clear_error();
    r.status = RulesetStatus::kOpenFailed;
    return Raise(L, r, path, path_len, o);
  }
  o.encalg = Option(L, "encalg", &o.encalg_len);
  if (NamesALayer(o.encalg, o.encalg_len)) {
    o.key = Option(L, "key", &o.key_len);
    o.iv = Option(L, "iv", &o.iv_len);
  }
  o.comp = Option(L, "comp", &o.comp_len);
  o.fips = platform::FipsMode();
  BIO* source = held->source;
  held->source = nullptr;
  ReadRulesetBio(source, o, &held->text, &r);
  // The queue was read into the result; nothing of it is left for later calls.
  ERR_clear_error();
  if (r.status != RulesetStatus::kOk) {
    FreeText(&held->text);
    return Raise(L, r, path, path_len, o);
  }
  return PushWholeText(L, &held->text);
}

}  // namespace acdc::ac
