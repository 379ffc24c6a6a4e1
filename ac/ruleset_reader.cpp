#include "ac/ruleset_reader.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ac/zlib_filter.h"
#include "platform/memory.h"

namespace acdc::ac {

namespace {

// The text grows by doubling from here, and each read asks for at least this much
// room: one read then carries many cipher blocks and inflate calls.
constexpr size_t kFirstCapacity = 64 * 1024;
constexpr size_t kMinReadRoom = 64 * 1024;
// One read never asks for more than this (BIO_read takes an int).
constexpr size_t kMaxRead = size_t{1} << 30;
// From this size on the text sits in blocks meant for large pages.
constexpr size_t kLargeBlock = size_t{4} << 20;

constexpr size_t kGcmTagBytes = 16;

std::atomic<int> g_chains_open{0};

// Made once, never freed: Lua states on other threads may be decrypting when one of
// them unloads the module. A provider that does not load (legacy missing from an
// installation) only leaves its names unfetchable: they are unknown ciphers.
OSSL_LIB_CTX* CipherLibrary() {
  static OSSL_LIB_CTX* const library = [] {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OSSL_LIB_CTX* ctx = OSSL_LIB_CTX_new();
    if (ctx != nullptr) {
      OSSL_PROVIDER_load(ctx, "default");
      OSSL_PROVIDER_load(ctx, "legacy");
    }
    // Whatever failed while loading is no error of any read.
    ERR_clear_error();
    return ctx;
  }();
  return library;
}

bool Equals(const char* s, size_t n, const char* literal) {
  return n == std::strlen(literal) && std::memcmp(s, literal, n) == 0;
}

bool Reserve(RulesetText* text, size_t room) {
  if (text->capacity - text->size >= room) return true;
  size_t capacity = text->capacity == 0 ? kFirstCapacity : text->capacity;
  while (capacity - text->size < room) {
    if (capacity > SIZE_MAX / 2) return false;
    capacity *= 2;
  }
  void* grown;
  if (capacity < kLargeBlock) {
    grown = std::realloc(text->data, capacity);
  } else {
    // realloc would move a large block's pages to an address where large pages no
    // longer fit; a fresh block and one copy cost less than the faults.
    grown = platform::AllocateLargeBlock(capacity);
    if (grown != nullptr) {
      if (text->size > 0) std::memcpy(grown, text->data, text->size);
      std::free(text->data);
    }
  }
  if (grown == nullptr) return false;
  text->data = static_cast<char*>(grown);
  text->capacity = capacity;
  return true;
}

// Pushes the cipher filter on `*top`. Returns kOk or the failure; `*top` stays the
// chain to free either way.
RulesetStatus PushCipher(BIO** top, const RulesetOptions& o, RulesetResult* result) {
  OSSL_LIB_CTX* library = CipherLibrary();
  // A name with a NUL inside would be fetched by its first part.
  EVP_CIPHER* cipher = library == nullptr || std::strlen(o.encalg) != o.encalg_len
                           ? nullptr
                           : EVP_CIPHER_fetch(library, o.encalg, nullptr);
  if (cipher == nullptr) return RulesetStatus::kUnknownCipher;
  RulesetStatus status = RulesetStatus::kOk;
  int key_length = EVP_CIPHER_get_key_length(cipher), iv_length = EVP_CIPHER_get_iv_length(cipher);
  BIO* filter = nullptr;
  if (o.key_len != static_cast<size_t>(key_length)) {
    status = RulesetStatus::kKeyLength;
    result->given_length = static_cast<int>(o.key_len > INT_MAX ? INT_MAX : o.key_len);
    result->cipher_length = key_length;
  } else if (o.iv_len != static_cast<size_t>(iv_length)) {
    status = RulesetStatus::kIvLength;
    result->given_length = static_cast<int>(o.iv_len > INT_MAX ? INT_MAX : o.iv_len);
    result->cipher_length = iv_length;
  } else if ((filter = BIO_new(BIO_f_cipher())) == nullptr ||
             BIO_set_cipher(filter, cipher, reinterpret_cast<const unsigned char*>(o.key),
                            reinterpret_cast<const unsigned char*>(o.iv), 0) != 1) {
    // A wrap mode, for one, fetches but refuses to be set up as a stream filter.
    status = RulesetStatus::kCipherFailed;
    BIO_free(filter);
  } else {
    *top = BIO_push(filter, *top);
    if (o.fips && std::strstr(o.encalg, "gcm") != nullptr) {
      static const unsigned char kZeroTag[kGcmTagBytes] = {};
      EVP_CIPHER_CTX* ctx = nullptr;
      BIO_get_cipher_ctx(filter, &ctx);
      if (ctx != nullptr)
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kGcmTagBytes),
                            const_cast<unsigned char*>(kZeroTag));
    }
  }
  // The filter's context keeps its own reference to the cipher.
  EVP_CIPHER_free(cipher);
  return status;
}

