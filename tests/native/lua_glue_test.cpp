// The Lua glue driven from C++ with the library's counters at hand: values that no
// Lua test can reach in reasonable time.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "event/counters.h"
#include "event/records.h"
#include "platform/services.h"

extern "C" int luaopen_acdc(lua_State* L);

namespace {

TEST(EventAbstractionStats, CountersPast32BitsReadModulo2To32) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaL_requiref(L, "acdc", luaopen_acdc, 0);
  lua_pop(L, 1);
  using acdc::event::g_counters;
  const uint64_t saved = g_counters[acdc::event::run_program].load();
  g_counters[acdc::event::run_program].store((uint64_t{1} << 32) + 5);
  for (const char* fn : {"EventAbstractionStats", "BindStats"}) {
    std::string chunk = std::string("return require('acdc').") + fn + "().run_program";
    ASSERT_EQ(luaL_dostring(L, chunk.c_str()), 0) << lua_tostring(L, -1);
    EXPECT_EQ(lua_tonumber(L, -1), 5) << fn;
    lua_pop(L, 1);
  }
  g_counters[acdc::event::run_program].store(saved);
  lua_close(L);
}

// acdc.AbstractEvent leaves the event it built in its per-state scratch record,
// upvalue 1 of every module function; no handler exposes the fields to Lua yet.
class AbstractEventGlue : public testing::Test {
 protected:
  void SetUp() override {
    L_ = luaL_newstate();
    luaL_openlibs(L_);
    luaL_requiref(L_, "acdc", luaopen_acdc, 1);
    lua_getfield(L_, -1, "AbstractEvent");
    ASSERT_NE(lua_getupvalue(L_, -1, 1), nullptr);
    record_ = static_cast<const acdc::event::EventRecord*>(lua_touserdata(L_, -1));
    ASSERT_NE(record_, nullptr);
    lua_settop(L_, 0);
  }
  void TearDown() override { lua_close(L_); }

  // Runs AbstractEvent on the table that `table` (Lua source) makes. The table stays
  // in a global, so the strings the record borrows (basedir) stay alive.
  void Run(const char* table) {
    std::string chunk = std::string("event = ") + table + " return acdc.AbstractEvent(event)";
    ASSERT_EQ(luaL_dostring(L_, chunk.c_str()), 0) << lua_tostring(L_, -1);
    EXPECT_EQ(lua_tointeger(L_, 1), 11);  // no type has a handler yet: REPLY_ERROR
    EXPECT_EQ(lua_tointeger(L_, 2), 1);
    lua_settop(L_, 0);
  }

  lua_State* L_ = nullptr;
  const acdc::event::EventRecord* record_ = nullptr;
};

