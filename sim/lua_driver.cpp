// simdriver: the Lua test-support module that plays the filter driver in-process.
//
// It runs the simulator's driver core (sim/driver_core.h) on a thread of its own, so
// that a busted test can call acdc.load() (which waits for the driver's answer),
// script exact messages, and read the replies and commands the library sent. It is a
// shared object of its own: the library itself starts no thread and exports only its
// three openers.
//
//   local simdriver = require "simdriver"
//   local d = assert(simdriver.new{hold_ms = 2000})
//   assert(acdc.load())
//   d:send({type = 13, id = 7, pid = 1234, name = "C:\\x.exe"}, 100)
//   local r = d:wait_reply(100, 1000)  -- {replies = 1, code = 1, id = 7, ...}
//
// Functions: new([options]) (hold_ms, load_result, worker_answer, file_filter_value);
// message(fields, message_id) -> the 3176 bytes; eventfd(), pipe(), signal(fd, n),
// write(fd, bytes), closefd(fd), handle(n), where a descriptor is a light userdata
// holding its number, as the library takes exit channels; getpid(); now_ms() (a
// monotonic clock); spawn(path, arg...) -> pid and kill(pid), a process to act in
// events; hooks() -> two
// profiler hooks for acdc.profiler, and hook_counts() -> how often each ran. Methods: close, listen, crash, loaded,
// connections, wait_connections, send, send_raw, wait_reply, wait_idle, stats,
// records, queue_answer, answer_commands, commands, workers, program, file_filter.
//
// Lua raises with longjmp: C++ objects live only in blocks that close before any
// push that could raise, or around pushes made under lua_pcall (Protected below).
#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include "sim/driver_core.h"

#if defined(__GNUC__)
#define SIMDRIVER_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define SIMDRIVER_EXPORT extern "C"
#endif

