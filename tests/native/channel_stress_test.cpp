// The channel under load and under failure: many handles waiting on many threads,
// each in a Lua state of its own, against the driver core.
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "acdc/decoder.h"
#include "event/dispatcher.h"
#include "sim/driver_core.h"

extern "C" int luaopen_acdc(lua_State* L);

namespace {

using acdc::event::AcEvent;
using acdc::event::AcReply;

// Every fourth event goes to Lua; the rest are decided natively (type 13 has no
// handler: REPLY_ERROR).
int QuarterToLua(AcReply* reply, AcEvent* ev) {
  if (ev->evt->id % 4 == 0) return 0;
  return acdc::event::DispatchEvent(reply, ev);
}

int64_t Ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A Lua state with the module as global `acdc`, run on a thread of its own.
struct LuaThread {
  lua_State* L = nullptr;
  std::thread thread;
  std::string result;  // the chunk's results joined by spaces, or "error: ..."
  int64_t ended_ms = 0;

  LuaThread() {
    L = luaL_newstate();
    luaL_openlibs(L);
    luaL_requiref(L, "acdc", luaopen_acdc, 1);
    lua_pop(L, 1);
  }
  ~LuaThread() {
    Join();
    lua_close(L);
  }
  bool Do(const std::string& chunk) {
    if (luaL_dostring(L, chunk.c_str()) == 0) return true;
    ADD_FAILURE() << lua_tostring(L, -1);
    return false;
  }
  // What the chunk Start ran ended with: the get's code and message, after the count.
  std::string Status() {
    Join();
    return result.substr(result.find(' ') + 1);
  }
  void Start(std::string chunk) {
    thread = std::thread([this, chunk] {
      int base = lua_gettop(L);
      if (luaL_dostring(L, chunk.c_str()) != 0) {
        result = std::string("error: ") + lua_tostring(L, -1);
      } else {
        for (int i = base + 1; i <= lua_gettop(L); ++i) {
          if (i > base + 1) result += " ";
          result += luaL_tolstring(L, i, nullptr);
          lua_pop(L, 1);
        }
      }
      lua_settop(L, base);
      ended_ms = Ms();
    });
  }
  void Join() {
    if (thread.joinable()) thread.join();
  }
};

// Waits on the global handle h, replying to what reaches Lua, until get fails. A
// reply may fail when the driver has just gone; the driver's records tell.
const char kServe[] =
    "local n = 0 "
    "while true do "
    "  local ev, code, msg = h:get(-1, 1, 0, 0, '', 0, 0) "
    "  if not ev then return n, code, msg end "
    "  h:reply(ev, ev.id % 8 == 0 and acdc.REPLY_ALLOW or acdc.REPLY_BLOCK) "
    "  n = n + 1 "
    "end";

const std::string kStopped = "-2147024255 poll(): The system is in the process of shutting down. (-2147024255)";
const std::string kBroken = "-2147024787 poll(): The pipe has been ended. (-2147024787)";


class Channel : public testing::Test {
 protected:
  static constexpr int kHandles = 8;

  void SetUp() override {
    acdc::decoder::g_dispatch = QuarterToLua;
    exit_fd_ = eventfd(0, EFD_CLOEXEC);
    ASSERT_EQ(driver_.Listen(), 0);
    driver_.StartThread();
    for (auto& t : threads_) {
      // The exit channel as the host hands it over: a light userdata holding its number.
      lua_pushlightuserdata(t.L, reinterpret_cast<void*>(static_cast<intptr_t>(exit_fd_)));
      lua_setglobal(t.L, "exit");
      ASSERT_TRUE(t.Do("h = acdc.open(exit)"));
    }
    ASSERT_TRUE(threads_[0].Do("assert(acdc.load())"));
    ASSERT_TRUE(driver_.WaitConnections(1, 1, 2000));
  }
  void TearDown() override {
    Signal(kHandles);
    for (auto& t : threads_) t.Join();
    threads_[0].Do("acdc.unload()");
    driver_.StopThread();
    close(exit_fd_);
    acdc::decoder::g_dispatch = acdc::event::DispatchEvent;
  }

  void Signal(uint64_t n) {
    ASSERT_EQ(write(exit_fd_, &n, sizeof n), 8);
  }

  static uint64_t Make(uint64_t i, uint8_t* message) {
    acdc::sim::EventFields f;
    f.type = 13;
    f.id = static_cast<uint32_t>(i);
    f.pid = 1;
    acdc::sim::BuildEventMessage(f, i + 1, message);
    return i + 1;
  }

  // Streams `count` messages with event ids from `first_id`, `window` outstanding; the
  // stream reads the event connection itself, so the service thread rests meanwhile.
  void Stream(uint64_t count, uint32_t window, uint64_t first_id = 0) {
    driver_.StopThread();
    int64_t elapsed = driver_.RunStream(count, window, [first_id](uint64_t i, uint8_t* message) {
      return Make(first_id + i, message);
    });
    driver_.StartThread();
    ASSERT_GT(elapsed, 0) << "a reply did not come";
    ExpectEachAnsweredOnce(count, first_id);
  }

