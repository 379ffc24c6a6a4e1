// ExecCache: the policy's verdicts on files (approved, unrecognized, block), keyed by
// the SHA-256 digest of the path text, so that executions and script opens of files
// seen before are answered without Lua.
//
// A fixed direct-mapped table of 65,536 entries in static storage, shared by every
// thread and Lua state, guarded by one cache mutex that covers one entry and its
// counters. Digests and file status are computed outside it. An add overwrites its
// slot; nothing expires.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cache/digest.h"

namespace acdc::cache {

constexpr uint32_t kExecCacheSlots = 65536;
// Files of this size or more are not examined for execution (100 MiB).
constexpr uint64_t kExecMaxFileSize = 104857600;
// "ruleset-%d-%d-%d-%d" with four signed 16-bit numbers, and the NUL.
constexpr size_t kRulesetTextCapacity = 40;

enum CacheType : uint32_t {
  kNotCached = 0,
  kApproved = 1,
  kUnrecognized = 2,
  kBlock = 3,
};

struct ExecCacheEntry {
  uint8_t digest[platform::kSha256Bytes];  // SHA-256 of the path text
  uint16_t rulesetNumbers[4];              // a block's rule set a-b-c-d; all 0: none
  uint32_t cache_type;                     // a CacheType; 0 in an empty slot
};

struct ExecCacheCounters {
  uint64_t clear;
  uint64_t add_approved;
  uint64_t add_unrecognized;
  uint64_t add_block;
  uint64_t removehit;
  uint64_t removemiss;
  uint64_t removefail;  // reported; nothing increments it
  uint64_t hit_approved;
  uint64_t hit_unrecognized;
  uint64_t hit_block;
  uint64_t miss;
  uint64_t stat_fail;
  uint64_t stat_size_zero;
  uint64_t stat_not_file;
  uint64_t stat_too_big;
};

// Results of the operations below.
constexpr int kCacheDigestFailed = -1;
constexpr int kCacheCannotJudge = -2;

// Stores a verdict for the path (`len` bytes, any length): type 2 unrecognized, 3
// block, anything else approved. A block takes its rule set from `ruleset` (or
// null) when that reads "ruleset-a-b-c-d". Returns 1, or kCacheDigestFailed.
int AddToCache(const char* path, size_t len, int64_t type, const char* ruleset);

// Empties the path's slot when it holds this path. 1 when it did, 0 when not,
// kCacheDigestFailed.
int RemoveFromCache(const char* path, size_t len);

// Looks the path up. `*type` gets the verdict, 0 when not cached. For a block with
// a rule set, `text` (capacity `text_cap`) gets "ruleset-a-b-c-d"; otherwise `text`
// is left as it was. When the path is not cached and both `size` and `qualifies`
// are given, the file is examined: it must be a regular file of 1 byte up to under
// 100 MiB, whose size and 1 are then stored; else the reason is counted and the
// result is kCacheCannotJudge. The status is read under `real_spelling` first when
// one is given (the file's name in its own case, one system call), then under the
// path itself. Returns 1, kCacheDigestFailed or kCacheCannotJudge.
int IsCached(const char* path, size_t len, int32_t* type, char* text, size_t text_cap, uint64_t* size,
             uint32_t* qualifies, const char* real_spelling = nullptr);

// Empties every entry; the counters stay.
void ClearCache();

// A snapshot of the counters, read under the mutex.
ExecCacheCounters CacheStats();

// Copies the whole table, under the mutex, into `out` (kExecCacheSlots entries).
void CopyExecCache(ExecCacheEntry* out);

}  // namespace acdc::cache
