#!/bin/sh
# make_fixtures.sh OUTDIR [--large]: makes the signed files the signature tests use,
# at test time and with the tools a fresh Debian 12 root gets from scripts/setup.sh
# (nothing binary is kept in the tree):
#   - a tiny PE image built with mingw-w64 (and, with --large, one of 20 MiB);
#   - a certificate chain made with the openssl command: a test root (written to
#     OUTDIR/test-roots.pem, the file test builds trust besides the system bundle), an
#     intermediate and leaves for code signing, names that need quoting, an expired
#     signer, a server-authentication signer, and a second root nobody trusts;
#   - images signed with osslsigncode, and re-signed by tests/signing/signature_tool.cpp
#     (built here with the host compiler and libcrypto) where the signature needs a
#     publisher information osslsigncode cannot write, then attached with
#     osslsigncode attach-signature;
#   - the real image gcdx64.efi.signed of Debian's grub-efi-amd64-signed, fetched with
#     apt-get download and unpacked with dpkg-deb -x, never installed.
# OSSLSIGNCODE names another osslsigncode binary to use (newer ones refuse to write
# over a file, so every output is removed first). Every step must work: a
# fixture that cannot be made fails the run rather than a test going quiet.
set -eu
out=${1:?usage: make_fixtures.sh OUTDIR [--large]}
large=${2:-}
src=$(cd "$(dirname "$0")" && pwd)
sign=${OSSLSIGNCODE:-osslsigncode}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work="$out/work"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

quiet() { "$@" >/dev/null 2>"$work/last.err" || { cat "$work/last.err" >&2; echo "make_fixtures: failed: $*" >&2; exit 1; }; }

# ---- The tool ----
quiet ${CXX:-c++} -std=c++17 -O1 -Wall -Wextra -Werror -o "$out/signature_tool" "$src/signature_tool.cpp" -lcrypto

# ---- PE images ----
cat >tiny.c <<'EOF'
int entry(void) { return 0; }
EOF
quiet x86_64-w64-mingw32-gcc-posix -O2 -nostdlib -s -Wl,--entry=entry -o "$out/unsigned.exe" tiny.c
if [ "$large" = "--large" ]; then
  # 20 MiB of initialised data: the image's bytes are what the digest reads.
  cat >large.c <<'EOF'
__attribute__((used)) const unsigned char payload[20 << 20] = {1};
int entry(void) { return payload[0]; }
EOF
  quiet x86_64-w64-mingw32-gcc-posix -O2 -nostdlib -s -Wl,--entry=entry -o large-unsigned.exe large.c
fi
printf 'This is a text file, not an image.\n' >"$out/not-a-pe.txt"

