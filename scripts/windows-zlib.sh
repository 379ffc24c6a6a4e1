#!/usr/bin/env bash
# windows-zlib.sh SRC OUT: builds zlib as a static Windows library from Debian's
# unpacked source package SRC (zlib-1.2.13.dfsg/) with mingw-w64: OUT/lib/libz.a and
# OUT/include (zlib.h, zconf.h). Kept between runs: nothing is rebuilt while
# OUT/stamp names the same source.
set -euo pipefail
src=$(cd "${1:?usage: windows-zlib.sh SRC OUT}" && pwd)
out=${2:?usage: windows-zlib.sh SRC OUT}
cc=x86_64-w64-mingw32-gcc-posix
stamp="$(basename "$src") $($cc -dumpversion)"
if [ -f "$out/stamp" ] && [ "$(cat "$out/stamp")" = "$stamp" ]; then exit 0; fi
rm -rf "$out"
mkdir -p "$out/lib" "$out/include" "$out/obj"
out=$(cd "$out" && pwd)

# The library's own sources at the top of the package (not contrib/ or examples/),
# compiled as upstream's win32/Makefile.gcc compiles them, two at a time; xargs fails
# when any compile fails.
sources=(adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast inflate inftrees trees uncompr zutil)
(cd "$out/obj" && printf "$src/%s.c\n" "${sources[@]}" | xargs -d '\n' -P 2 -n 1 "$cc" -O2 -Wall -c)
x86_64-w64-mingw32-ar rcs "$out/lib/libz.a" "$out"/obj/*.o
cp "$src/zlib.h" "$src/zconf.h" "$out/include/"
rm -rf "$out/obj"
echo "$stamp" >"$out/stamp"
