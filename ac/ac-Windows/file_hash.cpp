// The hash functions of module ac: HashNull, HashString, HashPrimary, HashSecondary
// and HashAll.
//
// Each path function checks its argument, runs the whole read in HashFile (which
// opens, locks, reads and closes, and owns nothing once it returns), and only then
// pushes: a raise can then skip nothing. The chunk buffer is this frame's own.
#include "ac/ac-Windows/oplock_reader.h"
#include "ac/functions.h"
#include "cache/digest.h"

namespace acdc::ac {

namespace {

// Which results a function gives after its status.
enum class Shape : uint8_t { kStatusOnly, kPrimary, kSecondary, kAll };

void PushDigest(lua_State* L, const FileHash& h, uint8_t bit, const uint8_t* bytes, size_t n) {
  if ((h.computed & bit) != 0)
    lua_pushlstring(L, reinterpret_cast<const char*>(bytes), n);
  else
    lua_pushnil(L);
}

// The status (nil on success, else the code), then the shape's digests in order,
// each nil when it was not computed, then the bytes read.
int PushFileHash(lua_State* L, const FileHash& h, Shape shape) {
  if (h.status == platform::kErrorSuccess)
    lua_pushnil(L);
  else
    lua_pushunsigned(L, h.status);
  if (shape == Shape::kStatusOnly) return 1;
  int n = 1;
  if (shape == Shape::kSecondary || shape == Shape::kAll) {
    PushDigest(L, h, kHashMd5, h.md5, sizeof h.md5);
    PushDigest(L, h, kHashSha1, h.sha1, sizeof h.sha1);
    n += 2;
  }
  if (shape == Shape::kPrimary || shape == Shape::kAll) {
    PushDigest(L, h, kHashSha256, h.sha256, sizeof h.sha256);
    ++n;
  }
  lua_pushnumber(L, static_cast<lua_Number>(h.bytes));
  return n + 1;
}

int HashPath(lua_State* L, uint8_t wanted, FipsRule fips, Shape shape) {
  size_t len = 0;
  const char* path = luaL_checklstring(L, 1, &len);
  uint8_t chunk[kHashChunkBytes];
  FileHash h;
  HashFile(path, len, wanted, fips, chunk, &h);
  return PushFileHash(L, h, shape);
}

}  // namespace

int l_HashNull(lua_State* L) { return HashPath(L, 0, FipsRule::kKeepMd5, Shape::kStatusOnly); }

int l_HashPrimary(lua_State* L) { return HashPath(L, kHashSha256, FipsRule::kKeepMd5, Shape::kPrimary); }

int l_HashSecondary(lua_State* L) { return HashPath(L, kHashMd5 | kHashSha1, FipsRule::kKeepMd5, Shape::kSecondary); }

int l_HashAll(lua_State* L) {
  return HashPath(L, kHashMd5 | kHashSha1 | kHashSha256, FipsRule::kDropMd5InFipsMode, Shape::kAll);
}

// The SHA-256 of the text's bytes, its full length. A digest that cannot be made
// (no context, an engine failure) raises "Failed hash", as the execution cache's
// functions do.
int l_HashString(lua_State* L) {
  size_t len = 0;
  const char* text = luaL_checklstring(L, 1, &len);
  cache::PathDigest d;
  if (!cache::DigestPath(text, len, &d)) return luaL_error(L, "Failed hash");
  lua_pushlstring(L, reinterpret_cast<const char*>(d.bytes), sizeof d.bytes);
  return 1;
}

}  // namespace acdc::ac
