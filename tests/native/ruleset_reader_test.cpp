// The rule-set reader below Lua: the zlib filter against zlib itself, the retry
// bound, the chain freed on every path, and the GCM tag step taken in FIPS mode
// (a real tag that does not match is in ruleset_glue_test).
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ac/ruleset_reader.h"

namespace {

using acdc::ac::kMaxReadRetries;
using acdc::ac::ReadRulesetBio;
using acdc::ac::RulesetChainsOpen;
using acdc::ac::RulesetOptions;
using acdc::ac::RulesetResult;
using acdc::ac::RulesetStatus;
using acdc::ac::RulesetText;

constexpr unsigned long kInflateCode = (41ul << 23) | 100;  // COMP_R_ZLIB_INFLATE_ERROR

struct Outcome {
  RulesetResult result;
  std::string text;
};

// Reads `source` with `options`; the text is freed here, as the glue frees it.
Outcome Read(BIO* source, const RulesetOptions& options) {
  Outcome out;
  RulesetText text{};
  ERR_clear_error();
  ReadRulesetBio(source, options, &text, &out.result);
  out.text.assign(text.data == nullptr ? "" : text.data, text.size);
  std::free(text.data);
  ERR_clear_error();
  EXPECT_EQ(RulesetChainsOpen(), 0);
  return out;
}

Outcome ReadMemory(const std::string& data, const RulesetOptions& options) {
  return Read(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())), options);
}

RulesetOptions Zlib() {
  RulesetOptions o{};
  o.comp = "zlib";
  o.comp_len = 4;
  return o;
}

std::string Compress(const std::string& text, int level) {
  uLongf n = compressBound(text.size());
  std::string out(n, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(&out[0]), &n, reinterpret_cast<const Bytef*>(text.data()), text.size(),
                      level),
            Z_OK);
  out.resize(n);
  return out;
}

// Text that compresses, about 300 KB: several of the filter's input buffers.
std::string RuleText() {
  std::string s;
  for (int i = 0; s.size() < 300000; ++i) s += "rule " + std::to_string(i * 7919 % 100003) + " allow C:\\Apps\\*.exe\r\n";
  return s;
}

// At every level; and past a few MiB, where the text moves into large blocks, every
// byte must come along, compressed or not.
TEST(ZlibFilter, InflatesWhatZlibDeflatesAtEveryLevelAndPastTheLargeBlockSize) {
  std::string text = RuleText(), big;
  for (int level : {0, 1, 6, 9}) {
    Outcome o = ReadMemory(Compress(text, level), Zlib());
    EXPECT_EQ(o.result.status, RulesetStatus::kOk) << level;
    EXPECT_EQ(o.text, text) << level;
  }
  for (uint32_t i = 0; big.size() < (10u << 20); ++i) big += "rule " + std::to_string(i * 2654435761u) + "\n";
  Outcome o = ReadMemory(Compress(big, 1), Zlib());
  EXPECT_EQ(o.result.status, RulesetStatus::kOk);
  EXPECT_TRUE(o.text == big);
  EXPECT_TRUE(ReadMemory(big, RulesetOptions{}).text == big);
}

// Every cut of a stream fails, whatever was inflated before it: a shorter rule set
// must never load as whole.
TEST(ZlibFilter, EveryCutOfTheStreamAndBytesAfterItAreAnInflateError) {
  std::string z = Compress("allow C:\\Tools\\*.exe\nblock %TEMP%\\*.ps1\n", 9);
  EXPECT_EQ(ReadMemory(z, Zlib()).result.status, RulesetStatus::kOk);
  for (size_t n = 0; n < z.size(); ++n) {
    Outcome o = ReadMemory(z.substr(0, n), Zlib());
    ASSERT_EQ(o.result.status, RulesetStatus::kReadFailed) << n;
    EXPECT_EQ(o.result.code, kInflateCode) << n;
    EXPECT_STREQ(o.result.reason, "zlib inflate error") << n;
  }
  // Right after the stream, and far enough behind it that the filter's first refill
  // does not hold them.
  std::string big = Compress(RuleText(), 6);
  for (const std::string& tail : {std::string(1, '\0'), std::string(200000, 'x'), big}) {
    Outcome o = ReadMemory(big + tail, Zlib());
    EXPECT_EQ(o.result.status, RulesetStatus::kReadFailed) << tail.size();
    EXPECT_EQ(o.result.code, kInflateCode) << tail.size();
  }
}

// A source that answers "retry" a set number of times before each of its chunks,
// then the end. The filter above must pass the retries up and lose no byte.
struct Stutter {
  std::string data;
  size_t at = 0;
  int retries_before_each = 0;  // answers of -1 with the retry flag before each chunk
  int owed = 0;
  size_t chunk = 1000;
};