// Each key lands in its own field, the path fields derived from both paths; the
// scratch record is reused, so an event that sets nothing but its type must then
// read as all zeros.
TEST_F(AbstractEventGlue, EachKeyLandsInItsOwnFieldAndAbsentKeysLeaveItZero) {
  Run(R"({type = 99, flags = 2^63 + 2^11, rc = -7, dirty = 3, maintenanceMode = 4, lockdown = 6,
          basedir = [[C:\Base;D:\Other]], authorizeStartTime = 1700000000123,
          rlpath = [[C:\Dir\File.TXT]], procName = [[C:\P\Tool.EXE]]})");
  const acdc::event::AcEventData& d = record_->data;
  const acdc::event::AcEvent& e = record_->event;
  EXPECT_EQ(d.type, 99u);
  EXPECT_EQ(d.flags, 0x8000000000000800u);
  EXPECT_EQ(d.rc, -7);
  EXPECT_EQ(d.dirty, 3);
  EXPECT_EQ(e.maintenanceMode, 4u);
  EXPECT_EQ(e.lockdown, 6u);
  EXPECT_STREQ(e.basedir, "C:\\Base;D:\\Other");
  EXPECT_EQ(e.authorizeStartTime, 1700000000123u);
  EXPECT_STREQ(d.name, "C:\\Dir\\File.TXT");
  EXPECT_STREQ(e.rlpath, "c:\\dir\\file.txt");
  EXPECT_STREQ(e.path, "C:\\Dir\\");
  EXPECT_STREQ(e.fileName, "File.TXT");
  EXPECT_STREQ(e.fileExtension, "TXT");
  EXPECT_STREQ(e.procName, "C:\\P\\Tool.EXE");
  EXPECT_STREQ(e.procPath, "C:\\P\\");
  EXPECT_STREQ(e.procFileName, "Tool.EXE");
  EXPECT_STREQ(e.procExtension, "exe");
  EXPECT_EQ(d.id, 0u);
  EXPECT_EQ(d.mode, 0);
  EXPECT_EQ(d.fd, 0);
  EXPECT_EQ(e.pid, 0u);
  EXPECT_STREQ(d.oldname, "");
  EXPECT_STREQ(e.realpath, "");
  EXPECT_EQ(e.traceFile, nullptr);
  EXPECT_EQ(d.pid, 555u);
  EXPECT_EQ(e.ac_on, 1u);

  Run("{type = 98}");
  EXPECT_EQ(d.type, 98u);
  EXPECT_EQ(d.flags + e.authorizeStartTime + e.maintenanceMode + e.lockdown, 0u);
  EXPECT_EQ(d.rc | d.dirty, 0);
  for (const char* text : {e.basedir, d.name, e.rlpath, e.path, e.fileName, e.fileExtension, e.procName,
                           e.procPath, e.procFileName, e.procExtension})
    EXPECT_STREQ(text, "");
  EXPECT_EQ(d.pid, 555u);
  EXPECT_EQ(e.ac_on, 1u);
}

// C readers of the record stop at the first NUL, so the text does too: what follows
// never reaches the buffer and does not count against the 4095-byte limit.
TEST_F(AbstractEventGlue, TextEndsAtItsFirstNul) {
  Run(R"({type = 99, rlpath = "C:\\\255\254\0" .. ("tail"):rep(2000), procName = "C:\\p.exe\0x"})");
  EXPECT_EQ(std::memcmp(record_->data.name, "C:\\\xff\xfe\0\0\0\0\0", 10), 0);
  EXPECT_STREQ(record_->event.procName, "C:\\p.exe");
  EXPECT_EQ(record_->event.procName[9], '\0');
}

// Module acdc's triples take the system text as Windows writes it into 128 UTF-16
// units: 125 visible characters fit whole, whatever their UTF-8 length; 126 leave the
// text out. The system's lookup is substituted, since no real text is that long.
std::u16string g_system_text;
size_t SubstitutedText(acdc::platform::Win32Error, char16_t* out, size_t cap) {
  if (g_system_text.size() + 1 > cap) return 0;
  std::copy(g_system_text.begin(), g_system_text.end(), out);
  out[g_system_text.size()] = u'\0';
  return g_system_text.size();
}

TEST(ErrorTriple, AcdcTextsFitIn128UnitsOrAreLeftOut) {
  acdc::platform::Services saved = acdc::platform::g_services;
  acdc::platform::g_services.system_message = SubstitutedText;
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaL_requiref(L, "acdc", luaopen_acdc, 0);
  lua_pop(L, 1);
  std::string accented;
  for (int i = 0; i < 125; ++i) accented += "\xC3\xA9";
  const struct {
    size_t units;
    std::string text;
  } cases[] = {{125, accented}, {126, ""}};
  for (const auto& c : cases) {
    g_system_text = std::u16string(c.units, u'\u00e9') + u"\r\n";
    ASSERT_EQ(luaL_dostring(L, "return select(3, require('acdc').GetProcNameFromPid(999999999))"), 0);
    EXPECT_EQ(std::string(lua_tostring(L, -1)), "l_GetProcNameFromPid:999999999:OpenProcess: " + c.text + " (87)")
        << c.units;
    lua_pop(L, 1);
  }
  lua_close(L);
  acdc::platform::g_services = saved;
}

}  // namespace