namespace {

using acdc::sim::DriverCore;

constexpr const char* kMetatable = "simdriver.driver";

struct Driver {
  DriverCore* core;  // null once closed
};

DriverCore* Check(lua_State* L) {
  auto* d = static_cast<Driver*>(luaL_checkudata(L, 1, kMetatable));
  luaL_argcheck(L, d->core != nullptr, 1, "driver closed");
  return d->core;
}

// Runs `push` under lua_pcall. Returns LUA_OK with its results on the stack, or the
// error status with the error object on top; the caller closes its scope, then raises.
template <typename F>
int Protected(lua_State* L, F& push, int* results) {
  int base = lua_gettop(L);
  lua_pushcfunction(L, [](lua_State* L) -> int {
    F* f = static_cast<F*>(lua_touserdata(L, 1));
    lua_remove(L, 1);
    return (*f)(L);
  });
  lua_pushlightuserdata(L, &push);
  int status = lua_pcall(L, 1, LUA_MULTRET, 0);
  *results = lua_gettop(L) - base;
  return status;
}

// A C++ failure, kept as text until its scope has closed.
struct Failure {
  char text[160] = "";
  void Set(const std::exception& e) { std::snprintf(text, sizeof text, "simdriver: %s", e.what()); }
  bool failed() const { return text[0] != '\0'; }
};

lua_Number FieldNumber(lua_State* L, int table, const char* key, lua_Number fallback = 0) {
  lua_getfield(L, table, key);
  lua_Number v = lua_type(L, -1) == LUA_TNUMBER ? lua_tonumber(L, -1) : fallback;
  lua_pop(L, 1);
  return v;
}

// A string field stays on the Lua stack while its bytes are borrowed.
const char* FieldString(lua_State* L, int table, const char* key, size_t* len) {
  lua_getfield(L, table, key);
  if (lua_type(L, -1) != LUA_TSTRING) {
    lua_pop(L, 1);
    *len = 0;
    return nullptr;
  }
  return lua_tolstring(L, -1, len);
}

uint32_t U32(lua_Number v) { return static_cast<uint32_t>(static_cast<int64_t>(v)); }
uint64_t U64(lua_Number v) { return v <= 0 ? 0 : static_cast<uint64_t>(v); }

// The event fields of the table at `table`, read without raising.
struct RawFields {
  uint32_t numbers[12];
  const char* text[4];  // subtype, name, oldname, sid
  size_t len[4];
  bool has_size[3];
  uint32_t size[3];     // namesize, oldnamesize, sidsize
};

void ReadFields(lua_State* L, int table, RawFields* f) {
  static const char* const kNumbers[12] = {"type", "id",   "missed", "pid",   "ppid",  "rc",
                                           "fd",   "delete", "mode", "flags", "dirty", "unused"};
  for (int i = 0; i < 12; ++i) f->numbers[i] = U32(FieldNumber(L, table, kNumbers[i]));
  static const char* const kTexts[4] = {"subtype", "name", "oldname", "sid"};
  for (int i = 0; i < 4; ++i) f->text[i] = FieldString(L, table, kTexts[i], &f->len[i]);
  static const char* const kSizes[3] = {"namesize", "oldnamesize", "sidsize"};
  for (int i = 0; i < 3; ++i) {
    lua_getfield(L, table, kSizes[i]);
    f->has_size[i] = lua_type(L, -1) == LUA_TNUMBER;
    f->size[i] = f->has_size[i] ? U32(lua_tonumber(L, -1)) : 0;
    lua_pop(L, 1);
  }
}

acdc::sim::EventFields ToFields(const RawFields& r) {
  acdc::sim::EventFields f;
  f.type = r.numbers[0];
  f.id = r.numbers[1];
  f.missed = r.numbers[2];
  f.pid = r.numbers[3];
  f.ppid = r.numbers[4];
  f.rc = static_cast<int32_t>(r.numbers[5]);
  f.fd = static_cast<int32_t>(r.numbers[6]);
  f.del = static_cast<int32_t>(r.numbers[7]);
  f.mode = r.numbers[8];
  f.flags = r.numbers[9];
  f.dirty = static_cast<int32_t>(r.numbers[10]);
  std::string* texts[4] = {&f.subtype, &f.name, &f.oldname, &f.sid};
  for (int i = 0; i < 4; ++i)
    if (r.text[i] != nullptr) texts[i]->assign(r.text[i], r.len[i]);
  std::optional<uint32_t>* sizes[3] = {&f.namesize, &f.oldnamesize, &f.sidsize};
  for (int i = 0; i < 3; ++i)
    if (r.has_size[i]) *sizes[i] = r.size[i];
  return f;
}

void SetNumber(lua_State* L, const char* key, lua_Number v) {
  lua_pushnumber(L, v);
  lua_setfield(L, -2, key);
}

void PushRecord(lua_State* L, const acdc::sim::MessageRecord& m) {
  lua_createtable(L, 0, 12);
  SetNumber(L, "message_id", static_cast<lua_Number>(m.message_id));
  SetNumber(L, "event_id", m.event_id);
  SetNumber(L, "replies", m.replies);
  lua_pushboolean(L, m.timed_out);
  lua_setfield(L, -2, "timed_out");
  SetNumber(L, "latency_us", m.latency_ns < 0 ? -1 : static_cast<lua_Number>(m.latency_ns) / 1000);
  SetNumber(L, "size", m.first.size);
  SetNumber(L, "status", m.first.status);
  SetNumber(L, "reply_message_id", static_cast<lua_Number>(m.first.message_id));
  SetNumber(L, "code", m.first.code);
  SetNumber(L, "id", m.first.id);
  SetNumber(L, "eta", m.first.eta);
  SetNumber(L, "error", m.first.error);
}

int FdArg(lua_State* L, int arg) {
  luaL_argcheck(L, lua_type(L, arg) == LUA_TLIGHTUSERDATA, arg, "descriptor expected");
  return static_cast<int>(reinterpret_cast<intptr_t>(lua_touserdata(L, arg)));
}

void PushFd(lua_State* L, int fd) { lua_pushlightuserdata(L, reinterpret_cast<void*>(static_cast<intptr_t>(fd))); }

int PushErrno(lua_State* L, int err) {
  lua_pushnil(L);
  lua_pushstring(L, std::strerror(err));
  return 2;
}

// ---- module functions

int l_new(lua_State* L) {
  acdc::sim::Options o;
  uint32_t numbers[3] = {static_cast<uint32_t>(o.hold_ms), static_cast<uint32_t>(o.load_result), o.file_filter_value};
  const char* worker = nullptr;
  size_t worker_len = 0;
  if (lua_istable(L, 1)) {
    numbers[0] = U32(FieldNumber(L, 1, "hold_ms", o.hold_ms));
    numbers[1] = U32(FieldNumber(L, 1, "load_result", o.load_result));
    numbers[2] = U32(FieldNumber(L, 1, "file_filter_value", o.file_filter_value));
    worker = FieldString(L, 1, "worker_answer", &worker_len);
  }
  auto* d = static_cast<Driver*>(lua_newuserdata(L, sizeof(Driver)));
  d->core = nullptr;
  luaL_setmetatable(L, kMetatable);
  Failure failure;
  int err = 0;
  {
    try {
      o.hold_ms = static_cast<int>(numbers[0]);
      o.load_result = static_cast<int32_t>(numbers[1]);
      o.file_filter_value = numbers[2];
      if (worker != nullptr) o.worker_answer.assign(worker, worker_len);
      d->core = new DriverCore(o);
      err = d->core->Listen();
      if (err == 0) d->core->StartThread();
    } catch (const std::exception& e) {
      failure.Set(e);
    }
  }
  if (failure.failed()) return luaL_error(L, "%s", failure.text);
  if (err != 0) {
    delete d->core;
    d->core = nullptr;
    return PushErrno(L, err);
  }
  return 1;
}

int l_message(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  uint64_t message_id = U64(luaL_checknumber(L, 2));
  RawFields raw;
  ReadFields(L, 1, &raw);
  auto* bytes = static_cast<uint8_t*>(lua_newuserdata(L, acdc::sim::kEventMessageSize));
  Failure failure;
  {
    try {
      acdc::sim::BuildEventMessage(ToFields(raw), message_id, bytes);
    } catch (const std::exception& e) {
      failure.Set(e);
    }
  }
  if (failure.failed()) return luaL_error(L, "%s", failure.text);
  lua_pushlstring(L, reinterpret_cast<const char*>(bytes), acdc::sim::kEventMessageSize);
  return 1;
}

int l_eventfd(lua_State* L) {
  int fd = eventfd(0, EFD_CLOEXEC);
  if (fd < 0) return PushErrno(L, errno);
  PushFd(L, fd);
  return 1;
}

int l_pipe(lua_State* L) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return PushErrno(L, errno);
  PushFd(L, p[0]);
  PushFd(L, p[1]);
  return 2;
}

