// libFuzzer target for rule-set decryption and inflation (ac/ruleset_reader.cpp,
// ac/zlib_filter.cpp) over a memory BIO. Run it with `bash scripts/fuzz.sh [seconds]`;
// seeds are in fuzz/corpus/ruleset, and the script adds compressed and enciphered ones
// made at run time.
//
// The first byte picks the options: bits 0-2 the cipher (none and seven others, key
// bytes 00 01 02 ..., IV bytes 10 11 12 ...), bit 3 zlib, bit 4 FIPS mode. The rest
// is the file. Every input must be read or refused without a crash or a leak, leave
// no chain open, and:
// - without a cipher or compression, come back unchanged;
// - compressed only, succeed exactly when zlib's own inflate ends the stream at the
//   input's last byte, and then give the same bytes.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ac/ruleset_reader.h"

namespace {

using acdc::ac::ReadRulesetBio;
using acdc::ac::RulesetOptions;
using acdc::ac::RulesetResult;
using acdc::ac::RulesetStatus;
using acdc::ac::RulesetText;

struct Cipher {
  const char* name;
  size_t key_len, iv_len;
};

const Cipher kCiphers[8] = {
    {nullptr, 0, 0},          {"aes-128-cbc", 16, 16}, {"aes-128-ctr", 16, 16}, {"aes-128-ecb", 16, 0},
    {"bf-cbc", 16, 8},        {"chacha20", 32, 16},    {"aes-256-gcm", 32, 12}, {"des-ede3-cbc", 24, 8},
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "ruleset_fuzz: %s\n", what);
  std::abort();
}

// zlib's own reading of `in`: whether the stream ended with the input, and its text.
bool ZlibInflate(const uint8_t* in, size_t n, std::string* out) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) Fail("inflateInit");
  zs.next_in = const_cast<Bytef*>(in);
  zs.avail_in = static_cast<uInt>(n);
  unsigned char buf[16384];
  int rc;
  do {
    zs.next_out = buf;
    zs.avail_out = sizeof buf;
    rc = inflate(&zs, Z_NO_FLUSH);
    out->append(reinterpret_cast<char*>(buf), sizeof buf - zs.avail_out);
  } while (rc == Z_OK && (zs.avail_in > 0 || zs.avail_out == 0));
  bool whole = rc == Z_STREAM_END && zs.avail_in == 0;
  inflateEnd(&zs);
  return whole;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static char key[32], iv[16];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<char>(i);
  for (int i = 0; i < 16; ++i) iv[i] = static_cast<char>(0x10 + i);
  const Cipher& c = kCiphers[data[0] & 7];
  bool zlib = (data[0] & 8) != 0;
  RulesetOptions o{};
  if (c.name != nullptr) {
    o.encalg = c.name;
    o.encalg_len = std::strlen(c.name);
    o.key = key;
    o.key_len = c.key_len;
    o.iv = iv;
    o.iv_len = c.iv_len;
  }
  if (zlib) {
    o.comp = "zlib";
    o.comp_len = 4;
  }
  o.fips = (data[0] & 16) != 0;
  const uint8_t* file = data + 1;
  size_t n = size - 1;

  RulesetText text{};
  RulesetResult result;
  ERR_clear_error();
  ReadRulesetBio(BIO_new_mem_buf(file, static_cast<int>(n)), o, &text, &result);
  ERR_clear_error();
  std::string got(text.data == nullptr ? "" : text.data, text.size);
  std::free(text.data);
  if (acdc::ac::RulesetChainsOpen() != 0) Fail("a chain was left open");
  if (result.status != RulesetStatus::kOk && result.status != RulesetStatus::kReadFailed) Fail("options refused");

  if (c.name == nullptr && !zlib) {
    if (result.status != RulesetStatus::kOk || got != std::string(reinterpret_cast<const char*>(file), n))
      Fail("a plain file did not come back unchanged");
  } else if (c.name == nullptr) {
    std::string expected;
    bool whole = ZlibInflate(file, n, &expected);
    if (whole != (result.status == RulesetStatus::kOk)) Fail("success differs from zlib's");
    if (whole && got != expected) Fail("text differs from zlib's");
  }
  return 0;
}