int StutterRead(BIO* b, char* out, int len) {
  auto* s = static_cast<Stutter*>(BIO_get_data(b));
  BIO_clear_retry_flags(b);
  if (s->at == s->data.size()) return 0;
  if (s->owed > 0) {
    --s->owed;
    BIO_set_retry_read(b);
    return -1;
  }
  size_t n = std::min({s->chunk, s->data.size() - s->at, static_cast<size_t>(len)});
  std::memcpy(out, s->data.data() + s->at, n);
  s->at += n;
  s->owed = s->retries_before_each;
  return static_cast<int>(n);
}

BIO* NewStutter(Stutter* s) {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "stutter");
    BIO_meth_set_read(m, StutterRead);
    // Controls a filter passes down (a push, for one) are answered as a memory BIO
    // answers those it does not know.
    BIO_meth_set_ctrl(m, [](BIO*, int, long, void*) -> long { return 0; });
    BIO_meth_set_create(m, [](BIO* b) {
      BIO_set_init(b, 1);
      return 1;
    });
    return m;
  }();
  BIO* b = BIO_new(method);
  BIO_set_data(b, s);
  s->owed = s->retries_before_each;
  return b;
}

TEST(ReadLoop, RetriesUpToTheBoundInARowAndNoFurther) {
  std::string text = RuleText().substr(0, 20000);
  std::string z = Compress(text, 6);
  for (bool compressed : {false, true}) {
    Stutter ok{compressed ? z : text};
    ok.retries_before_each = kMaxReadRetries;
    Outcome o = Read(NewStutter(&ok), compressed ? Zlib() : RulesetOptions{});
    EXPECT_EQ(o.result.status, RulesetStatus::kOk) << compressed;
    EXPECT_EQ(o.text, text) << compressed;

    Stutter stuck{compressed ? z : text};
    stuck.retries_before_each = kMaxReadRetries + 1;
    o = Read(NewStutter(&stuck), compressed ? Zlib() : RulesetOptions{});
    EXPECT_EQ(o.result.status, RulesetStatus::kReadFailed) << compressed;
    EXPECT_EQ(o.result.code, 0u);
    EXPECT_STREQ(o.result.reason, "read failed without an error code");
    EXPECT_EQ(stuck.at, 0u) << "no chunk may be read past the bound";
  }
}

// A source that fails without the retry flag and queues nothing: the read stops at
// once rather than asking again.
TEST(ReadLoop, AFailureWithoutRetryStopsAtOnce) {
  static int calls = 0;
  BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "broken");
  BIO_meth_set_read(m, [](BIO*, char*, int) {
    ++calls;
    return -1;
  });
  BIO_meth_set_create(m, [](BIO* b) {
    BIO_set_init(b, 1);
    return 1;
  });
  Outcome o = Read(BIO_new(m), RulesetOptions{});
  BIO_meth_free(m);
  EXPECT_EQ(o.result.status, RulesetStatus::kReadFailed);
  EXPECT_STREQ(o.result.reason, "read failed without an error code");
  EXPECT_EQ(calls, 1);
}

// The options are checked in order, and each failure frees the chain (Read checks
// that no chain is left open) and reads nothing.
TEST(Options, EachRefusalNamesItsNumbersAndFreesTheChain) {
  static const char kKey[32] = {};
  struct Case {
    const char* encalg;
    size_t key_len, iv_len;
    const char* comp;
    RulesetStatus status;
    int given, cipher;
  } cases[] = {
      {"aes-256-cbc", 32, 16, "gzip", RulesetStatus::kUnsupportedCompression, 0, 0},
      {"aes-256-cbc", 16, 16, "gzip", RulesetStatus::kKeyLength, 16, 32},
      {"aes-256-cbc", 32, 12, nullptr, RulesetStatus::kIvLength, 12, 16},
      {"no-such-cipher", 32, 16, "gzip", RulesetStatus::kUnknownCipher, 0, 0},
      {"bf-cbc", 16, 8, "zlib", RulesetStatus::kReadFailed, 0, 0},
  };
  for (const Case& c : cases) {
    RulesetOptions o{};
    o.encalg = c.encalg;
    o.encalg_len = std::strlen(c.encalg);
    o.key = kKey;
    o.key_len = c.key_len;
    o.iv = kKey;
    o.iv_len = c.iv_len;
    o.comp = c.comp;
    o.comp_len = c.comp == nullptr ? 0 : std::strlen(c.comp);
    Outcome out = ReadMemory(std::string(64, 'r'), o);
    EXPECT_EQ(out.result.status, c.status) << c.encalg;
    EXPECT_EQ(out.result.given_length, c.given) << c.encalg;
    EXPECT_EQ(out.result.cipher_length, c.cipher) << c.encalg;
  }
}

// ---- GCM in FIPS mode ----
//
// In FIPS mode the reader sets the expected tag of a cipher named with "gcm" to
// 16 zero bytes. To see that it did, the test makes a GCM file whose tag really is
// zero: with the key known, the last ciphertext block is solved for in GF(2^128).

struct Block {
  uint64_t hi, lo;  // big-endian halves
};

