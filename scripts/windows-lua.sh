#!/usr/bin/env bash
# windows-lua.sh SRC OUT: builds the Windows Lua 5.2 from Debian's unpacked source
# package SRC (lua5.2-5.2.4/) with mingw-w64: OUT/bin/lua52.dll and OUT/bin/lua.exe,
# OUT/lib/liblua52.dll.a (the import library) and OUT/include (the headers modules
# compile against). Kept between runs: nothing is rebuilt while OUT/stamp names the
# same source.
set -euo pipefail
src=$(cd "${1:?usage: windows-lua.sh SRC OUT}" && pwd)
out=${2:?usage: windows-lua.sh SRC OUT}
cc=x86_64-w64-mingw32-gcc-posix
stamp="$(basename "$src") $($cc -dumpversion)"
if [ -f "$out/stamp" ] && [ "$(cat "$out/stamp")" = "$stamp" ]; then exit 0; fi
rm -rf "$out"
mkdir -p "$out/bin" "$out/lib" "$out/include" "$out/obj"
out=$(cd "$out" && pwd)

# The flags of the upstream makefile (LUA_COMPAT_ALL), as Debian's own build uses them.
cflags=(-O2 -Wall -DLUA_COMPAT_ALL -DLUA_BUILD_AS_DLL)
# Two compiles at a time (the machine is shared), each leaving its .o in obj/; xargs
# fails when any of them fails.
(cd "$out/obj" && printf '%s\n' "$src"/src/*.c | grep -v -e '/lua\.c$' -e '/luac\.c$' |
  xargs -d '\n' -P 2 -n 1 "$cc" "${cflags[@]}" -c)
objs=("$out"/obj/*.o)
# -static: the C runtime helpers of libgcc go inside, so the DLL imports only Windows'.
"$cc" -shared -static -o "$out/bin/lua52.dll" "${objs[@]}" -Wl,--out-implib,"$out/lib/liblua52.dll.a"
"$cc" "${cflags[@]}" -static -o "$out/bin/lua.exe" "$src/src/lua.c" "$out/lib/liblua52.dll.a"
cp "$src"/src/{lua.h,luaconf.h,lualib.h,lauxlib.h,lua.hpp} "$out/include/"
rm -rf "$out/obj"
echo "$stamp" >"$out/stamp"
