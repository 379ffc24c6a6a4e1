// Argument checks shared by the functions of both modules. Each raises the Lua
// argument error for argument `arg` on misuse, so call them before anything that
// needs cleaning up exists.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

namespace acdc::lua {

// A path that must fit a record buffer: its text up to the first NUL, shorter than
// 4096 bytes, else "path is longer than 4095 bytes".
const char* PathArg(lua_State* L, int arg, size_t* len);

// A Windows process id: a number from 0 to 2^32 - 1 (truncated toward zero), else
// "pid out of range".
uint64_t PidArg(lua_State* L, int arg);

}  // namespace acdc::lua
