// Decoding through get, end to end, with the fast path substituted: each dispatch
// result, the event table, the subtype check, the answers the driver gets and the
// two debug logs.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "acdc/channel.h"
#include "acdc/decoder.h"
#include "event/dispatcher.h"
#include "event/text.h"
#include "sim/driver_core.h"

extern "C" int luaopen_acdc(lua_State* L);

namespace {

using acdc::event::AcEvent;
using acdc::event::AcReply;

// The substitute fast path: event id 100 + R gives dispatch result R (0, 1, 11), with
// reply code 2 and findings the table and the logs must carry.
int FakeDispatch(AcReply* reply, AcEvent* ev) {
  int result = static_cast<int>(ev->evt->id) - 100;
  acdc::event::CopyText(ev->procName, acdc::event::kTextCapacity, "C:\\Tools\\app.exe");
  acdc::event::CopyText(ev->rlpath, acdc::event::kTextCapacity, "c:\\data\\file.txt");
  acdc::event::CopyText(ev->path, acdc::event::kTextCapacity, "C:\\Data\\");
  acdc::event::CopyText(ev->fileName, acdc::event::kTextCapacity, "File.TXT");
  acdc::event::CopyText(ev->fileExtension, acdc::event::kExtensionCapacity, "TXT");
  ev->size = (uint64_t{1} << 32) + 5;
  ev->processTypeIndex = 3;
  ev->isexec = 1;
  ev->pid = (uint64_t{1} << 32) + 9;
  ev->evt->action_type_str = "SCRIPT_EXECUTION";
  ev->evt->operationType = "update";
  acdc::event::DumpEvent(*ev);
  if (result != 0) {
    reply->code = 2;
    reply->id = static_cast<uint32_t>(ev->evt->id);
  }
  return result;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const std::string kLogDir = std::string(ACDC_DRIVE_C) + "/ProgramData/Halvex/Sentrel/ac";

class Decoding : public testing::Test {
 protected:
  void SetUp() override {
    acdc::decoder::g_dispatch = FakeDispatch;
    ASSERT_EQ(driver_.Listen(), 0);
    driver_.StartThread();
    L_ = luaL_newstate();
    luaL_openlibs(L_);
    luaL_requiref(L_, "acdc", luaopen_acdc, 1);
    lua_pop(L_, 1);
    Run("assert(acdc.load()) h = acdc.open()");
    ASSERT_TRUE(driver_.WaitConnections(1, 1, 2000));
  }
  void TearDown() override {
    Run("acdc.unload()");
    lua_close(L_);
    driver_.StopThread();
    acdc::decoder::g_dispatch = acdc::event::DispatchEvent;
    std::remove((kLogDir + "/eventAbstraction.log").c_str());
    std::remove((kLogDir + "/FileSystemEvents").c_str());
    rmdir(kLogDir.c_str());
  }

  void Run(const std::string& chunk) { ASSERT_EQ(luaL_dostring(L_, chunk.c_str()), 0) << lua_tostring(L_, -1); }

  // get with trace flag `trace`: the event table's fields, sorted, as "k=v ...", or
  // "nil <code> <message>" for an error triple.
  std::string Get(int trace) {
    std::string chunk = "local ev, code, msg = h:get(2000, 1, 0, " + std::to_string(trace) +
                        ", 'C:\\\\base', 0, 0) "
                        "if not ev then return 'nil ' .. tostring(code) .. ' ' .. tostring(msg) end "
                        "local keys = {} for k in pairs(ev) do keys[#keys + 1] = k end table.sort(keys) "
                        "local out = {} for _, k in ipairs(keys) do out[#out + 1] = k .. '=' .. tostring(ev[k]) end "
                        "last = ev return table.concat(out, ' ')";
    if (luaL_dostring(L_, chunk.c_str()) != 0) return std::string("error: ") + lua_tostring(L_, -1);
    size_t len;
    const char* text = lua_tolstring(L_, -1, &len);
    std::string s(text, len);
    lua_pop(L_, 1);
    return s;
  }

  acdc::sim::MessageRecord Reply(uint64_t message_id, int timeout_ms = 2000) {
    acdc::sim::MessageRecord m;
    m.replies = 99;
    EXPECT_TRUE(driver_.WaitReply(message_id, timeout_ms, &m)) << "message " << message_id;
    return m;
  }

  // type, id, missed, pid, ppid, subtype, rc, fd, delete, mode, flags, dirty, name, oldname, sid.
  acdc::sim::EventFields Fields(uint32_t id) {
    return {12, id, 3, 0xFFFFFFF0u, 6, "open", -2, -3, 1, 0x80000001u, 0xFFFFFFFFu, 1, "C:\\Data\\\xC3\x84.txt",
            "C:\\old", std::string("\x01\x02\0\x03", 4), {}, {}, {}};
  }

  acdc::sim::DriverCore driver_{[] {
    acdc::sim::Options o;
    o.hold_ms = 600;
    return o;
  }()};
  lua_State* L_ = nullptr;
};

const std::string kFullTable =
    "MessageId=1000 action_type=SCRIPT_EXECUTION delete=1 dirty=1 fd=-3 fileExtension=TXT fileName=File.TXT "
    "flags=4294967295 id=100 isexec=true missed=3 mode=2147483649 name=C:\\Data\\\xC3\x84.txt namesize=14 "
    "oldname=C:\\old oldnamesize=6 operationType=update path=C:\\Data\\ pid=4294967280 ppid=6 "
    "processName=C:\\Tools\\app.exe rc=-2 realpath=c:\\data\\file.txt ruleset= " +
    std::string("sid=\x01\x02\0\x03", 8) + " sidsize=4 size=4294967301 subtype=open type=12";

TEST_F(Decoding, LuaDecidesAndAnswersItsEvents) {
  uint64_t message_id = (uint64_t{7} << 32) + 1000;
  ASSERT_TRUE(driver_.SendEvent(Fields(100), message_id));
  EXPECT_EQ(Get(0), kFullTable);
  acdc::sim::MessageRecord none;
  EXPECT_FALSE(driver_.WaitReply(message_id, 100, &none));
  // Lua's reply carries the table's 32-bit MessageId: the driver sees another id.
  Run("assert(h:reply(last, acdc.REPLY_BLOCK))");
  acdc::sim::MessageRecord m = Reply(message_id);
  EXPECT_TRUE(m.timed_out);
  EXPECT_EQ(m.replies, 0u);
  EXPECT_EQ(driver_.stats().unknown, 1u);  // message 1000, never sent
  // With an id below 2^32 the same reply reaches its message.
  ASSERT_TRUE(driver_.SendEvent(Fields(100), 1000));
  EXPECT_EQ(Get(0), kFullTable);
  Run("assert(h:reply(last, acdc.REPLY_BLOCK))");
  m = Reply(1000);
  EXPECT_EQ(m.replies, 1u);
  EXPECT_EQ(m.first.code, 3u);
  EXPECT_EQ(m.first.id, 100u);
}

TEST_F(Decoding, NativeAnswersCarryTheFullMessageIdAndShowInBindAction) {
  uint64_t shown = (uint64_t{1} << 40) + 1, finished = (uint64_t{3} << 33) + 2;
  ASSERT_TRUE(driver_.SendEvent(Fields(101), shown));
  ASSERT_TRUE(driver_.SendEvent(Fields(111), finished));
  std::string table = Get(0);
  EXPECT_NE(table.find("MessageId=1 "), std::string::npos) << table;
  EXPECT_NE(table.find("bind_action=2 "), std::string::npos) << table;
  acdc::sim::MessageRecord m = Reply(shown);
  EXPECT_EQ(m.replies, 1u);
  EXPECT_EQ(m.first.message_id, shown);
  EXPECT_EQ(m.first.code, 2u);
  EXPECT_EQ(m.first.id, 101u);
  // Result 11 never reaches Lua: get waits on and times out.
  EXPECT_EQ(Get(0).substr(0, 15), "nil -2147024638");
  m = Reply(finished);
  EXPECT_EQ(m.replies, 1u);
  EXPECT_EQ(m.first.message_id, finished);
  EXPECT_EQ(driver_.stats().duplicates, 0u);
}

TEST_F(Decoding, MalformedSubtypeRaisesAndTheMessageIsAnsweredOnce) {
  const std::string kError =
      "error: Subtype is not null-terminated: 'ABCDEFGHIJKLMNOP' hex "
      "41:42:43:44:45:46:47:48:49:4A:4B:4C:4D:4E:4F:50\n";
  acdc::sim::EventFields f = Fields(100);
  f.subtype = "ABCDEFGHIJKLMNOP";
  ASSERT_TRUE(driver_.SendEvent(f, 1));  // left to Lua: answered REPLY_ERROR
  EXPECT_EQ(Get(0), kError);
  f.id = 101;
  ASSERT_TRUE(driver_.SendEvent(f, 2));  // answered natively already: not again
  EXPECT_EQ(Get(0), kError);
  acdc::sim::MessageRecord m = Reply(1);
  EXPECT_EQ(m.replies, 1u);
  EXPECT_EQ(m.first.code, 1u);
  EXPECT_EQ(m.first.id, 100u);
  m = Reply(2);
  EXPECT_EQ(m.first.code, 2u);
  EXPECT_TRUE(driver_.WaitIdle(2000));
  EXPECT_EQ(driver_.stats().duplicates, 0u);
  EXPECT_EQ(driver_.records()[1].replies, 1u);

  f.id = 100;
  f.subtype = std::string("ab\0\0\0\0\0\0\0\0\0\0\0\0\0x", 16);  // a NUL inside does not count
  ASSERT_TRUE(driver_.SendEvent(f, 3));
  EXPECT_EQ(Get(0),
            "error: Subtype is not null-terminated: 'ab' hex 61:62:00:00:00:00:00:00:00:00:00:00:00:00:00:78\n");
  f.subtype = "ABCDEFGHIJKLMNO";  // 15 characters and the NUL
  ASSERT_TRUE(driver_.SendEvent(f, 4));
  EXPECT_NE(Get(0).find(" subtype=ABCDEFGHIJKLMNO "), std::string::npos);
  f.subtype = std::string("\0bcdefghijklmnop", 16);  // empty: no subtype at all
  ASSERT_TRUE(driver_.SendEvent(f, 5));
  EXPECT_EQ(Get(0).find("subtype"), std::string::npos);
}

TEST_F(Decoding, SizesAreClampedToTheirFieldsAndOddBytesIgnored) {
  acdc::sim::EventFields f = Fields(100);
  f.name = "AB";
  f.namesize = 5;
  f.oldname = std::string(600, 'x');
  f.oldnamesize = 5000;
  f.sid = "s";
  f.sidsize = 0xFFFFFFFFu;
  ASSERT_TRUE(driver_.SendEvent(f, 1));
  std::string table = Get(0);
  EXPECT_NE(table.find(" name=AB namesize=2 "), std::string::npos) << table;
  EXPECT_NE(table.find(" oldname=" + std::string(512, 'x') + " oldnamesize=512 "), std::string::npos);
  EXPECT_NE(table.find(" sidsize=1024 "), std::string::npos);
  // A NUL unit ends a name.
  f.name = std::string("ab\0cd", 5);
  f.namesize = std::nullopt;
  ASSERT_TRUE(driver_.SendEvent(f, 3));
  table = Get(0);
  EXPECT_NE(table.find(" name=ab namesize=2 "), std::string::npos) << table;
  // Nothing of it stays behind the NUL in the per-state record get decodes into.
  lua_getglobal(L_, "acdc");
  lua_getfield(L_, -1, "open");
  ASSERT_NE(lua_getupvalue(L_, -1, 1), nullptr);
  const auto* record = static_cast<const acdc::event::EventRecord*>(lua_touserdata(L_, -1));
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(acdc::event::EventRecordTextsAreClean(*record));
  lua_pop(L_, 3);
  f.name = "";
  f.namesize = std::nullopt;
  f.oldname = "";
  f.oldnamesize = std::nullopt;
  f.sidsize = 0;
  ASSERT_TRUE(driver_.SendEvent(f, 2));
  table = Get(0);
  for (const char* key : {"name=", "namesize", "oldname", "sid="}) EXPECT_EQ(table.find(key), std::string::npos) << key;
}

class DebugLogs : public Decoding {
 protected:
  void SetUp() override {
    std::string dir;
    for (const char* part : {"", "/ProgramData", "/Halvex", "/Sentrel", "/ac"}) {
      dir += part;
      mkdir((std::string(ACDC_DRIVE_C) + dir).c_str(), 0755);
    }
    std::remove((kLogDir + "/eventAbstraction.log").c_str());
    std::remove((kLogDir + "/FileSystemEvents").c_str());
    Decoding::SetUp();
  }
  std::string Trace() { return ReadFile(kLogDir + "/eventAbstraction.log"); }
  std::string Events() { return ReadFile(kLogDir + "/FileSystemEvents"); }
};

TEST_F(DebugLogs, EventLeftToLua) {
  ASSERT_TRUE(driver_.SendEvent(Fields(100), 1));
  EXPECT_EQ(Get(1).substr(0, 15), "MessageId=1 act");
  // The trace prints the record's 64-bit fields in full (PID), the events log the low
  // 32 bits of its %lu fields (size, 2^32 + 5).
  EXPECT_EQ(Trace(),
            "==EVENT==\n"
            "ac_on=1, lockdown=0, maintenanceMode=0, basedir=C:\\base, Event=AC_EVENT_CLEANUP_PRE=12\n"
            "PID: 4294967305\nTYPE: 12\nRLPATH: \nProcName: C:\\Tools\\app.exe\nProcExtension: \nPATH: \n"
            "FileName: \nExtension: TXT\n"
            "LUA fall through for id 100 type 12 name C:\\Data\\\xC3\x84.txt realpath c:\\data\\file.txt\n"
            "EXIT\n\n");
  EXPECT_EQ(Events(),
            "{\"event\":\"AC_EVENT_CLEANUP_PRE\",\"name\":\"C:\\Data\\\xC3\x84.txt\",\"oldname\":\"C:\\old\","
            "\"realpath\":\"c:\\data\\file.txt\",\"path\":\"C:\\Data\\\",\"fileName\":\"File.TXT\","
            "\"fileExtension\":\"TXT\",\"size\":5,\"bind_action\":0,\"cache_type\":-1,\"isdrift\":0,"
            "\"newfilter\":0,\"processTypeIndex\":3,\"action_type\":\"NULL\","
            "\"action_type_str\":\"SCRIPT_EXECUTION\",\"operationType\":\"update\",\"newExtension\":\"\","
            "\"previousMode\":0,\"ruleset\":\"\",\"pid\":-16,\"dirty\":1,\"rc\":4294967294,\"fd\":-3,"
            "\"flags\":-1,\"mode\":-2147483647}\n");
}

TEST_F(DebugLogs, EventFinishedNativelyAndEventOutOfRange) {
  ASSERT_TRUE(driver_.SendEvent(Fields(111), 1));
  acdc::sim::EventFields f = Fields(7);
  f.type = 50;
  ASSERT_TRUE(driver_.SendEvent(f, 2));
  EXPECT_EQ(Get(1).substr(0, 15), "nil -2147024638");
  std::string trace = Trace();
  EXPECT_NE(trace.find("Replying EAGAIN for id 111 type 12 name C:\\Data\\\xC3\x84.txt realpath c:\\data\\file.txt\n\n"
                       "==EVENT==\nac_on=1, lockdown=0, maintenanceMode=0, basedir=C:\\base, Event==50\n"),
            std::string::npos)
      << trace;
  std::string events = Events();
  EXPECT_NE(events.find("\"bind_action\":0,"), std::string::npos);  // written before the reply
  const std::string kOutOfRange = "{\"error\":\"OUT_OF_RANGE\",\"event\":\"\",\"event_num\":50\n}";
  ASSERT_GT(events.size(), kOutOfRange.size());
  EXPECT_EQ(events.substr(events.size() - kOutOfRange.size()), kOutOfRange);
  EXPECT_EQ(Reply(2).first.code, 1u);
}

// Also traced: logs that cannot open are skipped.
TEST_F(Decoding, ShortPacketsAreDroppedAndCounted) {
  ASSERT_NE(access(kLogDir.c_str(), F_OK), 0) << "the log folder must not exist here";
  uint64_t before = acdc::channel::DroppedShortPackets();
  ASSERT_TRUE(driver_.SendRaw("0123456789", 10, 0, false));
  ASSERT_TRUE(driver_.SendRaw("", 0, 0, false));
  ASSERT_TRUE(driver_.SendEvent(Fields(100), 1));
  EXPECT_EQ(Get(1).substr(0, 15), "MessageId=1 act");
  EXPECT_EQ(acdc::channel::DroppedShortPackets() - before, 2u);
  EXPECT_EQ(driver_.stats().malformed + driver_.stats().unknown, 0u);
}

}  // namespace
