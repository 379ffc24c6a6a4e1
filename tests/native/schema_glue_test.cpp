// ShouldUpdateSchema and UpdatedSchema from Lua states on several threads, with
// documents of the core-library stand-in. Each scenario starts as a fresh process
// does (ResetSchemaState): the first grant of a process ignores the file.
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "ac/schema.h"
#include "corelib/vrel_core.h"
#include "platform/core_library.h"
#include "platform/recursive_lock.h"

extern "C" int luaopen_ac(lua_State* L);

namespace {

namespace core = acdc::platform::core;
using acdc::platform::LockId;
using acdc::platform::ProcessLock;

constexpr auto kWaitShown = std::chrono::milliseconds(150);

struct Block {
  core::ObjectHeader header;
  void* object;
};

void* PayloadObject(void* block, void* payload) { return *static_cast<void**>(payload); }

// A folder with the plug-in folder "ac" in it, and a document rooted there.
class SchemaWindow : public testing::Test {
 public:
  void SetUp() override {
    ASSERT_NE(mkdtemp(root_), nullptr);
    ASSERT_EQ(mkdir((std::string(root_) + "/ac").c_str(), 0700), 0);
    dom_ = vrel_core::NewDom(root_);
    ASSERT_NE(dom_, nullptr);
    acdc::ac::ResetSchemaState();
  }
  void TearDown() override {
    std::remove(Database().c_str());
    rmdir((std::string(root_) + "/ac").c_str());
    rmdir(root_);
    vrel_core::DeleteDom(dom_);
  }

  std::string Database() const { return std::string(root_) + "/ac/ac.db"; }
  void CreateDatabase() const {
    FILE* f = std::fopen(Database().c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }

  // A Lua state with module ac and the document in the global `dom`.
  lua_State* NewState(uint32_t mode = 0) const {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "ac", luaopen_ac, 1);
    lua_pop(L, 1);
    Block block{{mode, core::kStandInMark, core::kDomType, PayloadObject, nullptr}, dom_};
    *static_cast<Block*>(lua_newuserdata(L, sizeof block)) = block;
    lua_setglobal(L, "dom");
    return L;
  }

