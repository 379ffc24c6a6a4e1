#!/usr/bin/env bash
# windows-openssl.sh SRC OUT: builds OpenSSL's libcrypto as a static Windows library
# from Debian's unpacked source package SRC with mingw-w64: OUT/lib/libcrypto.a and
# OUT/include/openssl. Kept between runs: nothing is rebuilt while OUT/stamp names the
# same source (the build itself takes minutes).
set -euo pipefail
src=$(cd "${1:?usage: windows-openssl.sh SRC OUT}" && pwd)
out=${2:?usage: windows-openssl.sh SRC OUT}
prefix=x86_64-w64-mingw32-
stamp="$(basename "$src") $(${prefix}gcc-posix -dumpversion)"
if [ -f "$out/stamp" ] && [ "$(cat "$out/stamp")" = "$stamp" ]; then exit 0; fi
rm -rf "$out"
mkdir -p "$out/lib" "$out/include"
out=$(cd "$out" && pwd)

# Built out of the source tree, so the unpacked source stays as Debian ships it.
build=$out/build
mkdir -p "$build"
cd "$build"
# No engines, no loadable modules (nothing to find at run time), no tests. The posix
# compiler, as for the module: the C library code is the same with either thread model.
"$src/Configure" mingw64 no-shared no-tests no-engine no-dso \
  --cross-compile-prefix="$prefix" CC=gcc-posix >"$out/configure.log" 2>&1 \
  || { tail -n 30 "$out/configure.log" >&2; exit 1; }
make -j2 build_generated >"$out/make.log" 2>&1 && make -j2 libcrypto.a >>"$out/make.log" 2>&1 \
  || { tail -n 30 "$out/make.log" >&2; exit 1; }
cp libcrypto.a "$out/lib/"
mkdir -p "$out/include/openssl"
cp "$src"/include/openssl/*.h "$out/include/openssl/"
cp include/openssl/*.h "$out/include/openssl/"
cd "$out"
rm -rf "$build"
echo "$stamp" >"$out/stamp"
