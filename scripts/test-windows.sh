#!/usr/bin/env bash
# Builds the Windows side and runs its tests under Wine: bash scripts/test-windows.sh
#
# Builds, in build-windows/: Lua 5.2 (lua52.dll, its import library, lua.exe), a
# static libcrypto and a static zlib from Debian's own source packages (kept between
# runs), acdc.dll with its forwarders lacdc.dll and ac.dll, and the native test
# programs, all with mingw-w64. Then runs every Windows test under CTest, each under Wine in a prefix made
# for this run and deleted afterwards, whatever the outcome.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-windows
started=$SECONDS
step() { echo "== windows: $1 ($((SECONDS - started)) s)"; }

# The build's own packages, then Wine (64-bit only), which only this stage needs.
bash scripts/setup.sh
missing=()
for p in wine wine64; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  step "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

step "Debian sources"
bash scripts/windows-sources.sh "$out/src" lua5.2 openssl zlib
step "Lua 5.2"
bash scripts/windows-lua.sh "$out/src/$(cat "$out/src/lua5.2.unpacked")" "$out/deps/lua"
step "libcrypto"
bash scripts/windows-openssl.sh "$out/src/$(cat "$out/src/openssl.unpacked")" "$out/deps/openssl"
step "zlib"
bash scripts/windows-zlib.sh "$out/src/$(cat "$out/src/zlib.unpacked")" "$out/deps/zlib"
step "acdc.dll and the test programs"
cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DACDC_WINDOWS_LUA="$PWD/$out/deps/lua" -DACDC_WINDOWS_OPENSSL="$PWD/$out/deps/openssl" \
  -DACDC_WINDOWS_ZLIB="$PWD/$out/deps/zlib" >/dev/null
cmake --build "$out" -j2

# A fresh prefix per run, headless; Lua's search paths are set by each test, never
# inherited from this shell.
prefix=$(mktemp -d "$PWD/$out/wineprefix.XXXXXX")
cleanup() {
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all,err+module LC_ALL=C.UTF-8
unset DISPLAY LUA_PATH LUA_CPATH LUA_PATH_5_2 LUA_CPATH_5_2
step "Wine prefix"
# No .NET or HTML engine: nothing here uses them, and looking for them costs time.
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1

step "tests under Wine"
ctest --test-dir "$out" --no-tests=error --output-on-failure -j2
step "done"
