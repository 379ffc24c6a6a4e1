// Module ac's statistics and filter-set functions driven from C++: several Lua
// states on several threads, the locks after a raised error, and the objects that
// FilterSetDump takes or ignores.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "corelib/vrel_core.h"
#include "platform/core_library.h"
#include "platform/recursive_lock.h"

extern "C" int luaopen_ac(lua_State* L);

namespace {

namespace core = acdc::platform::core;
using acdc::platform::LockId;
using acdc::platform::ProcessLock;

// A Lua state with module ac in the global `ac`.
lua_State* NewState() {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaL_requiref(L, "ac", luaopen_ac, 1);
  lua_pop(L, 1);
  return L;
}

// Runs `chunk`; its error text, or "" when it ran.
std::string RunLua(lua_State* L, const std::string& chunk) {
  if (luaL_dostring(L, chunk.c_str()) == 0) {
    lua_settop(L, 0);
    return "";
  }
  std::string err = lua_tostring(L, -1);
  lua_settop(L, 0);
  return err;
}

TEST(StatisticsGlue, FourLuaStatesOnFourThreadsLoseNoIncrement) {
  constexpr int kThreads = 4, kIncrements = 20000;
  lua_State* main = NewState();
  ASSERT_EQ(RunLua(main, "ac.ClearStatsVar(100) ac.ClearStatsVar(101)"), "");
  std::vector<std::string> errors(kThreads);
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t) {
    pool.emplace_back([&, t] {
      lua_State* L = NewState();
      errors[t] = RunLua(L, "for i = 1, " + std::to_string(kIncrements) + " do ac.IncStatsVar(100) ac.IncStatsVar(101, -0.5) end");
      lua_close(L);
    });
  }
  for (std::thread& th : pool) th.join();
  for (const std::string& e : errors) EXPECT_EQ(e, "");
  EXPECT_EQ(RunLua(main, "assert(ac.GetStatsVar(100) == 80000, ac.GetStatsVar(100))"), "");
  EXPECT_EQ(RunLua(main, "assert(ac.GetStatsVar(101) == -40000, ac.GetStatsVar(101))"), "");
  lua_close(main);
}

TEST(StatisticsGlue, TheNameIndexBelongsToEachLuaState) {
  lua_State* a = NewState();
  lua_State* b = NewState();
  EXPECT_EQ(RunLua(a, "ac.InitStats { events = 9 } ac.SetStatsVar('events', 3)"), "");
  EXPECT_EQ(RunLua(b, "ac.GetStatsVar('events')"), "[string \"ac.GetStatsVar('events')\"]:1: bad argument #1 to "
                                                   "'GetStatsVar' (Stats not set)");
  EXPECT_EQ(RunLua(b, "assert(ac.GetStatsVar(9) == 3)"), "");
  lua_close(a);
  lua_close(b);
}

// Every failure is raised before a counter is touched, so none leaves the
// statistics lock held by the thread that called.
TEST(StatisticsGlue, ARaisedErrorLeavesTheLockFree) {
  lua_State* L = NewState();
  const char* failing[] = {
      "ac.SetStatsVar(128, 1)", "ac.SetStatsVar(1, 'x')", "ac.GetStatsVar('nope')", "ac.IncStatsVar(-1)",
      "ac.ClearStatsVar({})",   "ac.StatsEvent()",        "ac.InitStats(5)",
  };
  EXPECT_EQ(RunLua(L, "ac.InitStats {}"), "");
  for (const char* chunk : failing) {
    EXPECT_NE(RunLua(L, chunk), "") << chunk;
    EXPECT_EQ(ProcessLock(LockId::kStatistics).Depth(), 0u) << chunk;
  }
  lua_close(L);
}

// A block as the stand-in lays it out, with the stream as its payload.
struct Block {
  core::ObjectHeader header;
  void* object;
};

void* PayloadObject(void* block, void* payload) { return *static_cast<void**>(payload); }

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t Occurrences(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

// Only a writable zip output stream of the core library gets the entry: a light
// userdata, a block shorter than the header, a block without the stand-in's mark
// and a read-only reference are no stream, and the call does nothing, silently.
TEST(FilterSetDumpGlue, WritesOnlyIntoAWritableStream) {
  struct Case {
    const char* name;
    bool light;
    size_t size;
    uint32_t mode;
    uint32_t mark;
    size_t entries;  // the entry's name appears in its local header and the directory
  } cases[] = {
      {"light userdata", true, sizeof(Block), 0, core::kStandInMark, 0},
      {"short block", false, 24, 0, core::kStandInMark, 0},
      {"no stand-in mark", false, sizeof(Block), 0, 0, 0},
      {"read-only", false, sizeof(Block), core::kConstantAccess, core::kStandInMark, 0},
      {"writable", false, sizeof(Block), 0, core::kStandInMark, 2},
  };
  char folder[] = "/tmp/ac_glue_test.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  lua_State* L = NewState();
  ASSERT_EQ(RunLua(L, "ac.ClearFilterSet() ac.AddToFilterSet(77)"), "");
  for (const Case& c : cases) {
    const std::string path = std::string(folder) + "/dump.zip";
    vrel_core::ZipStream* stream = vrel_core::OpenZipStream(path.c_str());
    ASSERT_NE(stream, nullptr);
    Block block{{c.mode, c.mark, core::kZipOutputStreamType, PayloadObject, nullptr}, stream};
    lua_getglobal(L, "ac");
    lua_getfield(L, -1, "FilterSetDump");
    if (c.light) {
      lua_pushlightuserdata(L, &block);
    } else {
      void* ud = lua_newuserdata(L, c.size);
      std::memcpy(ud, &block, c.size);
    }
    EXPECT_EQ(lua_pcall(L, 1, LUA_MULTRET, 0), 0) << c.name;
    EXPECT_EQ(lua_gettop(L), 1) << c.name << ": results";
    lua_settop(L, 0);
    ASSERT_TRUE(vrel_core::CloseZipStream(stream)) << c.name;
    EXPECT_EQ(Occurrences(Slurp(path), "ac/filterSet"), c.entries) << c.name;
    unlink(path.c_str());
  }
  lua_close(L);
  rmdir(folder);
}

}  // namespace
