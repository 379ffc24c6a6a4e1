// DecryptRuleset driven from C++: the FIPS query it consults, the text block when
// pushing the result runs out of memory, and chains left open by neither.
#include <openssl/evp.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "ac/ruleset_reader.h"
#include "platform/services.h"

extern "C" int luaopen_ac(lua_State* L);

namespace {

using namespace acdc;

// Lua's allocator with a ceiling on any one block, once armed.
struct Ceiling {
  size_t max_block = 0;  // 0: no ceiling
};

void* LimitedAlloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  auto* c = static_cast<Ceiling*>(ud);
  if (nsize == 0) {
    std::free(ptr);
    return nullptr;
  }
  if (c->max_block != 0 && nsize > c->max_block) return nullptr;
  return std::realloc(ptr, nsize);
}

lua_State* NewState(Ceiling* ceiling) {
  lua_State* L = lua_newstate(LimitedAlloc, ceiling);
  luaL_openlibs(L);
  luaL_requiref(L, "ac", luaopen_ac, 1);
  lua_pop(L, 1);
  return L;
}

std::string RunLua(lua_State* L, const std::string& chunk) {
  std::string out;
  if (luaL_loadstring(L, chunk.c_str()) != 0 || lua_pcall(L, 0, 1, 0) != 0)
    out = std::string("error: ") + lua_tostring(L, -1);
  else if (lua_isstring(L, -1))
    out.assign(lua_tostring(L, -1), lua_rawlen(L, -1));
  lua_settop(L, 0);
  return out;
}

class RulesetGlue : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(mkdtemp(folder_), nullptr);
    path_ = std::string(folder_) + "/rules";
  }
  void TearDown() override {
    platform::g_services = platform::kOsServices;
    std::remove(path_.c_str());
    rmdir(folder_);
  }
  void Write(const std::string& data) {
    FILE* f = std::fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    std::fclose(f);
  }

  char folder_[64] = "/tmp/ruleset_glue_test.XXXXXX";
  std::string path_;
};

int g_fips_queries = 0;
bool FakeFips() {
  ++g_fips_queries;
  return true;
}

// Openssl enc cannot make a GCM file; this one is made here. Its tag is not the
// zero tag FIPS mode expects, and the mismatch fails nothing: the text comes back.
TEST_F(RulesetGlue, GcmInFipsModeAsksTheQueryOnceAndGivesTheText) {
  unsigned char key[32], iv[12];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(200 - i);
  for (int i = 0; i < 12; ++i) iv[i] = static_cast<unsigned char>(i);
  std::string text = "allow C:\\Tools\\*.exe\r\nblock %TEMP%\\*.ps1\n";
  std::string enciphered(text.size(), '\0');
  int n = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ASSERT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, iv), 1);
  ASSERT_EQ(EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(&enciphered[0]), &n,
                              reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size())),
            1);
  EVP_CIPHER_CTX_free(ctx);
  Write(enciphered);

  platform::g_services.fips_mode = FakeFips;
  g_fips_queries = 0;
  Ceiling none;
  lua_State* L = NewState(&none);
  lua_pushlstring(L, reinterpret_cast<char*>(key), 32);
  lua_setglobal(L, "key");
  lua_pushlstring(L, reinterpret_cast<char*>(iv), 12);
  lua_setglobal(L, "iv");
  EXPECT_EQ(RunLua(L, "return ac.DecryptRuleset('" + path_ + "', {encalg = 'aes-256-gcm', key = key, iv = iv})"), text);
  EXPECT_EQ(g_fips_queries, 1);
  lua_close(L);
}

// The text grows outside Lua; pushing it is the one step that can raise. When it
// does, the chain is already freed, and the block belongs to a userdata whose __gc
// frees it (the sanitizer build's leak check sees to that). A text of 4 MiB or more
// is pushed with the state's allocator wrapped: the state has its own back after a
// failed push as after a good one.
TEST_F(RulesetGlue, RunningOutOfMemoryForTheResultLeavesNothingOpen) {
  for (size_t size : {size_t{1} << 20, (size_t{5} << 20) + 3}) {
    SCOPED_TRACE(size);
    std::string big(size, 'r');
    big[size / 2] = '\0';
    Write(big);
    Ceiling ceiling;
    lua_State* L = NewState(&ceiling);
    ceiling.max_block = 256 * 1024;
    std::string read = "return ac.DecryptRuleset('" + path_ + "', {})";
    EXPECT_EQ(RunLua(L, read), "error: not enough memory");
    EXPECT_EQ(ac::RulesetChainsOpen(), 0);
    void* ud = nullptr;
    EXPECT_TRUE(lua_getallocf(L, &ud) == &LimitedAlloc && ud == &ceiling);
    ceiling.max_block = 0;
    lua_gc(L, LUA_GCCOLLECT, 0);
    EXPECT_EQ(RunLua(L, read), big);
    EXPECT_TRUE(lua_getallocf(L, &ud) == &LimitedAlloc && ud == &ceiling);
    lua_close(L);
  }
}

}  // namespace