int l_signal(lua_State* L) {
  int fd = FdArg(L, 1);
  uint64_t n = U64(luaL_optnumber(L, 2, 1));
  lua_pushboolean(L, write(fd, &n, sizeof n) == static_cast<ssize_t>(sizeof n));
  return 1;
}

int l_write(lua_State* L) {
  int fd = FdArg(L, 1);
  size_t len;
  const char* bytes = luaL_checklstring(L, 2, &len);
  lua_pushboolean(L, write(fd, bytes, len) == static_cast<ssize_t>(len));
  return 1;
}

int l_closefd(lua_State* L) {
  lua_pushboolean(L, close(FdArg(L, 1)) == 0);
  return 1;
}

int l_handle(lua_State* L) {
  PushFd(L, static_cast<int>(luaL_checkinteger(L, 1)));
  return 1;
}

// spawn(path, arg...) -> pid: a process of our own to act in events (reaped by kill).
int l_spawn(lua_State* L) {
  int n = lua_gettop(L);
  luaL_argcheck(L, n >= 1 && n <= 8, 1, "path and at most 7 arguments expected");
  const char* argv[9];
  for (int i = 0; i < n; ++i) argv[i] = luaL_checkstring(L, i + 1);
  argv[n] = nullptr;
  pid_t pid = fork();
  if (pid == 0) {
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  if (pid < 0) return PushErrno(L, errno);
  lua_pushinteger(L, pid);
  return 1;
}

int l_kill(lua_State* L) {
  pid_t pid = static_cast<pid_t>(luaL_checkinteger(L, 1));
  bool ok = kill(pid, SIGKILL) == 0;
  waitpid(pid, nullptr, 0);
  lua_pushboolean(L, ok);
  return 1;
}

int l_now_ms(lua_State* L) {
  lua_pushnumber(L, static_cast<lua_Number>(acdc::sim::NowNs() / 1000000));
  return 1;
}

int l_getpid(lua_State* L) {
  lua_pushinteger(L, getpid());
  return 1;
}

// Profiler hooks that count their calls, for acdc.profiler.
std::atomic<uint64_t> g_before_calls{0}, g_after_calls{0};
void CountBefore() { g_before_calls.fetch_add(1, std::memory_order_relaxed); }
void CountAfter() { g_after_calls.fetch_add(1, std::memory_order_relaxed); }

int l_hooks(lua_State* L) {
  lua_pushlightuserdata(L, reinterpret_cast<void*>(&CountBefore));
  lua_pushlightuserdata(L, reinterpret_cast<void*>(&CountAfter));
  return 2;
}

int l_hook_counts(lua_State* L) {
  lua_pushnumber(L, static_cast<lua_Number>(g_before_calls.load()));
  lua_pushnumber(L, static_cast<lua_Number>(g_after_calls.load()));
  return 2;
}

// ---- methods

int m_close(lua_State* L) {
  auto* d = static_cast<Driver*>(luaL_checkudata(L, 1, kMetatable));
  DriverCore* core = d->core;
  d->core = nullptr;
  delete core;  // joins its thread; never throws
  return 0;
}

int m_listen(lua_State* L) {
  int err = Check(L)->Listen();
  if (err != 0) return PushErrno(L, err);
  lua_pushboolean(L, 1);
  return 1;
}

int m_crash(lua_State* L) {
  Check(L)->Crash();
  return 0;
}

int m_loaded(lua_State* L) {
  lua_pushboolean(L, Check(L)->loaded());
  return 1;
}

int m_connections(lua_State* L) {
  DriverCore* core = Check(L);
  lua_pushinteger(L, static_cast<lua_Integer>(core->event_connections()));
  lua_pushinteger(L, static_cast<lua_Integer>(core->control_connections()));
  return 2;
}

int m_wait_connections(lua_State* L) {
  DriverCore* core = Check(L);
  size_t events = static_cast<size_t>(luaL_checkinteger(L, 2));
  size_t controls = static_cast<size_t>(luaL_checkinteger(L, 3));
  int timeout = static_cast<int>(luaL_optinteger(L, 4, 2000));
  lua_pushboolean(L, core->WaitConnections(events, controls, timeout));
  return 1;
}

int m_send(lua_State* L) {
  DriverCore* core = Check(L);
  luaL_checktype(L, 2, LUA_TTABLE);
  uint64_t message_id = U64(luaL_checknumber(L, 3));
  RawFields raw;
  ReadFields(L, 2, &raw);
  bool sent = false;
  Failure failure;
  {
    try {
      sent = core->SendEvent(ToFields(raw), message_id);
    } catch (const std::exception& e) {
      failure.Set(e);
    }
  }
  if (failure.failed()) return luaL_error(L, "%s", failure.text);
  lua_pushboolean(L, sent);
  return 1;
}

int m_send_raw(lua_State* L) {
  DriverCore* core = Check(L);
  size_t len;
  const char* bytes = luaL_checklstring(L, 2, &len);
  uint64_t message_id = U64(luaL_optnumber(L, 3, 0));
  bool hold = lua_toboolean(L, 4);
  lua_pushboolean(L, core->SendRaw(bytes, len, message_id, hold));
  return 1;
}

int m_wait_reply(lua_State* L) {
  DriverCore* core = Check(L);
  uint64_t message_id = U64(luaL_checknumber(L, 2));
  int timeout = static_cast<int>(luaL_optinteger(L, 3, 2000));
  acdc::sim::MessageRecord m;  // trivially destructible
  if (!core->WaitReply(message_id, timeout, &m)) {
    lua_pushnil(L);
    return 1;
  }
  PushRecord(L, m);
  return 1;
}

int m_wait_idle(lua_State* L) {
  DriverCore* core = Check(L);
  lua_pushboolean(L, core->WaitIdle(static_cast<int>(luaL_optinteger(L, 2, 2000))));
  return 1;
}

int m_stats(lua_State* L) {
  acdc::sim::Stats s = Check(L)->stats();
  lua_createtable(L, 0, 9);
  SetNumber(L, "sent", static_cast<lua_Number>(s.sent));
  SetNumber(L, "answered", static_cast<lua_Number>(s.answered));
  SetNumber(L, "duplicates", static_cast<lua_Number>(s.duplicates));
  SetNumber(L, "unknown", static_cast<lua_Number>(s.unknown));
  SetNumber(L, "mismatched", static_cast<lua_Number>(s.mismatched));
  SetNumber(L, "malformed", static_cast<lua_Number>(s.malformed));
  SetNumber(L, "timed_out", static_cast<lua_Number>(s.timed_out));
  SetNumber(L, "late", static_cast<lua_Number>(s.late));
  SetNumber(L, "outstanding", static_cast<lua_Number>(s.outstanding));
  return 1;
}

// Copies something out of the core, which may throw, then pushes it under lua_pcall:
// the copy is destroyed before any error is raised.
template <typename Get, typename Push>
int PushCopy(lua_State* L, Get get, Push push) {
  Failure failure;
  int status = LUA_OK, results = 0;
  {
    try {
      auto value = get();
      auto push_value = [&value, &push](lua_State* L) -> int { return push(L, value); };
      status = Protected(L, push_value, &results);
    } catch (const std::exception& e) {
      failure.Set(e);
    }
  }
  if (failure.failed()) return luaL_error(L, "%s", failure.text);
  if (status != LUA_OK) return lua_error(L);
  return results;
}

// A table of the items of a vector, each pushed by `push_item`.
template <typename T, typename PushItem>
int PushList(lua_State* L, const std::vector<T>& items, PushItem push_item) {
  lua_createtable(L, static_cast<int>(items.size()), 0);
  for (size_t i = 0; i < items.size(); ++i) {
    push_item(L, items[i]);
    lua_rawseti(L, -2, static_cast<int>(i + 1));
  }
  return 1;
}

int m_records(lua_State* L) {
  DriverCore* core = Check(L);
  return PushCopy(L, [core] { return core->records(); },
                  [](lua_State* L, const std::vector<acdc::sim::MessageRecord>& records) {
                    return PushList(L, records, PushRecord);
                  });
}

int m_queue_answer(lua_State* L) {
  DriverCore* core = Check(L);
  int32_t hresult = static_cast<int32_t>(U32(luaL_checknumber(L, 2)));
  size_t len = 0;
  const char* output = luaL_optlstring(L, 3, "", &len);
  bool no_bytes = lua_toboolean(L, 4);
  Failure failure;
  {
    try {
      core->QueueCommandAnswer({hresult, std::string(output, len), no_bytes});
    } catch (const std::exception& e) {
      failure.Set(e);
    }
  }
  if (failure.failed()) return luaL_error(L, "%s", failure.text);
  return 0;
}

int m_answer_commands(lua_State* L) {
  Check(L)->SetAnswerCommands(lua_toboolean(L, 2));
  return 0;
}

int m_commands(lua_State* L) {
  DriverCore* core = Check(L);
  return PushCopy(L, [core] { return core->commands(); },
                  [](lua_State* L, const std::vector<acdc::sim::Command>& commands) {
                    return PushList(L, commands, [](lua_State* L, const acdc::sim::Command& c) {
                      lua_createtable(L, 0, 3);
                      lua_pushlstring(L, c.input.data(), c.input.size());
                      lua_setfield(L, -2, "input");
                      SetNumber(L, "out_size", c.out_size);
                      SetNumber(L, "pid", c.pid);
                    });
                  });
}

// Pushes a byte vector that the core returns, as a string.
template <typename Get>
int PushBytes(lua_State* L, Get get) {
  return PushCopy(L, get, [](lua_State* L, const std::vector<uint8_t>& bytes) {
    lua_pushlstring(L, reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return 1;
  });
}

int m_program(lua_State* L) {
  DriverCore* core = Check(L);
  return PushBytes(L, [core] { return core->program(); });
}

int m_file_filter(lua_State* L) {
  DriverCore* core = Check(L);
  return PushBytes(L, [core] { return core->file_filter(); });
}

int m_workers(lua_State* L) {
  DriverCore* core = Check(L);
  return PushCopy(L, [core] { return core->workers(); }, [](lua_State* L, const std::vector<uint32_t>& pids) {
    return PushList(L, pids, [](lua_State* L, uint32_t pid) { lua_pushnumber(L, pid); });
  });
}

const luaL_Reg kFunctions[] = {
    {"new", l_new},         {"message", l_message}, {"eventfd", l_eventfd}, {"pipe", l_pipe},
    {"signal", l_signal},   {"write", l_write},     {"closefd", l_closefd}, {"handle", l_handle},
    {"getpid", l_getpid},   {"hooks", l_hooks},     {"hook_counts", l_hook_counts}, {"now_ms", l_now_ms},
    {"spawn", l_spawn},     {"kill", l_kill},       {nullptr, nullptr},
};

const luaL_Reg kMethods[] = {
    {"__gc", m_close},
    {"close", m_close},
    {"listen", m_listen},
    {"crash", m_crash},
    {"loaded", m_loaded},
    {"connections", m_connections},
    {"wait_connections", m_wait_connections},
    {"send", m_send},
    {"send_raw", m_send_raw},
    {"wait_reply", m_wait_reply},
    {"wait_idle", m_wait_idle},
    {"stats", m_stats},
    {"records", m_records},
    {"queue_answer", m_queue_answer},
    {"answer_commands", m_answer_commands},
    {"commands", m_commands},
    {"workers", m_workers},
    {"program", m_program},
    {"file_filter", m_file_filter},
    {nullptr, nullptr},
};

}  // namespace

SIMDRIVER_EXPORT int luaopen_simdriver(lua_State* L) {
  if (luaL_newmetatable(L, kMetatable)) {
    lua_pushvalue(L, -1);
    lua_setfield(L, -2, "__index");
    luaL_setfuncs(L, kMethods, 0);
  }
  lua_pop(L, 1);
  luaL_newlib(L, kFunctions);
  return 1;
}
