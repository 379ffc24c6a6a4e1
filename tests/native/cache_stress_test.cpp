// The process-type and execution caches under 4 threads of 1,000,000 mixed
// operations each, with the file status substituted: every count the threads
// observed must show in the counters, and every entry must be whole and in its slot.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cache/digest.h"
#include "cache/execution_cache.h"
#include "cache/process_cache.h"
#include "platform/services.h"

namespace acdc::cache {
namespace {

constexpr int kThreads = 4;
constexpr int kOps = 1000000;
// Each thread clears once in 40,000 of its operations, at its own offset: one clear
// per 40,000 operations of all threads together.
constexpr int kClearPeriod = 40000;

struct Rng {
  uint64_t s;
  uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<uint32_t>(s >> 11);
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

// ---- ProcCache ----

// Sums tallies field by field: counter structs are arrays of uint64_t.
template <typename Counters>
Counters Sum(const std::vector<Counters>& all) {
  Counters sum{};
  for (const Counters& x : all)
    for (size_t i = 0; i < sizeof sum / sizeof(uint64_t); ++i)
      reinterpret_cast<uint64_t*>(&sum)[i] += reinterpret_cast<const uint64_t*>(&x)[i];
  return sum;
}

struct ProcTally {
  ProcCacheCounters c{};
  uint64_t wrong = 0;
};

const char* const kNames[] = {"a.exe", "bb.exe", "trustedinstaller.exe", "dd.exe"};

// Types are 1 to 33 and names never empty: a lookup then hits exactly when it gives
// a type, and a type it gives must be one some thread stored under that name.
void ProcWorker(int t, ProcTally* tally) {
  Rng rng{0x9E3779B97F4A7C15ull * (t + 1)};
  ProcCacheCounters& c = tally->c;
  for (int i = 0; i < kOps; ++i) {
    uint64_t pid = 1 + rng.Below(4096);
    uint32_t n = rng.Below(4);
    uint32_t op = rng.Below(10);
    if (i % kClearPeriod == t * (kClearPeriod / kThreads)) {
      ClearProcessCache();
      ++c.procclear;
    } else if (op < 4) {
      uint64_t type = GetProcess(pid, kNames[n]);
      ++(type == 0 ? c.procmiss : c.prochit);
      if (type != 0 && (type % 4 != n || type > 33)) ++tally->wrong;
    } else if (op < 7) {
      bool same = false;
      uint64_t type = n == 0 ? 4 * (1 + rng.Below(8)) : n + 4 * rng.Below(8);  // type % 4 == n
      AddProcess(pid, type, kNames[n], &same);
      ++c.procadd;
      if (same) ++c.procchange;
    } else if (op < 9) {
      ++(RemoveProcess(pid) ? c.procremovehit : c.procremovemiss);
    } else {
      ProcCacheStats();
    }
  }
}

// Every counter must have moved by what the threads counted together.
template <typename Counters>
void ExpectSums(const Counters& before, const Counters& after, const Counters& sum, const char* const* names) {
  for (size_t i = 0; i < sizeof sum / sizeof(uint64_t); ++i)
    EXPECT_EQ(reinterpret_cast<const uint64_t*>(&after)[i] - reinterpret_cast<const uint64_t*>(&before)[i],
              reinterpret_cast<const uint64_t*>(&sum)[i])
        << names[i];
}

TEST(CacheStress, ProcessCacheCountersMatchWhatTheThreadsSaw) {
  const ProcCacheCounters before = ProcCacheStats();
  std::vector<ProcTally> tallies(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(ProcWorker, t, &tallies[t]);
  for (std::thread& th : threads) th.join();
  std::vector<ProcCacheCounters> counts;
  for (const ProcTally& x : tallies) {
    EXPECT_EQ(x.wrong, 0u);
    counts.push_back(x.c);
  }
  const ProcCacheCounters sum = Sum(counts);
  const char* const names[] = {"add", "change", "clear", "removehit", "removemiss", "hit", "miss"};
  ExpectSums(before, ProcCacheStats(), sum, names);
  EXPECT_GT(sum.procchange, 0u);
  EXPECT_GT(sum.prochit, 0u);
  EXPECT_EQ(sum.procclear, uint64_t{kThreads} * (kOps / kClearPeriod));
}

// ---- ExecCache ----

constexpr int kPaths = 2048;

std::string PathOf(int n) { return "c:\\stress\\" + std::to_string(n) + ".exe"; }

// What the substituted file status says of path n, by n % 8.
enum Kind { kFile0, kFile1, kFile2, kFile3, kMissing, kEmpty, kHuge, kFolder };

platform::Win32Error StressStatus(const char* path, platform::FileStatus* out) {
  int n = 0;
  if (std::sscanf(path, "c:\\stress\\%d.exe", &n) != 1) return platform::kErrorPathNotFound;
  switch (n % 8) {
    case kMissing: return platform::kErrorFileNotFound;
    case kEmpty: *out = {0, platform::FileType::kRegular, 0, 0}; break;
    case kHuge: *out = {kExecMaxFileSize, platform::FileType::kRegular, 0, 0}; break;
    case kFolder: *out = {4096, platform::FileType::kDirectory, 0, 0}; break;
    default: *out = {static_cast<uint64_t>(n) + 1, platform::FileType::kRegular, 0, 0}; break;
  }
  return platform::kErrorSuccess;
}

struct ExecTally {
  ExecCacheCounters c{};
  uint64_t wrong = 0;
};

uint64_t& HitCounter(ExecCacheCounters& c, int32_t type) {
  return type == kApproved ? c.hit_approved : type == kUnrecognized ? c.hit_unrecognized
                                            : type == kBlock        ? c.hit_block
                                                                    : c.miss;
}

void ExecWorker(int t, const std::vector<std::string>* paths, ExecTally* tally) {
  Rng rng{0xD1B54A32D192ED03ull * (t + 1)};
  ExecCacheCounters& c = tally->c;
  for (int i = 0; i < kOps; ++i) {
    int n = static_cast<int>(rng.Below(kPaths));
    const std::string& p = (*paths)[n];
    uint32_t op = rng.Below(20);
    char ruleset[kRulesetTextCapacity], text[kRulesetTextCapacity] = {};
    std::snprintf(ruleset, sizeof ruleset, "ruleset-%d-1-2-3", n);
    int32_t type = -1;
    if (i % kClearPeriod == t * (kClearPeriod / kThreads)) {
      ClearCache();
      ++c.clear;
    } else if (op < 8) {
      uint64_t size = 0;
      uint32_t qualifies = 0;
      int rc = IsCached(p.c_str(), p.size(), &type, text, sizeof text, &size, &qualifies);
      ++HitCounter(c, type);
      // A block of path n always carries rule set n-1-2-3: anything else is another
      // path's entry or a torn one.
      if (type == kBlock && std::strcmp(text, ruleset) != 0) ++tally->wrong;
      if (type == kNotCached) {
        uint64_t* stat[] = {nullptr, nullptr, nullptr, nullptr, &c.stat_fail, &c.stat_size_zero, &c.stat_too_big,
                            &c.stat_not_file};
        if (stat[n % 8] != nullptr) ++*stat[n % 8];
        bool file = n % 8 < kMissing;
        if (rc != (file ? 1 : kCacheCannotJudge) || (file && (size != uint64_t(n) + 1 || qualifies != 1)))
          ++tally->wrong;
      } else if (rc != 1) {
        ++tally->wrong;
      }
    } else if (op < 14) {
      uint32_t add = 1 + rng.Below(3);
      if (AddToCache(p.c_str(), p.size(), add, ruleset) != 1) ++tally->wrong;
      ++(add == kApproved ? c.add_approved : add == kUnrecognized ? c.add_unrecognized : c.add_block);
    } else if (op < 18) {
      ++(RemoveFromCache(p.c_str(), p.size()) == 1 ? c.removehit : c.removemiss);
    } else {
      IsCached(p.c_str(), p.size(), &type, text, sizeof text, nullptr, nullptr);
      ++HitCounter(c, type);
    }
  }
}

TEST(CacheStress, ExecutionCacheCountersMatchAndEntriesSitInTheirSlots) {
  const platform::Services saved = platform::g_services;
  platform::g_services.file_status = StressStatus;
  std::vector<std::string> paths;
  std::set<std::string> digests;
  for (int n = 0; n < kPaths; ++n) {
    paths.push_back(PathOf(n));
    PathDigest d;
    ASSERT_TRUE(DigestPath(paths.back().c_str(), paths.back().size(), &d));
    digests.emplace(reinterpret_cast<const char*>(d.bytes), sizeof d.bytes);
  }
  const ExecCacheCounters before = CacheStats();
  std::vector<ExecTally> tallies(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(ExecWorker, t, &paths, &tallies[t]);
  for (std::thread& th : threads) th.join();
  platform::g_services = saved;

  const char* const names[] = {"clear", "add_approved", "add_unrecognized", "add_block", "removehit",
                               "removemiss", "removefail", "hit_approved", "hit_unrecognized", "hit_block",
                               "miss", "stat_fail", "stat_size_zero", "stat_not_file", "stat_too_big"};
  std::vector<ExecCacheCounters> counts;
  for (const ExecTally& x : tallies) {
    EXPECT_EQ(x.wrong, 0u);
    counts.push_back(x.c);
  }
  ExpectSums(before, CacheStats(), Sum(counts), names);

  std::vector<ExecCacheEntry> table(kExecCacheSlots);
  CopyExecCache(table.data());
  size_t used = 0;
  for (uint32_t slot = 0; slot < kExecCacheSlots; ++slot) {
    const ExecCacheEntry& e = table[slot];
    if (e.cache_type == kNotCached) continue;
    ++used;
    PathDigest d;
    std::memcpy(d.bytes, e.digest, sizeof d.bytes);
    ASSERT_EQ(ExecSlotIndex(d), slot);
    ASSERT_EQ(digests.count(std::string(reinterpret_cast<const char*>(e.digest), sizeof e.digest)), 1u) << slot;
    ASSERT_LE(e.cache_type, 3u);
  }
  EXPECT_GT(used, 0u);
}

}  // namespace
}  // namespace acdc::cache
