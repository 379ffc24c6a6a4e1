#!/usr/bin/env bash
# windows-sources.sh DIR PACKAGE...: fetches and unpacks Debian's source packages into
# DIR through a private source list, so the machine's apt configuration stays as it was.
# The list has one deb-src line for the mirror and release that apt already uses for
# its own binary packages (read from `apt-get indextargets`, never a written-in host);
# apt's source list, its parts folder (left empty), its package lists and its cache
# all point into DIR/apt. A package already unpacked in DIR is not fetched again.
set -euo pipefail
dir=${1:?usage: windows-sources.sh DIR PACKAGE...}
shift
[ $# -gt 0 ] || { echo "usage: windows-sources.sh DIR PACKAGE..." >&2; exit 2; }
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

wanted=()
for pkg in "$@"; do
  [ -f "$dir/$pkg.unpacked" ] || wanted+=("$pkg")
done
[ ${#wanted[@]} -gt 0 ] || exit 0

# The main archive's entry: the release of the binary Packages index of component main
# (the security and updates suites carry only some packages).
read -r uri release < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' \
  'Identifier: Packages' 'Component: main' 'Target-Of: deb' \
  | awk '$2 !~ /-(updates|security|backports)$/ {print; exit}')
if [ -z "${uri:-}" ] || [ -z "${release:-}" ]; then
  echo "windows-sources: apt has no binary index of component main to take the mirror from" >&2
  exit 1
fi

apt_dir=$dir/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
echo "deb-src [signed-by=$keyring] $uri $release main" >"$apt_dir/sources.list"
apt_opts=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list"
  -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists"
  -o "Dir::Cache=$apt_dir/cache"
  -o "APT::Sandbox::User=root"
)
apt-get "${apt_opts[@]}" -qq update
cd "$dir"
for pkg in "${wanted[@]}"; do
  apt-get "${apt_opts[@]}" -qq source --download-only "$pkg" >/dev/null
  dsc=$(ls -t "$pkg"_*.dsc | head -n 1)
  src_dir=$(dpkg-source --no-check -x "$dsc" | sed -n 's/^dpkg-source: info: extracting .* in //p')
  [ -n "$src_dir" ] && [ -d "$src_dir" ] || { echo "windows-sources: unpacking $dsc failed" >&2; exit 1; }
  echo "$src_dir" >"$pkg.unpacked"
done