  // Each message got one reply, carrying its own ids and the code its path chose.
  void ExpectEachAnsweredOnce(uint64_t count, uint64_t first_id = 0) {
    std::vector<acdc::sim::MessageRecord> records = driver_.records();
    uint64_t checked = 0;
    for (const auto& m : records) {
      if (m.event_id < first_id || m.event_id >= first_id + count) continue;
      ++checked;
      ASSERT_EQ(m.replies, 1u) << "message " << m.message_id;
      ASSERT_EQ(m.first.message_id, m.message_id);
      ASSERT_EQ(m.first.id, m.event_id);
      uint32_t code = m.event_id % 4 != 0 ? 1 : m.event_id % 8 == 0 ? 2 : 3;
      ASSERT_EQ(m.first.code, code) << "message " << m.message_id;
    }
    EXPECT_EQ(checked, count);
    acdc::sim::Stats s = driver_.stats();
    EXPECT_EQ(s.duplicates + s.unknown + s.mismatched + s.malformed + s.timed_out + s.late, 0u);
  }

  acdc::sim::DriverCore driver_{[] {
    acdc::sim::Options o;
    o.hold_ms = 20000;
    return o;
  }()};
  int exit_fd_ = -1;
  LuaThread threads_[kHandles];
};

TEST_F(Channel, EightHandlesOnEightThreadsAnswerEachMessageOnce) {
  constexpr uint64_t kMessages = 100000;
  for (auto& t : threads_) t.Start(kServe);
  Stream(kMessages, 64);
  // Eight signals stop the eight handles, one each.
  Signal(kHandles);
  uint64_t to_lua = 0;
  for (auto& t : threads_) {
    EXPECT_EQ(t.Status(), kStopped) << t.result;
    to_lua += std::stoull(t.result);
  }
  EXPECT_EQ(to_lua, kMessages / 4);
  for (auto& t : threads_) EXPECT_TRUE(t.Do("assert(h:isdone())"));
}

TEST_F(Channel, DriverThatDiesMidStreamBreaksEveryWaiterAndComesBack) {
  for (auto& t : threads_) t.Start(kServe);
  for (uint32_t i = 0; i < 2000; ++i) {
    uint8_t message[acdc::sim::kEventMessageSize];
    Make(i, message);
    driver_.SendRaw(message, sizeof message, i + 1, true);
  }
  int64_t crash = Ms();
  driver_.Crash();
  for (auto& t : threads_) {
    EXPECT_EQ(t.Status(), kBroken);
    EXPECT_LT(t.ended_ms - crash, 1000);
  }
  // Unload finds nobody; the driver comes back; load again, with the same handles.
  EXPECT_TRUE(threads_[0].Do(
      "local ok, code, msg = acdc.unload() "
      "assert(msg == 'FilterUnload(L\"acdc\"): The system cannot find the file specified. (-2147024894)', msg)"));
  ASSERT_EQ(driver_.Listen(), 0);
  ASSERT_TRUE(threads_[0].Do("assert(acdc.load())"));
  ASSERT_TRUE(driver_.WaitConnections(1, 1, 2000));
  for (auto& t : threads_) t.Start(kServe);
  Stream(4000, 16, 10000);
}

TEST_F(Channel, UnloadDuringAGetEndsItAsBroken) {
  threads_[0].Start(kServe);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int64_t unload = Ms();
  ASSERT_TRUE(threads_[1].Do("assert(acdc.unload())"));
  threads_[0].Join();
  EXPECT_EQ(threads_[0].result, "0 " + kBroken);
  EXPECT_LT(threads_[0].ended_ms - unload, 1000);
  // The same handle waits again after the next load.
  ASSERT_TRUE(threads_[1].Do("assert(acdc.load())"));
  ASSERT_TRUE(driver_.WaitConnections(1, 1, 2000));
  threads_[0].Start(kServe);
  Stream(100, 1);
}

TEST_F(Channel, HandlesClosedOrCollectedWhileAnotherWaits) {
  threads_[0].Start(kServe);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // A handle whose wait timed out (on Windows its receive stays armed), then
  // collected while the other thread's wait polls; and one that is only closed.
  LuaThread& other = threads_[1];
  ASSERT_TRUE(other.Do(
      "local g = acdc.open(exit) "
      "local ok, code = g:get(0, 1, 0, 0, '', 0, 0) assert(code == -2147024638) "
      "g = nil collectgarbage() collectgarbage() "
      "assert(h:close() == true)"));
  Stream(1000, 4);
  // Only the first thread waits: the signal is its.
  Signal(1);
  EXPECT_EQ(threads_[0].Status(), kStopped);
  // The closed handle still waits and answers.
  other.Start(kServe);
  Stream(100, 1, 5000);
}

}  // namespace
