#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the Linux build, then the Windows
# build with its tests under Wine (scripts/test-windows.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --no-tests=error --output-on-failure -j"$(nproc)"
bash scripts/test-windows.sh
