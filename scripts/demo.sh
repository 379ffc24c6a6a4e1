#!/usr/bin/env bash
# Sets up, builds and runs the main job: the reference agent on its built-in workload.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
# The agent makes the files its events name under the library's drive C.
drive_c=$(sed -n 's/^ACDC_DRIVE_C:PATH=//p' build/CMakeCache.txt)
mkdir -p "$drive_c"
lua5.2 examples/agent.lua --drive-c "$drive_c" "$@"
