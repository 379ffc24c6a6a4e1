#!/usr/bin/env bash
# Builds the native tests with ThreadSanitizer and runs every GoogleTest program,
# stopping at the first report. No Lua tests (lua5.2 is not instrumented), no
# mingw check, no benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DACDC_TSAN=ON >/dev/null
cmake --build build-tsan -j"$(nproc)"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan -R '^native/' --no-tests=error --output-on-failure -j"$(nproc)"
