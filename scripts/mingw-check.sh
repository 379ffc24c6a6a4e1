#!/bin/sh
# mingw-check.sh CXX LUA_INCLUDE OUTDIR [OPENSSL_INCLUDE]: compiles every Windows and
# every portable source with mingw-w64 against the real Windows headers, warnings as
# errors; OpenSSL's headers come from OPENSSL_INCLUDE when given.
set -e
cxx=$1 lua_include=$2 out=$3 openssl_include=${4:-}
mkdir -p "$out"
n=0
for src in platform/win32/*.cpp platform/*.cpp event/*.cpp cache/*.cpp compiler/*.cpp acdc/*.cpp ac/*.cpp ac/ac-Windows/*.cpp; do
  [ -f "$src" ] || continue
  obj="$out/$(echo "$src" | tr '/' '_').o"
  "$cxx" -std=c++17 -O1 -Wall -Wextra -Wno-unused-parameter -Werror -I. -I"$lua_include" ${openssl_include:+-I"$openssl_include"} -c "$src" -o "$obj"
  n=$((n + 1))
done
echo "compiled $n sources with $cxx"
