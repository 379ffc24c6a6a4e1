// The process-wide locks: four Lua states on four threads take the general and the
// auto-authorize command lock through module ac, recursively, with a Leave by a
// thread that does not own the lock among them; and one thread waits while another
// holds a lock two levels deep.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "platform/recursive_lock.h"

extern "C" int luaopen_ac(lua_State* L);

namespace {

using acdc::platform::LockId;
using acdc::platform::ProcessLock;

constexpr int kThreads = 4;
constexpr int kRounds = 2000;

// What the threads share, per lock (0 general, 1 auto-authorize command). `inside`
// counts threads within one lock's sections at once; `total` is a plain integer, so
// a section entered by two threads at once is also a data race that
// ThreadSanitizer reports.
struct Shared {
  std::atomic<int> inside[2] = {};
  std::atomic<int> overlaps[2] = {};
  long total[2] = {};
  std::atomic<int> wrong_depth{0};
  std::atomic<int> done{0};
};

Shared* g_shared = nullptr;

// section(lock): the body of a critical section, run by Lua while it holds `lock`
// (1 general, 2 auto-authorize command) two levels deep.
int l_section(lua_State* L) {
  int k = lua_tointeger(L, 1) == 1 ? 0 : 1;
  LockId id = k == 0 ? LockId::kGeneral : LockId::kAutoAuthorizeCommand;
  if (ProcessLock(id).Depth() != 2) g_shared->wrong_depth.fetch_add(1);
  if (g_shared->inside[k].fetch_add(1) != 0) g_shared->overlaps[k].fetch_add(1);
  long t = g_shared->total[k];
  std::this_thread::yield();
  g_shared->total[k] = t + 1;
  g_shared->inside[k].fetch_sub(1);
  return 0;
}

// depth(lock): the calling thread's depth in `lock`.
int l_depth(lua_State* L) {
  LockId id = lua_tointeger(L, 1) == 1 ? LockId::kGeneral : LockId::kAutoAuthorizeCommand;
  lua_pushinteger(L, ProcessLock(id).Depth());
  return 1;
}

// Each round takes one of the two locks, alternating, so all four threads contend
// for both: it enters twice, checks the depth after one leave, leaves again. Every
// 100th round first leaves the lock it does not hold yet.
constexpr char kChunk[] = R"(
  local ac, rounds, index = ...
  for i = 1, rounds do
    local which = (i + index) % 2 == 0 and 1 or 2
    local enter = which == 1 and ac.EnterCriticalSection or ac.EnterAutoAuthorizeCommandCS
    local leave = which == 1 and ac.LeaveCriticalSection or ac.LeaveAutoAuthorizeCommandCS
    if i % 100 == 0 then leave() end
    enter()
    enter()
    section(which)
    leave()
    assert(depth(which) == 1, "one leave after two enters must keep the lock")
    leave()
    assert(depth(which) == 0, "the second leave must release the lock")
  end
)";

void Worker(int index, std::string* error) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  lua_register(L, "section", l_section);
  lua_register(L, "depth", l_depth);
  if (luaL_loadstring(L, kChunk) != 0) {
    *error = lua_tostring(L, -1);
  } else {
    luaL_requiref(L, "ac", luaopen_ac, 0);
    lua_pushinteger(L, kRounds);
    lua_pushinteger(L, index);
    if (lua_pcall(L, 3, 0, 0) != 0) *error = lua_tostring(L, -1);
  }
  lua_close(L);
  g_shared->done.fetch_add(1);
}

TEST(ProcessLocks, FourLuaStatesExcludeEachOtherAndRecurse) {
  Shared shared;
  g_shared = &shared;
  uint64_t ignored_general = ProcessLock(LockId::kGeneral).IgnoredLeaves();
  uint64_t ignored_command = ProcessLock(LockId::kAutoAuthorizeCommand).IgnoredLeaves();
  std::vector<std::string> errors(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(Worker, i, &errors[i]);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (shared.done.load() < kThreads && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (shared.done.load() < kThreads) {
    ADD_FAILURE() << "the threads did not finish within 120 s: a lock is stuck";
    std::_Exit(1);  // the threads cannot be joined
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(errors[i], "") << "thread " << i;
  // The 100th rounds of threads 0 and 2 leave the general lock, those of 1 and 3 the
  // command lock.
  EXPECT_EQ(shared.wrong_depth.load(), 0);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(shared.overlaps[k].load(), 0) << "lock " << k;
    EXPECT_EQ(shared.total[k], 2 * kRounds) << "lock " << k;
  }
  EXPECT_EQ(ProcessLock(LockId::kGeneral).IgnoredLeaves() - ignored_general, 2u * kRounds / 100);
  EXPECT_EQ(ProcessLock(LockId::kAutoAuthorizeCommand).IgnoredLeaves() - ignored_command, 2u * kRounds / 100);
  EXPECT_EQ(ProcessLock(LockId::kGeneral).Depth(), 0u);
  g_shared = nullptr;
}

TEST(ProcessLocks, HeldTwiceAndLeftOnceKeepsAnotherThreadWaiting) {
  acdc::platform::RecursiveLock& lock = ProcessLock(LockId::kStatistics);
  uint64_t ignored = lock.IgnoredLeaves();
  lock.Enter();
  lock.Enter();
  lock.Leave();
  EXPECT_EQ(lock.Depth(), 1u);
  std::atomic<bool> entered{false};
  std::thread other([&] {
    lock.Leave();  // not the owner: ignored, the lock stays with this test's thread
    lock.Enter();
    entered.store(true);
    lock.Leave();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(entered.load());
  EXPECT_EQ(lock.Depth(), 1u);
  EXPECT_EQ(lock.IgnoredLeaves(), ignored + 1);
  lock.Leave();
  other.join();
  EXPECT_TRUE(entered.load());
  EXPECT_EQ(lock.Depth(), 0u);
  lock.Leave();  // the test's thread no longer owns it either
  EXPECT_EQ(lock.IgnoredLeaves(), ignored + 2);
}

}  // namespace
