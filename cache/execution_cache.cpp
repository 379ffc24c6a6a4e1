#include "cache/execution_cache.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/cache_mutex.h"
#include "platform/services.h"

namespace acdc::cache {

namespace {

using platform::CacheMutex;
using platform::CacheMutexGuard;

// Guarded by CacheMutex::kExecCache, as are the counters.
ExecCacheEntry g_entries[kExecCacheSlots];
ExecCacheCounters g_counters;

inline bool SameDigest(const ExecCacheEntry& e, const PathDigest& d) {
  return std::memcmp(e.digest, d.bytes, sizeof e.digest) == 0;
}

// The four numbers of "ruleset-a-b-c-d", each field read by a base-10 strtol
// (leading digits count, anything else is 0; past its range it gives LONG_MAX or
// LONG_MIN) and kept in its low 16 bits. False, leaving `numbers` alone, unless all
// four fields are there. The fields are at most 511 bytes each: a longer one makes
// the text no rule-set reference at all, except the last, of which 511 bytes are
// read.
bool ParseRuleset(const char* text, uint16_t numbers[4]) {
  char fields[4][512];
  if (std::sscanf(text, "ruleset-%511[^-]-%511[^-]-%511[^-]-%511s", fields[0], fields[1], fields[2], fields[3]) != 4)
    return false;
  for (int i = 0; i < 4; ++i)
    numbers[i] = static_cast<uint16_t>(static_cast<unsigned long>(std::strtol(fields[i], nullptr, 10)));
  return true;
}

enum class FileVerdict { kQualifies, kFail, kSizeZero, kTooBig, kNotFile };

FileVerdict ExamineFile(const char* path, const char* real_spelling, uint64_t* size) {
  platform::FileStatus st;
  bool found = real_spelling != nullptr && real_spelling[0] != '\0' &&
               platform::GetFileStatus(real_spelling, &st) == platform::kErrorSuccess;
  if (!found && platform::GetFileStatus(path, &st) != platform::kErrorSuccess) return FileVerdict::kFail;
  // In this order: a directory of size 0 counts as size zero.
  if (st.size == 0) return FileVerdict::kSizeZero;
  if (st.size >= kExecMaxFileSize) return FileVerdict::kTooBig;
  if (st.type != platform::FileType::kRegular) return FileVerdict::kNotFile;
  *size = st.size;
  return FileVerdict::kQualifies;
}

}  // namespace

int AddToCache(const char* path, size_t len, int64_t type, const char* ruleset) {
  PathDigest d;
  if (!DigestPath(path, len, &d)) return kCacheDigestFailed;
  uint16_t numbers[4] = {};
  uint32_t stored = type == kUnrecognized ? kUnrecognized : type == kBlock ? kBlock : kApproved;
  if (stored == kBlock && ruleset != nullptr) ParseRuleset(ruleset, numbers);
  const uint16_t slot = ExecSlotIndex(d);
  CacheMutexGuard lock(CacheMutex::kExecCache);
  ExecCacheEntry& e = g_entries[slot];
  std::memcpy(e.digest, d.bytes, sizeof e.digest);
  std::memcpy(e.rulesetNumbers, numbers, sizeof numbers);
  e.cache_type = stored;
  switch (stored) {
    case kUnrecognized: ++g_counters.add_unrecognized; break;
    case kBlock: ++g_counters.add_block; break;
    default: ++g_counters.add_approved; break;
  }
  return 1;
}

int RemoveFromCache(const char* path, size_t len) {
  PathDigest d;
  if (!DigestPath(path, len, &d)) return kCacheDigestFailed;
  const uint16_t slot = ExecSlotIndex(d);
  CacheMutexGuard lock(CacheMutex::kExecCache);
  ExecCacheEntry& e = g_entries[slot];
  if (!SameDigest(e, d)) {
    ++g_counters.removemiss;
    return 0;
  }
  ++g_counters.removehit;
  e = ExecCacheEntry{};
  return 1;
}

int IsCached(const char* path, size_t len, int32_t* type, char* text, size_t text_cap, uint64_t* size,
             uint32_t* qualifies, const char* real_spelling) {
  PathDigest d;
  if (!DigestPath(path, len, &d)) return kCacheDigestFailed;
  const uint16_t slot = ExecSlotIndex(d);
  uint32_t found = kNotCached;
  uint16_t numbers[4];
  {
    CacheMutexGuard lock(CacheMutex::kExecCache);
    const ExecCacheEntry& e = g_entries[slot];
    if (SameDigest(e, d) && e.cache_type != kNotCached) found = e.cache_type;
    switch (found) {
      case kApproved: ++g_counters.hit_approved; break;
      case kUnrecognized: ++g_counters.hit_unrecognized; break;
      case kBlock: ++g_counters.hit_block; break;
      default: ++g_counters.miss; break;
    }
    std::memcpy(numbers, e.rulesetNumbers, sizeof numbers);
  }
  *type = static_cast<int32_t>(found);
  if (found == kNotCached && size != nullptr && qualifies != nullptr) {
    uint64_t file_size = 0;
    // The file system is asked with the lock released; only the count takes it again.
    FileVerdict v = ExamineFile(path, real_spelling, &file_size);
    {
      CacheMutexGuard lock(CacheMutex::kExecCache);
      switch (v) {
        case FileVerdict::kFail: ++g_counters.stat_fail; break;
        case FileVerdict::kSizeZero: ++g_counters.stat_size_zero; break;
        case FileVerdict::kTooBig: ++g_counters.stat_too_big; break;
        case FileVerdict::kNotFile: ++g_counters.stat_not_file; break;
        case FileVerdict::kQualifies: break;
      }
    }
    if (v != FileVerdict::kQualifies) return kCacheCannotJudge;
    *size = file_size;
    *qualifies = 1;
  }
  if (found == kBlock && (numbers[0] | numbers[1] | numbers[2] | numbers[3]) != 0)
    std::snprintf(text, text_cap, "ruleset-%d-%d-%d-%d", static_cast<int16_t>(numbers[0]),
                  static_cast<int16_t>(numbers[1]), static_cast<int16_t>(numbers[2]), static_cast<int16_t>(numbers[3]));
  return 1;
}

void ClearCache() {
  CacheMutexGuard lock(CacheMutex::kExecCache);
  ++g_counters.clear;
  std::memset(g_entries, 0, sizeof g_entries);
}

ExecCacheCounters CacheStats() {
  CacheMutexGuard lock(CacheMutex::kExecCache);
  return g_counters;
}

void CopyExecCache(ExecCacheEntry* out) {
  CacheMutexGuard lock(CacheMutex::kExecCache);
  std::memcpy(out, g_entries, sizeof g_entries);
}

}  // namespace acdc::cache
