#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (-fsanitize=fuzzer,address,undefined) and
# runs each for a bounded time: bash scripts/fuzz.sh [seconds per target, default 60].
# Exits non-zero on a finding; the input that caused it is left in build-fuzz/.
# The targets link Debian's liblua5.2 as their Lua host; the module never links it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build-fuzz
mkdir -p "$out"

# run_target NAME SOURCES... : fuzz/NAME_fuzz.cpp, seeds fuzz/corpus/NAME, dictionary
# fuzz/NAME.dict when there is one. New inputs go to the build folder, so the seed
# corpus in the tree only changes by hand.
run_target() {
  local name=$1
  shift
  clang++ -std=c++17 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I. -I/usr/include/lua5.2 "fuzz/${name}_fuzz.cpp" "$@" -llua5.2 -o "$out/${name}_fuzz"
  local dict=()
  [ -f "fuzz/${name}.dict" ] && dict=(-dict="fuzz/${name}.dict")
  mkdir -p "$out/corpus/$name"
  # Seeds kept in the tree, when the target has any.
  local seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  # The fuzzer's progress lines go to a log; a finding prints its tail.
  local log="$out/${name}.log"
  if ! "$out/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$out/${name}-" "${dict[@]}" \
    "$out/corpus/$name" "${seeds[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz $name: finding, see $log" >&2
    return 1
  fi
  echo "fuzz $name: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") runs in ${seconds} s, no finding"
}

run_target json acdc/json.cpp
# The decoder with the event core, the caches and the POSIX platform it decides with
# (the path digests take SHA-256 from libcrypto).
run_target decoder acdc/decoder.cpp acdc/channel.cpp event/*.cpp cache/*.cpp \
  platform/*.cpp platform/posix/*.cpp -lcrypto

# Rule sets: the seeds in the tree are text; compressed and enciphered ones are made
# here, each behind its options byte (see fuzz/ruleset_fuzz.cpp), so that no binary
# file is kept in the tree.
seeds="$out/corpus/ruleset"
mkdir -p "$seeds"
rules=$(printf 'allow C:\\Tools\\*.exe\r\nblock %%TEMP%%\\*.ps1\n%.0s' $(seq 40))
key=$(printf '%02x' $(seq 0 31)) iv=$(printf '%02x' $(seq 16 31))
printf '%s' "$rules" | pigz -z >"$out/rules.z"
{ printf '\010'; cat "$out/rules.z"; } >"$seeds/seed-zlib"
{ printf '\011'; openssl enc -aes-128-cbc -K "${key:0:32}" -iv "$iv" -in "$out/rules.z"; } >"$seeds/seed-aes-cbc-zlib"
{ printf '\002'; printf '%s' "$rules" | openssl enc -aes-128-ctr -K "${key:0:32}" -iv "$iv"; } >"$seeds/seed-aes-ctr"
{ printf '\014'; openssl enc -provider legacy -provider default -bf-cbc -K "${key:0:32}" -iv "${iv:0:16}" \
  -in "$out/rules.z"; } >"$seeds/seed-bf-zlib"
run_target ruleset ac/ruleset_reader.cpp ac/zlib_filter.cpp platform/posix/memory.cpp -lcrypto -lz

# The signature reader's seeds are the certificate tables of the signing fixtures
# (first byte 1: a table the target puts into an image), made here as the tests make
# them, so that no binary is kept in the tree.
sh tests/signing/make_fixtures.sh "$out/signing" >/dev/null
mkdir -p "$out/corpus/signature"
for image in signed names links moniker malformed untrusted no-signer-cert; do
  "$out/signing/signature_tool" cert-table "$out/signing/$image.exe" "$out/signing/$image.table"
  { printf '\001'; cat "$out/signing/$image.table"; } >"$out/corpus/signature/seed-$image"
done
{ printf '\000'; cat "$out/signing/unsigned.exe"; } >"$out/corpus/signature/seed-unsigned"
run_target signature platform/*.cpp platform/posix/*.cpp -DACDC_DRIVE_C=\"$PWD/$out/drive_c\" -lcrypto
