// Module corelib: the stand-in's objects for Lua (zip output streams and documents,
// in userdata with the header acdc reads), its trace switch and capture, hex
// rendering and the profiler hooks, for tests and for the reference agent.
//
//   corelib.zip(path)                 -> stream, or nil, message
//   stream:close()                    -> true, or nil, message
//   corelib.dom(root [, readonly])    -> document ("<root>/<plugin>/<file>")
//   dom:plugin_file(plugin, file)     -> path
//   corelib.trace(component, on)      switches a component's trace
//   corelib.capture(on)               keeps records for records() instead of printing
//   corelib.records()                 -> { {component, source, line, function, message [, cut]}, ... };
//                                        a record of the log at error level has level = "error" and
//                                        sys_error in place of component
//   corelib.clear_records()
//   corelib.hex(bytes, flag)          -> text (flag false: "0a 1b", true: "0A1B")
//   corelib.profiler_hooks()          -> blockfilter, running (light userdata)
//   corelib.profiler_calls()          -> calls of blockfilter, calls of running
extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <cstddef>
#include <cstring>

#include "corelib/vrel_core.h"

namespace {

namespace core = acdc::platform::core;

struct Block {
  core::ObjectHeader header;
  void* object;  // the payload: the stream or document, null once closed
};
static_assert(offsetof(Block, object) == core::kObjectPayloadOffset, "payload at byte 32");

void* ObjectOf(void* block, void* payload) {
  void* object;
  std::memcpy(&object, payload, sizeof object);
  return object;
}

void* SameObject(void* object) { return object; }

const char kOutputStreamType[] = "SLB.wx.OutputStream";
const core::ObjectBase kZipBases[] = {{kOutputStreamType, kOutputStreamType, SameObject}, {nullptr, nullptr, nullptr}};
const core::ObjectBase kNoBases[] = {{nullptr, nullptr, nullptr}};

// A new block in the closed state, with its metatable: an error after this leaves
// nothing to free.
Block* NewBlock(lua_State* L, const char* type, const core::ObjectBase* bases, bool readonly) {
  Block* b = static_cast<Block*>(lua_newuserdata(L, sizeof(Block)));
  b->header.mode = readonly ? core::kConstantAccess : 0;
  b->header.mark = core::kStandInMark;
  b->header.type_name = type;
  b->header.accessor = ObjectOf;
  b->header.bases = bases;
  b->object = nullptr;
  luaL_setmetatable(L, type);
  return b;
}

int l_zip(lua_State* L) {
  const char* path = luaL_checkstring(L, 1);
  Block* b = NewBlock(L, core::kZipOutputStreamType, kZipBases, false);
  b->object = vrel_core::OpenZipStream(path);
  if (b->object != nullptr) return 1;
  lua_pushnil(L);
  lua_pushfstring(L, "cannot create %s", path);
  return 2;
}

// close and __gc: the pointer is cleared before the stream is freed.
int l_zip_close(lua_State* L) {
  Block* b = static_cast<Block*>(luaL_checkudata(L, 1, core::kZipOutputStreamType));
  auto* z = static_cast<vrel_core::ZipStream*>(b->object);
  b->object = nullptr;
  if (z != nullptr && vrel_core::CloseZipStream(z)) {
    lua_pushboolean(L, 1);
    return 1;
  }
  lua_pushnil(L);
  lua_pushstring(L, z == nullptr ? "already closed" : "writing the archive failed");
  return 2;
}

int l_zip_gc(lua_State* L) {
  Block* b = static_cast<Block*>(lua_touserdata(L, 1));
  auto* z = static_cast<vrel_core::ZipStream*>(b->object);
  b->object = nullptr;
  vrel_core::CloseZipStream(z);
  return 0;
}

int l_dom(lua_State* L) {
  const char* root = luaL_checkstring(L, 1);
  bool readonly = lua_toboolean(L, 2) != 0;
  Block* b = NewBlock(L, core::kDomType, kNoBases, readonly);
  b->object = vrel_core::NewDom(root);
  if (b->object == nullptr) return luaL_error(L, "not enough memory");
  return 1;
}

int l_dom_plugin_file(lua_State* L) {
  Block* b = static_cast<Block*>(luaL_checkudata(L, 1, core::kDomType));
  const char* plugin = luaL_checkstring(L, 2);
  const char* file = luaL_checkstring(L, 3);
  char path[4096];
  size_t n = VrelCore_CDom_GetPluginFile(b->object, plugin, file, path, sizeof path);
  if (n == 0) return 0;
  lua_pushlstring(L, path, n);
  return 1;
}

int l_dom_gc(lua_State* L) {
  Block* b = static_cast<Block*>(lua_touserdata(L, 1));
  auto* d = static_cast<vrel_core::Dom*>(b->object);
  b->object = nullptr;
  vrel_core::DeleteDom(d);
  return 0;
}

int l_trace(lua_State* L) {
  const char* component = luaL_checkstring(L, 1);
  vrel_core::SetTraceEnabled(component, lua_toboolean(L, 2) != 0);
  return 0;
}

int l_capture(lua_State* L) {
  vrel_core::SetTraceCapture(lua_toboolean(L, 1) != 0);
  return 0;
}

int l_records(lua_State* L) {
  lua_newtable(L);
  vrel_core::TraceRecord r;
  for (size_t i = 0; vrel_core::CapturedTrace(i, &r); ++i) {
    lua_createtable(L, 0, 7);
    if (r.error) {
      lua_pushliteral(L, "error");
      lua_setfield(L, -2, "level");
      lua_pushnumber(L, r.sys_error);
      lua_setfield(L, -2, "sys_error");
    } else {
      lua_pushstring(L, r.component);
      lua_setfield(L, -2, "component");
    }
    lua_pushstring(L, r.source);
    lua_setfield(L, -2, "source");
    lua_pushinteger(L, r.line);
    lua_setfield(L, -2, "line");
    lua_pushstring(L, r.function);
    lua_setfield(L, -2, "function");
    lua_pushstring(L, r.message);
    lua_setfield(L, -2, "message");
    if (r.cut) {
      lua_pushboolean(L, 1);
      lua_setfield(L, -2, "cut");
    }
    lua_rawseti(L, -2, static_cast<int>(i + 1));
  }
  return 1;
}

int l_clear_records(lua_State* L) {
  vrel_core::ClearCapturedTrace();
  return 0;
}

int l_hex(lua_State* L) {
  size_t n = 0;
  const char* bytes = luaL_checklstring(L, 1, &n);
  bool flag = lua_toboolean(L, 2) != 0;
  size_t cap = core::HexCapacity(n);
  luaL_Buffer b;
  char* out = luaL_buffinitsize(L, &b, cap);
  size_t len = VrelCore_toHexString(bytes, n, flag ? 1 : 0, out, cap);
  luaL_pushresultsize(&b, len);
  return 1;
}

int l_profiler_hooks(lua_State* L) {
  lua_pushlightuserdata(L, reinterpret_cast<void*>(&profiler_blockfilter));
  lua_pushlightuserdata(L, reinterpret_cast<void*>(&profiler_running));
  return 2;
}

int l_profiler_calls(lua_State* L) {
  lua_pushnumber(L, static_cast<lua_Number>(vrel_core::ProfilerBlockfilterCalls()));
  lua_pushnumber(L, static_cast<lua_Number>(vrel_core::ProfilerRunningCalls()));
  return 2;
}

const luaL_Reg kFunctions[] = {
    {"capture", l_capture},
    {"clear_records", l_clear_records},
    {"dom", l_dom},
    {"hex", l_hex},
    {"profiler_calls", l_profiler_calls},
    {"profiler_hooks", l_profiler_hooks},
    {"records", l_records},
    {"trace", l_trace},
    {"zip", l_zip},
    {nullptr, nullptr},
};

const luaL_Reg kZipMethods[] = {{"close", l_zip_close}, {nullptr, nullptr}};
const luaL_Reg kDomMethods[] = {{"plugin_file", l_dom_plugin_file}, {nullptr, nullptr}};

void NewMetatable(lua_State* L, const char* type, const luaL_Reg* methods, lua_CFunction gc) {
  luaL_newmetatable(L, type);
  lua_newtable(L);
  luaL_setfuncs(L, methods, 0);
  lua_setfield(L, -2, "__index");
  lua_pushcfunction(L, gc);
  lua_setfield(L, -2, "__gc");
  lua_pop(L, 1);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_corelib(lua_State* L) {
  NewMetatable(L, core::kZipOutputStreamType, kZipMethods, l_zip_gc);
  NewMetatable(L, core::kDomType, kDomMethods, l_dom_gc);
  luaL_newlib(L, kFunctions);
  return 1;
}
