// GetSignedFileInfo and WinVerifyTrust of module ac when memory runs out: the
// library's own blocks (through the services' allocator) and Lua's (through a Lua
// state whose allocator runs dry). Whatever fails, the call answers or raises Lua's
// memory error, and the platform resources it held are released (the sanitizer
// build's leak check sees every one of them).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "platform/services.h"

extern "C" int luaopen_ac(lua_State* L);

namespace {

namespace platform = acdc::platform;

int g_allocation = 0;  // the library's allocations since the count was reset
int g_fail_at = 0;     // the one that fails; 0: none

void* CountingAllocate(size_t size) {
  if (++g_allocation == g_fail_at) return nullptr;
  return std::malloc(size);
}

// Lua's allocator with a budget of new blocks; a negative budget never runs out.
struct Budget {
  long left = -1;
};

void* BudgetAlloc(void* ud, void* ptr, size_t osize, size_t nsize) {
  auto* budget = static_cast<Budget*>(ud);
  if (nsize == 0) {
    std::free(ptr);
    return nullptr;
  }
  if (ptr == nullptr || nsize > osize) {
    if (budget->left == 0) return nullptr;
    if (budget->left > 0) --budget->left;
  }
  return std::realloc(ptr, nsize);
}

class SignatureGlue : public testing::Test {
 protected:
  void SetUp() override {
    platform::g_services.allocate = CountingAllocate;
    g_allocation = g_fail_at = 0;
    L_ = lua_newstate(BudgetAlloc, &budget_);
    luaL_openlibs(L_);
    luaL_requiref(L_, "ac", luaopen_ac, 1);
    lua_pushstring(L_, ACDC_SIGNING);
    lua_setglobal(L_, "dir");
    lua_settop(L_, 0);
  }
  void TearDown() override {
    budget_.left = -1;
    lua_close(L_);
    platform::g_services = platform::kOsServices;
  }

  // Runs `chunk` and gives its results joined by "|", each as tostring writes it.
  std::string Run(const std::string& chunk) {
    lua_settop(L_, 0);
    if (luaL_dostring(L_, chunk.c_str()) != 0) return std::string("error: ") + lua_tostring(L_, -1);
    std::string out;
    for (int i = 1; i <= lua_gettop(L_); ++i) {
      if (i > 1) out += "|";
      out += luaL_tolstring(L_, i, nullptr);
      lua_pop(L_, 1);
    }
    return out;
  }

  Budget budget_;
  lua_State* L_ = nullptr;
};

// The fields of the result and of its signerCertificate, sorted and joined.
const char kFields[] = R"(
  local function fields(t)
    local keys = {}
    for k, v in pairs(t) do keys[#keys + 1] = type(v) == "table" and k .. "{" .. fields(v) .. "}" or k end
    table.sort(keys)
    return table.concat(keys, ",")
  end
)";

// Library allocation `fail_at` fails: GetSignedFileInfo leaves out the one field it
// could not make, and WinVerifyTrust without a block for the path is the provider's
// failure.
TEST_F(SignatureGlue, GivesWhatItCouldWhenTheLibrarysOwnMemoryRunsOut) {
  std::string call = std::string(kFields) + R"(
    local results = table.pack(require("ac").GetSignedFileInfo(dir .. "/signed.exe"))
    if results.n == 0 then return "no values" end
    if type(results[1]) == "table" then return fields(results[1]) end
    return results[1], results[2], results[3], results.n
  )";
  const std::string cert = "certificate,", issuer = "issuer,", subject = ",subject", thumb = ",thumbprintSha1";
  auto all_but = [&](const std::string& left_out) {
    std::string f = "moreInfoLink,programName,signerCertificate{" + cert + issuer + "serialNumber,serialNumberBinary" +
                    subject + thumb + "}";
    return f.erase(f.find(left_out), left_out.size());
  };
  EXPECT_EQ(all_but(""), Run(call));
  EXPECT_EQ(6, g_allocation);  // path, signer, issuer, subject, thumbprint, certificate
  struct Case {
    int fail_at;
    std::string want;
  } cases[] = {
      {1, "nil|8|CryptQueryObject() failed: 0x8 (Not enough memory resources are available to process this "
          "command.)|3"},
      {2, "no values"},  // no block for the signer
      {3, all_but(issuer)}, {4, all_but(subject)}, {5, all_but(thumb)}, {6, all_but(cert)},
  };
  for (const Case& c : cases) {
    g_allocation = 0;
    g_fail_at = c.fail_at;
    EXPECT_EQ(c.want, Run(call)) << c.fail_at;
  }
  g_allocation = 0;
  g_fail_at = 1;
  EXPECT_EQ("false|-2146869247|8|A system-level error occurred while verifying trust.",
            Run("return require('ac').WinVerifyTrust(dir .. '/signed.exe')"));
  g_allocation = g_fail_at = 0;
  EXPECT_EQ("true|0|0|The operation completed successfully.",
            Run("return require('ac').WinVerifyTrust(dir .. '/signed.exe')"));
}

TEST_F(SignatureGlue, LuasOwnMemoryErrorIsRaisedAfterTheResourcesAreReleased) {
  // The probe is compiled, and the path made, before the budget is set: from then on
  // each allocation of the call may be the one that fails.
  ASSERT_EQ(0, luaL_dostring(L_, R"(
    ac = require "ac"
    path = dir .. "/signed.exe"
    function probe()
      local ok, r = pcall(ac.GetSignedFileInfo, path)
      if ok then return r.signerCertificate.subject end
      return r
    end
  )"));
  const std::string subject = "C=DE, O=acdc Test Signer, CN=acdc Test Code Signing";
  int raised = 0, raised_holding = 0;
  std::string last;
  for (long budget = 0; budget < 400 && last != subject; ++budget) {
    lua_settop(L_, 0);
    lua_getglobal(L_, "probe");
    g_allocation = 0;
    budget_.left = budget;
    int status = lua_pcall(L_, 0, 1, 0);
    budget_.left = -1;
    last = lua_isstring(L_, -1) ? lua_tostring(L_, -1) : "(no text)";
    if (last == subject) break;
    EXPECT_TRUE(status == LUA_OK || status == LUA_ERRMEM) << budget;
    EXPECT_EQ("not enough memory", last) << budget;
    ++raised;
    // With the signer's block made, the store, the message and the block were held
    // when Lua raised.
    if (g_allocation >= 2) ++raised_holding;
  }
  EXPECT_EQ(subject, last);
  EXPECT_GE(raised, 6);
  EXPECT_GE(raised_holding, 4);
}

}  // namespace
