// Reading a rule-set file through a filter chain: optional decryption with a cipher
// named as OpenSSL names it, then optional zlib inflation. No Lua here: the glue
// (ruleset.cpp) collects the options, and builds and raises the messages.
//
// Ciphers are fetched from a library context of this module's own, made once with
// the default and legacy providers loaded into it. Nothing is ever loaded into the
// default context: loading legacy there as a process's first OpenSSL call keeps the
// default provider from loading, and every SHA-256 of the decision path would then
// fail.
#pragma once

#include <openssl/bio.h>

#include <cstddef>
#include <cstdint>

namespace acdc::ac {

// The caller's options, borrowed for the call. A null text is an absent option.
struct RulesetOptions {
  const char* encalg;  // cipher name, NUL-terminated
  size_t encalg_len;
  const char* key;  // key bytes; null or any length
  size_t key_len;
  const char* iv;  // IV bytes; null or any length
  size_t iv_len;
  const char* comp;  // compression name, NUL-terminated
  size_t comp_len;
  bool fips;  // the crypto library runs in FIPS mode (set by the caller)
};

// The plain text, grown by doubling (realloc, then large blocks from a few MiB on).
// Its owner frees `data` with std::free, on every path, whatever the reader returned.
struct RulesetText {
  char* data;
  size_t size;      // bytes of text
  size_t capacity;  // bytes allocated
};

enum class RulesetStatus : uint8_t {
  kOk,
  kOpenFailed,              // the file could not be opened
  kUnknownCipher,           // the name does not fetch
  kKeyLength,               // given length != the cipher's
  kIvLength,                // given length != the cipher's
  kCipherFailed,            // the cipher filter could not be made or set up
  kUnsupportedCompression,  // "comp" other than none, z or zlib
  kZlibFailed,              // the zlib filter could not be made
  kReadFailed,              // an error was queued, or reads failed without one
  kOutOfMemory,             // the text could not grow
};

struct RulesetResult {
  RulesetStatus status;
  int given_length;         // kKeyLength, kIvLength: the length given
  int cipher_length;        // kKeyLength, kIvLength: the cipher's
  unsigned long code;       // kReadFailed: the earliest queued code, packed; 0 when none
  char reason[256];         // kReadFailed: its reason text, else its full error string,
                            // or a fixed text when nothing was queued
  bool cipher_final_ok;     // the cipher's final step (padding or tag check) passed
};

// Reads in a row that may answer "retry" before the read fails.
constexpr int kMaxReadRetries = 16;

// The fixed reason of a read that failed with nothing queued.
constexpr char kReadFailedWithoutCode[] = "read failed without an error code";

// Clears this thread's OpenSSL error queue, then opens the file at `path` (UTF-8)
// as a file BIO in binary mode; null when it cannot be opened.
BIO* OpenRulesetFile(const char* path);

// Whether an option's text asks for a layer: absent, empty, "none" and "null" do not.
bool NamesALayer(const char* s, size_t n);

// Reads `source` through the chain that `options` ask for, appending the plain text
// to `text`. Takes over `source` (a file BIO, or a memory BIO for tests and fuzzing)
// and frees it with the chain. Does not clear the error queue. Fills `result`; the
// text is whole only with kOk.
void ReadRulesetBio(BIO* source, const RulesetOptions& options, RulesetText* text, RulesetResult* result);

// Chains built and not yet freed, over the whole process: 0 between calls.
int RulesetChainsOpen();

}  // namespace acdc::ac