Block Load(const unsigned char* p) {
  Block b{0, 0};
  for (int i = 0; i < 8; ++i) b.hi = b.hi << 8 | p[i];
  for (int i = 8; i < 16; ++i) b.lo = b.lo << 8 | p[i];
  return b;
}

void Store(Block b, unsigned char* p) {
  for (int i = 7; i >= 0; --i, b.hi >>= 8) p[i] = static_cast<unsigned char>(b.hi);
  for (int i = 15; i >= 8; --i, b.lo >>= 8) p[i] = static_cast<unsigned char>(b.lo);
}

Block Xor(Block a, Block b) { return {a.hi ^ b.hi, a.lo ^ b.lo}; }

// The product in GCM's field, bit 0 being the most significant (SP 800-38D, 6.3).
Block Mul(Block x, Block y) {
  Block z{0, 0}, v = y;
  for (int i = 0; i < 128; ++i) {
    uint64_t bit = i < 64 ? x.hi >> (63 - i) & 1 : x.lo >> (127 - i) & 1;
    if (bit) z = Xor(z, v);
    bool carry = v.lo & 1;
    v.lo = v.lo >> 1 | v.hi << 63;
    v.hi >>= 1;
    if (carry) v.hi ^= 0xE100000000000000ull;
  }
  return z;
}

// x^(2^128 - 2), the inverse of a non-zero x.
Block Inverse(Block x) {
  Block result{0x8000000000000000ull, 0};  // the field's 1
  Block square = x;
  for (int i = 1; i < 128; ++i) {
    square = Mul(square, square);
    result = Mul(result, square);
  }
  return result;
}

Block Aes(const unsigned char* key, Block in) {
  unsigned char a[16], b[32];
  Store(in, a);
  int n = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(EVP_EncryptUpdate(ctx, b, &n, a, 16), 1);
  EVP_CIPHER_CTX_free(ctx);
  return Load(b);
}

// One ciphertext block under key `key` and the 12-byte `iv`, no AAD, whose tag is 0.
std::string ZeroTagCiphertext(const unsigned char* key, const unsigned char* iv) {
  Block h = Aes(key, {0, 0});
  unsigned char j0[16] = {};
  std::memcpy(j0, iv, 12);
  j0[15] = 1;
  Block s = Aes(key, Load(j0));
  Block lengths{0, 128};  // no AAD, 128 bits of ciphertext
  // tag = GHASH(C, L) ^ E(J0) = C*H^2 ^ L*H ^ S; zero when C = (S ^ L*H) / H^2.
  Block c = Mul(Xor(s, Mul(lengths, h)), Inverse(Mul(h, h)));
  unsigned char out[16];
  Store(c, out);
  return std::string(reinterpret_cast<char*>(out), 16);
}

RulesetOptions Gcm(const unsigned char* key, const unsigned char* iv, bool fips, const char* name = "aes-256-gcm") {
  RulesetOptions o{};
  o.encalg = name;
  o.encalg_len = std::strlen(name);
  o.key = reinterpret_cast<const char*>(key);
  o.key_len = 32;
  o.iv = reinterpret_cast<const char*>(iv);
  o.iv_len = 12;
  o.fips = fips;
  return o;
}

TEST(GcmInFipsMode, TheExpectedTagIsSixteenZeroBytes) {
  unsigned char key[32], iv[12];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i * 37 + 1);
  for (int i = 0; i < 12; ++i) iv[i] = static_cast<unsigned char>(i * 11 + 5);
  std::string forged = ZeroTagCiphertext(key, iv);

  // The forgery holds: the library's own decryption accepts the zero tag.
  unsigned char plain[16], zero[16] = {};
  int n = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ASSERT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, iv), 1);
  ASSERT_EQ(EVP_DecryptUpdate(ctx, plain, &n, reinterpret_cast<const unsigned char*>(forged.data()), 16), 1);
  ASSERT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, zero), 1);
  ASSERT_EQ(EVP_DecryptFinal_ex(ctx, plain + n, &n), 1);
  EVP_CIPHER_CTX_free(ctx);
  std::string expected(reinterpret_cast<char*>(plain), 16);

  Outcome fips = ReadMemory(forged, Gcm(key, iv, true));
  EXPECT_EQ(fips.result.status, RulesetStatus::kOk);
  EXPECT_TRUE(fips.result.cipher_final_ok);
  EXPECT_EQ(fips.text, expected);

  // Outside FIPS mode no tag is set, so the final check fails; and the name is
  // matched case-sensitively, so an upper-case alias sets none either. Neither
  // queues an error: the text is returned all the same.
  for (const RulesetOptions& o : {Gcm(key, iv, false), Gcm(key, iv, true, "id-aes256-GCM")}) {
    Outcome out = ReadMemory(forged, o);
    EXPECT_EQ(out.result.status, RulesetStatus::kOk) << o.encalg;
    EXPECT_FALSE(out.result.cipher_final_ok) << o.encalg;
    EXPECT_EQ(out.text, expected) << o.encalg;
  }
}

}  // namespace