RulesetStatus PushZlib(BIO** top, const RulesetOptions& o) {
  if (!Equals(o.comp, o.comp_len, "z") && !Equals(o.comp, o.comp_len, "zlib"))
    return RulesetStatus::kUnsupportedCompression;
  const BIO_METHOD* method = ZlibFilterMethod();
  BIO* filter = method == nullptr ? nullptr : BIO_new(method);
  if (filter == nullptr) return RulesetStatus::kZlibFailed;
  *top = BIO_push(filter, *top);
  return RulesetStatus::kOk;
}

void Copy(const char* from, char* to, size_t cap) {
  size_t n = std::strlen(from);
  if (n >= cap) n = cap - 1;
  std::memcpy(to, from, n);
  to[n] = '\0';
}

// Reads the chain to its end. Negative answers are read again only while the chain
// says "retry", and only kMaxReadRetries times in a row.
RulesetStatus ReadAll(BIO* top, RulesetText* text, RulesetResult* result) {
  bool failed = false;
  int retries = 0;
  for (;;) {
    if (!Reserve(text, kMinReadRoom)) return RulesetStatus::kOutOfMemory;
    size_t room = text->capacity - text->size;
    int n = BIO_read(top, text->data + text->size, static_cast<int>(room < kMaxRead ? room : kMaxRead));
    if (n > 0) {
      text->size += static_cast<size_t>(n);
      retries = 0;
      continue;
    }
    if (n == 0) break;
    if (!BIO_should_retry(top) || ++retries > kMaxReadRetries) {
      failed = true;
      break;
    }
  }
  unsigned long code = ERR_peek_error();
  if (code == 0 && !failed) return RulesetStatus::kOk;
  result->code = code;
  if (code == 0) {
    Copy(kReadFailedWithoutCode, result->reason, sizeof result->reason);
  } else if (const char* reason = ERR_reason_error_string(code)) {
    Copy(reason, result->reason, sizeof result->reason);
  } else {
    ERR_error_string_n(code, result->reason, sizeof result->reason);
  }
  return RulesetStatus::kReadFailed;
}

}  // namespace

void ReadRulesetBio(BIO* source, const RulesetOptions& o, RulesetText* text, RulesetResult* result) {
  *result = RulesetResult{};
  result->cipher_final_ok = true;
  g_chains_open.fetch_add(1, std::memory_order_relaxed);
  BIO* top = source;
  BIO* cipher = nullptr;
  RulesetStatus status = RulesetStatus::kOk;
  if (NamesALayer(o.encalg, o.encalg_len)) {
    status = PushCipher(&top, o, result);
    if (status == RulesetStatus::kOk) cipher = top;
  }
  if (status == RulesetStatus::kOk && NamesALayer(o.comp, o.comp_len)) status = PushZlib(&top, o);
  if (status == RulesetStatus::kOk) status = ReadAll(top, text, result);
  if (cipher != nullptr) result->cipher_final_ok = BIO_get_cipher_status(cipher) == 1;
  BIO_free_all(top);
  g_chains_open.fetch_sub(1, std::memory_order_relaxed);
  result->status = status;
}

BIO* OpenRulesetFile(const char* path) {
  ERR_clear_error();
  return BIO_new_file(path, "rb");
}

bool NamesALayer(const char* s, size_t n) {
  return s != nullptr && n > 0 && !Equals(s, n, "none") && !Equals(s, n, "null");
}

int RulesetChainsOpen() { return g_chains_open.load(std::memory_order_relaxed); }

}  // namespace acdc::ac