# ---- The chain ----
ca_ext() {
  printf 'basicConstraints=critical,CA:TRUE%s\nkeyUsage=critical,keyCertSign,cRLSign\n' "$1" >"$2"
}
leaf_ext() {
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,%s\nextendedKeyUsage=%s\n' "$1" "$2" >"$3"
}
newkey() { quiet openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1"; }
# root NAME SUBJECT SERIAL
root() {
  newkey "$1.key"
  ca_ext "" "$1.ext"
  quiet openssl req -new -key "$1.key" -subj "$2" -out "$1.csr"
  quiet openssl x509 -req -in "$1.csr" -signkey "$1.key" -days 3650 -set_serial "$3" -extfile "$1.ext" -out "$1.pem"
}
# issue NAME SUBJECT SERIAL ISSUER EXTFILE
issue() {
  newkey "$1.key"
  quiet openssl req -new -key "$1.key" -subj "$2" -out "$1.csr"
  quiet openssl x509 -req -in "$1.csr" -CA "$4.pem" -CAkey "$4.key" -days 3650 -set_serial "$3" -extfile "$5" \
    -out "$1.pem"
}

root root "/O=acdc Test/CN=acdc Test Root" 0x01
cp root.pem "$out/test-roots.pem"
ca_ext ",pathlen:0" inter.ext
issue inter "/O=acdc Test/CN=acdc Test Intermediate" 0x02 root inter.ext
leaf_ext digitalSignature codeSigning code.ext
# A serial whose first byte is 0x80 or more: DER puts a 00 sign byte before it.
issue leaf "/C=DE/O=acdc Test Signer/CN=acdc Test Code Signing" 0x8A1B2C3D inter code.ext
issue names '/C=US/ST=Some, State/L=Springfield/O=Test "Quoted" Org/OU=Unit One+OU=Unit Two/CN=Names Leaf/emailAddress=names@example.test' \
  0x7F inter code.ext
leaf_ext digitalSignature,keyEncipherment serverAuth server.ext
issue server "/O=acdc Test/CN=acdc Server Leaf" 0x2000 inter server.ext
root other "/O=Nobody/CN=Untrusted Root" 0x05
issue stranger "/O=Nobody/CN=Untrusted Signer" 0x06 other code.ext

# The expired signer: openssl ca takes dates in the past.
newkey expired.key
quiet openssl req -new -key expired.key -subj "/O=acdc Test/CN=acdc Expired Signer" -out expired.csr
mkdir -p ca && : >ca/index.txt && echo 1000 >ca/serial
cat >ca.cnf <<EOF
[ca]
default_ca = fixture
[fixture]
dir = $work/ca
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
default_md = sha256
policy = anything
copy_extensions = none
x509_extensions = code
[anything]
commonName = supplied
organizationName = optional
[code]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
EOF
quiet openssl ca -batch -config ca.cnf -cert inter.pem -keyfile inter.key -in expired.csr -out expired.pem \
  -startdate 20200101000000Z -enddate 20210101000000Z -notext

# ---- Signed images ----
# signed NAME LEAF CHAIN...: signs unsigned.exe with LEAF's key, carrying LEAF and CHAIN.
signed() {
  name=$1 leaf=$2
  shift 2
  cat "$leaf.pem" >"$name.certs"
  for c in "$@"; do cat "$c.pem" >>"$name.certs"; done
  rm -f "$out/$name.exe"
  quiet "$sign" sign -certs "$name.certs" -key "$leaf.key" -h sha256 -n "acdc fixture" \
    -i "https://more.example.test/info" -in "$out/unsigned.exe" -out "$out/$name.exe"
}
signed signed leaf inter
signed names names inter
signed chaining leaf
signed untrusted stranger other
signed expired expired inter
signed usage server inter

# resigned NAME OPUS [OPTIONS...]: signed.exe's signature, changed and re-signed.
# attach-signature verifies what it attached and fails on every signature made to
# fail (and on publisher information it cannot read) after writing the image, so the
# image is checked instead: the signature read back from it must be the one attached.
quiet "$sign" extract-signature -pem -in "$out/signed.exe" -out signed.sig.pem
resigned() {
  name=$1
  shift
  quiet "$out/signature_tool" resign signed.sig.pem "$name.sig.pem" leaf.key "$@"
  rm -f "$out/$name.exe" "$name.back.pem"
  "$sign" attach-signature -sigin "$name.sig.pem" -CAfile "$out/test-roots.pem" -in "$out/unsigned.exe" \
    -out "$out/$name.exe" >"$name.attach.log" 2>&1 || true
  quiet "$sign" extract-signature -pem -in "$out/$name.exe" -out "$name.back.pem"
  cmp -s "$name.sig.pem" "$name.back.pem" || {
    cat "$name.attach.log" >&2
    echo "make_fixtures: $name.exe does not carry the signature attached to it" >&2
    exit 1
  }
}
resigned links links
resigned moniker moniker
resigned malformed malformed
resigned empty-opus empty
resigned no-opus none
resigned no-signer-cert keep drop-signer-cert
resigned bad-signature keep break-signature

# The image changed after signing: one byte of its DOS stub, which the digest covers.
cp "$out/signed.exe" "$out/changed.exe"
printf 'X' | dd of="$out/changed.exe" bs=1 seek=64 conv=notrunc 2>/dev/null
# Cut: inside the certificate table, and inside the headers.
size=$(wc -c <"$out/signed.exe")
head -c $((size - 100)) "$out/signed.exe" >"$out/cut-table.exe"
head -c 100 "$out/signed.exe" >"$out/cut-headers.exe"

if [ "$large" = "--large" ]; then
  rm -f "$out/large.exe"
  quiet "$sign" sign -certs signed.certs -key leaf.key -h sha256 -in large-unsigned.exe -out "$out/large.exe"
fi

# What the tests compare with, as the openssl command prints it.
for c in leaf names expired server stranger; do
  cp "$c.pem" "$out/$c.pem"
  openssl x509 -in "$c.pem" -noout -fingerprint -sha1 >"$out/$c.sha1"
done

# ---- The real image ----
mkdir -p grub && cd grub
quiet apt-get download grub-efi-amd64-signed
quiet dpkg-deb -x grub-efi-amd64-signed_*.deb root
image=$(find root -name gcdx64.efi.signed | head -n 1)
[ -n "$image" ] || { echo "make_fixtures: gcdx64.efi.signed is not in grub-efi-amd64-signed" >&2; exit 1; }
cp "$image" "$out/gcdx64.efi.signed"
rm -f "$out/gcdx64.sig.pem"
quiet "$sign" extract-signature -pem -in "$out/gcdx64.efi.signed" -out "$out/gcdx64.sig.pem"
cd "$work"
rm -rf grub

echo "signing fixtures in $out"
