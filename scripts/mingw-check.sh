#!/bin/sh
# mingw-check.sh CXX LUA_INCLUDE OPENSSL_INCLUDE OUTDIR LIST...: compiles every source
# named in the list files (one path a line, relative to the source root; CMake writes
# them from its globs) with mingw-w64 against the real Windows headers and the given
# Lua and OpenSSL headers, warnings as errors.
# Fails when the compiler is missing, when a list is missing or empty, and when fewer
# sources compiled than were listed, so the check can never pass having done nothing.
set -eu
cxx=${1:-} lua_include=${2:-} openssl_include=${3:-} out=${4:-}
if [ -z "$cxx" ] || [ -z "$lua_include" ] || [ -z "$openssl_include" ] || [ -z "$out" ] || [ $# -lt 5 ]; then
  echo "usage: mingw-check.sh CXX LUA_INCLUDE OPENSSL_INCLUDE OUTDIR LIST..." >&2
  exit 2
fi
shift 4
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "mingw-check: compiler $cxx not found" >&2
  exit 1
fi
mkdir -p "$out"
listed=0
for list in "$@"; do
  n=0
  [ -f "$list" ] && n=$(grep -c . "$list" || true)
  if [ "$n" -eq 0 ]; then
    echo "mingw-check: source list $list is missing or empty" >&2
    exit 1
  fi
  listed=$((listed + n))
done
compiled=0
for list in "$@"; do
  while IFS= read -r src; do
    [ -n "$src" ] || continue
    obj="$out/$(echo "$src" | tr '/' '_').o"
    "$cxx" -std=c++17 -O1 -Wall -Wextra -Wno-unused-parameter -Werror -I. -I"$lua_include" -I"$openssl_include" -c "$src" -o "$obj"
    compiled=$((compiled + 1))
  done <"$list"
done
if [ "$compiled" -ne "$listed" ]; then
  echo "mingw-check: compiled $compiled of the $listed listed sources" >&2
  exit 1
fi
echo "compiled $compiled of $listed listed sources with $cxx"