  char root_[64] = "/tmp/schema_glue_test.XXXXXX";
  vrel_core::Dom* dom_ = nullptr;
};

// Runs `chunk`; its results as text ("true", "false", "" for none) or its error.
std::string RunLua(lua_State* L, const char* chunk) {
  std::string out;
  if (luaL_loadstring(L, chunk) != 0 || lua_pcall(L, 0, LUA_MULTRET, 0) != 0) {
    out = std::string("error: ") + lua_tostring(L, -1);
  } else {
    for (int i = 1; i <= lua_gettop(L); ++i) out += (i > 1 ? "," : "") + std::string(luaL_tolstring(L, i, nullptr)), lua_pop(L, 1);
  }
  lua_settop(L, 0);
  return out;
}

// A second thread asks while the first holds the window. It waits until the first
// calls UpdatedSchema, then gets the answer the file's existence gives. A stranger's
// UpdatedSchema before it is an unpaired leave: ignored and counted, and the window
// stays the owner's.
void SecondAskerWaits(SchemaWindow* test, bool create_database, const char* expected, bool stranger) {
  lua_State* first = test->NewState();
  ASSERT_EQ(RunLua(first, "return ac.ShouldUpdateSchema(dom)"), "true");
  EXPECT_EQ(ProcessLock(LockId::kGeneral).Depth(), 1u);
  if (stranger) {
    uint64_t ignored = ProcessLock(LockId::kGeneral).IgnoredLeaves();
    std::thread([&] {
      lua_State* L = test->NewState();
      EXPECT_EQ(RunLua(L, "ac.UpdatedSchema() ac.UpdatedSchema()"), "");
      lua_close(L);
    }).join();
    EXPECT_EQ(ProcessLock(LockId::kGeneral).IgnoredLeaves(), ignored + 2);
    EXPECT_EQ(ProcessLock(LockId::kGeneral).Depth(), 1u);
  }

  std::atomic<bool> answered{false};
  std::string answer;
  std::thread second([&] {
    lua_State* L = test->NewState();
    answer = RunLua(L, "return ac.ShouldUpdateSchema(dom)");
    answered = true;
    // A true answer owes its UpdatedSchema, on this thread.
    if (answer == "true") RunLua(L, "ac.UpdatedSchema()");
    lua_close(L);
  });
  std::this_thread::sleep_for(kWaitShown);
  EXPECT_FALSE(answered.load()) << "the second asker did not wait for the update";
  if (create_database) test->CreateDatabase();
  EXPECT_EQ(RunLua(first, "ac.UpdatedSchema()"), "");
  second.join();
  EXPECT_EQ(answer, expected);
  EXPECT_EQ(ProcessLock(LockId::kGeneral).Depth(), 0u);
  lua_close(first);
}

TEST_F(SchemaWindow, ASecondThreadWaitsThenGetsNoOnceTheFileExists) { SecondAskerWaits(this, true, "false", true); }

TEST_F(SchemaWindow, ASecondThreadWaitsThenGetsYesWhileTheFileIsStillMissing) {
  SecondAskerWaits(this, false, "true", false);
}

TEST_F(SchemaWindow, EnterCriticalSectionWaitsForTheUpdateToFinish) {
  lua_State* first = NewState();
  ASSERT_EQ(RunLua(first, "return ac.ShouldUpdateSchema(dom)"), "true");
  std::atomic<bool> entered{false};
  std::thread other([&] {
    lua_State* L = NewState();
    RunLua(L, "ac.EnterCriticalSection()");
    entered = true;
    RunLua(L, "ac.LeaveCriticalSection()");
    lua_close(L);
  });
  std::this_thread::sleep_for(kWaitShown);
  EXPECT_FALSE(entered.load());
  RunLua(first, "ac.UpdatedSchema()");
  other.join();
  EXPECT_TRUE(entered.load());
  lua_close(first);
}

// The owner asking again enters the lock once more, answers no and leaves once: its
// window stays open until its UpdatedSchema. (The answers by the file's presence are
// in schema_test.lua.)
TEST_F(SchemaWindow, TheOwnerAskingAgainGetsNoAndKeepsTheWindow) {
  lua_State* L = NewState();
  ASSERT_EQ(RunLua(L, "return ac.ShouldUpdateSchema(dom)"), "true");
  EXPECT_EQ(RunLua(L, "return ac.ShouldUpdateSchema(dom), ac.ShouldUpdateSchema(dom)"), "false,false");
  EXPECT_EQ(ProcessLock(LockId::kGeneral).Depth(), 1u);
  EXPECT_EQ(RunLua(L, "ac.UpdatedSchema()"), "");
  EXPECT_EQ(ProcessLock(LockId::kGeneral).Depth(), 0u);
  lua_close(L);
}

TEST_F(SchemaWindow, NoUsableDocumentIsAnArgumentErrorThatTakesNoLock) {
  lua_State* L = NewState(core::kConstantAccess);
  const std::string kError = "bad argument #1 to 'ShouldUpdateSchema' (Dom object expected)";
  for (const char* chunk : {"return ac.ShouldUpdateSchema(dom)", "return ac.ShouldUpdateSchema()",
                            "return ac.ShouldUpdateSchema({})", "return ac.ShouldUpdateSchema(io.stdout)"}) {
    std::string got = RunLua(L, chunk);
    EXPECT_EQ(got.substr(got.find(": bad argument") + 2), kError) << chunk;
    EXPECT_EQ(ProcessLock(LockId::kGeneral).Depth(), 0u) << chunk;
  }
  // The force flag is still set: no grant happened.
  lua_State* usable = NewState();
  CreateDatabase();
  EXPECT_EQ(RunLua(usable, "return ac.ShouldUpdateSchema(dom)"), "true");
  RunLua(usable, "ac.UpdatedSchema()");
  lua_close(usable);
  lua_close(L);
}

}  // namespace
