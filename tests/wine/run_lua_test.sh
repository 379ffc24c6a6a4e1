#!/bin/sh
# run_lua_test.sh MODULE_DIR FILE: runs one busted file under Wine with the lua.exe in
# MODULE_DIR (the host sits beside the modules), through busted_subset.lua, leaving out
# the cases tagged #linux. Lua's search paths are set here, never taken from the host:
# this folder for the runner, tests/lua for the files' shared helpers, Debian's
# pure-Lua luassert and say, and MODULE_DIR alone for C modules. The child
# interpreter a test starts is named in ACDC_TEST_LUA.
set -eu
module_dir=$1 file=$2
here=$(cd "$(dirname "$0")" && pwd)
# Wine's drive Z: is the Unix root.
win() { printf 'Z:%s' "$1" | tr '/' '\\'; }
unset LUA_PATH LUA_CPATH LUA_PATH_5_2 LUA_CPATH_5_2 LUA_INIT LUA_INIT_5_2
lua_path="$(win "$here")\\?.lua;$(win "$(dirname "$here")/lua")\\?.lua;Z:\\usr\\share\\lua\\5.2\\?.lua;Z:\\usr\\share\\lua\\5.2\\?\\init.lua"
lua_cpath="$(win "$module_dir")\\?.dll"
export LUA_PATH="$lua_path" LUA_PATH_5_2="$lua_path" LUA_CPATH="$lua_cpath" LUA_CPATH_5_2="$lua_cpath"
export ACDC_TEST_LUA="$(win "$module_dir/lua.exe")"
exec sh "$here/../../scripts/wine-run.sh" "$module_dir/lua.exe" "$(win "$here/busted_subset.lua")" \
  --exclude-tags=linux "$(win "$file")"
