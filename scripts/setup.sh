#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks need.
# Idempotent and non-interactive; run as root on Debian 12.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  lua5.2 liblua5.2-dev lua-busted
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix
  lua-cjson lua-dkjson clang libclang-rt-14-dev
  zlib1g-dev libssl-dev
  libwxgtk3.2-dev  # the core-library stand-in links wxWidgets 3.2's base library only
  python3          # reads back the archives the tests write (zipfile); zlib for rule-set fixtures
  openssl          # rule sets made by `openssl enc`; the signing fixtures' certificate chain
  pigz             # rule sets made by `pigz -z` (tests, bench/run)
  osslsigncode     # signs the signature tests' fixtures (tests/signing/make_fixtures.sh)
  ca-certificates  # the system bundle, WinVerifyTrust's trusted roots on Linux
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
