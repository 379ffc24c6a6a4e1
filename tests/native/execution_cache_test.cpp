// ExecCache and the path digest: slots, verdicts, rule sets, file qualification,
// counters, and the failures reached through the services table.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cache/digest.h"
#include "cache/execution_cache.h"
#include "platform/services.h"

namespace acdc::cache {

bool operator==(const ExecCacheCounters& a, const ExecCacheCounters& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::ostream& operator<<(std::ostream& os, const ExecCacheCounters& c) {
  for (size_t i = 0; i < sizeof c / sizeof(uint64_t); ++i) os << (i ? " " : "{") << (&c.clear)[i];
  return os << "}";
}

namespace {

ExecCacheCounters Minus(const ExecCacheCounters& a, const ExecCacheCounters& b) {
  ExecCacheCounters d;
  for (size_t i = 0; i < sizeof d / sizeof(uint64_t); ++i) (&d.clear)[i] = (&a.clear)[i] - (&b.clear)[i];
  return d;
}

std::string Hex(const PathDigest& d) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d.bytes) s += {digits[b >> 4], digits[b & 15]};
  return s;
}

// File status by path, as a test sets it; paths asked are recorded in order.
std::map<std::string, platform::FileStatus> g_files;
std::vector<std::string> g_asked;

platform::Win32Error FakeStatus(const char* path, platform::FileStatus* out) {
  g_asked.push_back(path);
  auto it = g_files.find(path);
  if (it == g_files.end()) return platform::kErrorFileNotFound;
  *out = it->second;
  return platform::kErrorSuccess;
}

class ExecCache : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::g_services;
    platform::g_services.file_status = FakeStatus;
    g_files.clear();
    g_asked.clear();
    ClearCache();
    before_ = CacheStats();
  }
  void TearDown() override { platform::g_services = saved_; }

  ExecCacheCounters Delta() const { return Minus(CacheStats(), before_); }

  static int Add(const std::string& p, int64_t type, const char* ruleset = nullptr) {
    return AddToCache(p.c_str(), p.size(), type, ruleset);
  }
  static int Remove(const std::string& p) { return RemoveFromCache(p.c_str(), p.size()); }
  // IsCached without the file check; the type and the rule-set text it gives.
  static std::pair<int32_t, std::string> Look(const std::string& p) {
    char text[kRulesetTextCapacity] = {};
    int32_t type = -7;
    EXPECT_EQ(IsCached(p.c_str(), p.size(), &type, text, sizeof text, nullptr, nullptr), 1) << p;
    return {type, text};
  }
  // IsCached with the file check, from lower-cased `p` and its real spelling `real`.
  static int Examine(const char* p, uint64_t* size, uint32_t* qualifies, const char* real = nullptr) {
    int32_t type = -7;
    char text[kRulesetTextCapacity] = {};
    int rc = IsCached(p, std::strlen(p), &type, text, sizeof text, size, qualifies, real);
    EXPECT_EQ(type, 0) << p;
    return rc;
  }

  platform::Services saved_;
  ExecCacheCounters before_;
};

TEST(ExecSlotIndex, EqualsTheWidenedFormForEveryPairOfBytes) {
  for (int d0 = 0; d0 < 256; ++d0) {
    for (int d1 = 0; d1 < 256; ++d1) {
      // The form as written for signed bytes, with the shift done as a
      // multiplication, which is defined for negative values.
      int widened = (static_cast<int8_t>(d0) * 256) ^ static_cast<int8_t>(d1);
      ASSERT_EQ(ExecSlotIndex(static_cast<uint8_t>(d0), static_cast<uint8_t>(d1)), widened & 0xFFFF)
          << d0 << " " << d1;
    }
  }
}

TEST(PathDigest, IsTheSha256OfTheGivenBytes) {
  PathDigest d;
  ASSERT_TRUE(DigestPath("abc", 3, &d));
  EXPECT_EQ(Hex(d), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string long_path(10000, 'a');  // any length: the key is never cut
  PathDigest a, b;
  ASSERT_TRUE(DigestPath(long_path.c_str(), long_path.size(), &a));
  ASSERT_TRUE(DigestPath(long_path.c_str(), long_path.size() - 1, &b));
  EXPECT_NE(Hex(a), Hex(b));
}

TEST_F(ExecCache, VerdictsByType) {
  // Only 2 and 3 are themselves; anything else, 2^32 + 2 included, is approved.
  const std::pair<int64_t, int32_t> cases[] = {{1, 1}, {2, 2}, {3, 3}, {0, 1}, {-3, 1}, {(int64_t{1} << 32) + 2, 1}};
  for (const auto& [type, stored] : cases) {
    const std::string p = "c:\\" + std::to_string(type) + ".exe";
    EXPECT_EQ(Add(p, type), 1);
    EXPECT_EQ(Look(p).first, stored) << type;
  }
  EXPECT_EQ(Look("C:\\1.exe").first, 0);  // another spelling is another key
  ExecCacheCounters want{};
  want.add_approved = want.hit_approved = 4;
  want.add_unrecognized = want.hit_unrecognized = 1;
  want.add_block = want.hit_block = 1;
  want.miss = 1;
  EXPECT_EQ(Delta(), want);
}

TEST_F(ExecCache, BlocksCarryTheirRuleSetIn16BitNumbers) {
  const std::string p = "c:\\x\\blocked.exe";
  const std::string f511(511, '7'), f512(512, '7');
  const struct {
    std::string text;
    const char* expected;
  } cases[] = {
      {"ruleset-12-0-7-65535", "ruleset-12-0-7--1"},
      {"ruleset-1-2-3-4-5", "ruleset-1-2-3-4"},                   // the last field reads "4-5": strtol stops at '-'
      {"ruleset-65537-2x-y3-4", "ruleset-1-2-0-4"},               // leading digits count, else 0
      {"ruleset-99999999999999999999-1-2-3", "ruleset--1-1-2-3"},  // past strtol's range: LONG_MAX
      {"ruleset-" + f511 + "-2-3-4", "ruleset--1-2-3-4"},
      {"ruleset-" + f512 + "-2-3-4", ""},                          // a 512-byte field does not match
      {"ruleset-1-2-3-" + std::string(600, '8'), "ruleset-1-2-3--1"},  // 511 bytes of the last field are read
      {"ruleset-1-2-3-5" + std::string(600, 'x'), "ruleset-1-2-3-5"},
      {"ruleset-0-0-0-0", ""},                                     // all zero: no reference
      {"rs-1-2-3-4", ""},
      {"ruleset-1-2-3", ""},
      {"ruleset--2-3-4", ""},                                      // an empty field does not match
  };
  for (const auto& c : cases) {
    Add(p, 3, c.text.c_str());
    EXPECT_EQ(Look(p), std::make_pair(3, std::string(c.expected))) << c.text;
  }
  // A later add replaces the rule set, also with none at all.
  Add(p, 3, "ruleset-1-2-3-4");
  Add(p, 3);
  EXPECT_EQ(Look(p), std::make_pair(3, std::string()));
  Add(p, 3, "ruleset-1-2-3-4");
  Add(p, 1);
  EXPECT_EQ(Look(p), std::make_pair(1, std::string()));
  // The text is left alone unless a block has a rule set.
  char text[kRulesetTextCapacity] = "previous";
  int32_t type = 0;
  EXPECT_EQ(IsCached(p.c_str(), p.size(), &type, text, sizeof text, nullptr, nullptr), 1);
  EXPECT_STREQ(text, "previous");
}

TEST_F(ExecCache, AMissExaminesTheFileInOrder) {
  const struct {
    const char* path;
    uint64_t size;
    platform::FileType type;
    int result;
    uint64_t ExecCacheCounters::*counter;
  } cases[] = {
      {"c:\\one.exe", 1, platform::FileType::kRegular, 1, nullptr},
      {"c:\\under100mib.exe", kExecMaxFileSize - 1, platform::FileType::kRegular, 1, nullptr},
      {"c:\\100mib.exe", kExecMaxFileSize, platform::FileType::kRegular, -2, &ExecCacheCounters::stat_too_big},
      {"c:\\empty.exe", 0, platform::FileType::kRegular, -2, &ExecCacheCounters::stat_size_zero},
      {"c:\\emptydir", 0, platform::FileType::kDirectory, -2, &ExecCacheCounters::stat_size_zero},
      {"c:\\dir", 4096, platform::FileType::kDirectory, -2, &ExecCacheCounters::stat_not_file},
      {"c:\\device", 1, platform::FileType::kOther, -2, &ExecCacheCounters::stat_not_file},
      {"c:\\missing.exe", 0, platform::FileType::kRegular, -2, &ExecCacheCounters::stat_fail},
  };
  for (const auto& c : cases) {
    if (c.counter != &ExecCacheCounters::stat_fail) g_files[c.path] = {c.size, c.type, 0, 0};
    ExecCacheCounters before = CacheStats();
    uint64_t size = 99;
    uint32_t qualifies = 7;
    EXPECT_EQ(Examine(c.path, &size, &qualifies), c.result) << c.path;
    EXPECT_EQ(size, c.result == 1 ? c.size : 99) << c.path;
    EXPECT_EQ(qualifies, c.result == 1 ? 1u : 7u) << c.path;
    ExecCacheCounters want{};
    want.miss = 1;
    if (c.counter != nullptr) want.*c.counter = 1;
    EXPECT_EQ(Minus(CacheStats(), before), want) << c.path;
  }
}

TEST_F(ExecCache, OnlyAMissWithBothOutputsAsksForTheFileAndTheRealSpellingFirst) {
  Add("c:\\cached.exe", 2);
  int32_t type = 0;
  uint64_t size = 0;
  uint32_t qualifies = 0;
  char text[kRulesetTextCapacity] = {};
  EXPECT_EQ(IsCached("c:\\cached.exe", 13, &type, text, sizeof text, &size, &qualifies), 1);
  EXPECT_EQ(type, 2);
  EXPECT_EQ(IsCached("c:\\other.exe", 12, &type, text, sizeof text, &size, nullptr), 1);
  EXPECT_TRUE(g_asked.empty());

  g_files["C:\\Dir\\Tool.EXE"] = {5, platform::FileType::kRegular, 0, 0};
  g_files["c:\\dir\\tool.exe"] = {6, platform::FileType::kRegular, 0, 0};
  const char* lower = "c:\\dir\\tool.exe";
  const struct {
    const char* real;
    uint64_t size;
    std::vector<std::string> asked;
  } cases[] = {
      {"C:\\Dir\\Tool.EXE", 5, {"C:\\Dir\\Tool.EXE"}},
      {"C:\\Dir\\Gone.EXE", 6, {"C:\\Dir\\Gone.EXE", lower}},
      {"", 6, {lower}},
  };
  for (const auto& c : cases) {
    g_asked.clear();
    EXPECT_EQ(Examine(lower, &size, &qualifies, c.real), 1) << c.real;
    EXPECT_EQ(size, c.size) << c.real;
    EXPECT_EQ(g_asked, c.asked) << c.real;
  }
}

TEST_F(ExecCache, TwoPathsOfOneSlotEvictEachOther) {
  std::map<uint16_t, std::string> by_slot;
  std::string first, second;
  for (int i = 0; second.empty(); ++i) {
    std::string p = "c:\\t\\" + std::to_string(i) + ".exe";
    PathDigest d;
    ASSERT_TRUE(DigestPath(p.c_str(), p.size(), &d));
    auto [it, fresh] = by_slot.emplace(ExecSlotIndex(d), p);
    if (!fresh) first = it->second, second = p;
  }
  Add(first, 3, "ruleset-1-1-1-1");
  Add(second, 1);
  EXPECT_EQ(Look(first), std::make_pair(0, std::string()));
  EXPECT_EQ(Remove(first), 0);
  EXPECT_EQ(Look(second).first, 1);
  EXPECT_EQ(Remove(second), 1);
  EXPECT_EQ(Look(second).first, 0);
  EXPECT_EQ(Remove(second), 0);
  EXPECT_EQ(Delta().removehit, 1u);
  EXPECT_EQ(Delta().removemiss, 2u);
}

TEST_F(ExecCache, ClearEmptiesEveryEntryAndKeepsTheCounters) {
  for (int i = 0; i < 1000; ++i) Add("c:\\" + std::to_string(i), i % 4);
  ExecCacheCounters before = CacheStats(), want{};
  ClearCache();
  want.clear = 1;
  EXPECT_EQ(Minus(CacheStats(), before), want);
  std::vector<ExecCacheEntry> table(kExecCacheSlots);
  CopyExecCache(table.data());
  for (const ExecCacheEntry& e : table) ASSERT_EQ(e.cache_type, 0u);
}

// A failed digest leaves every operation at -1 and the table untouched.
TEST_F(ExecCache, DigestFailuresReachEveryOperationUntilTheDigestWorks) {
  Add("c:\\kept.exe", 3);
  const ExecCacheCounters before = CacheStats();
  auto failing = +[](void*, const void*, size_t, uint8_t*, uint32_t*) { return false; };
  auto short_result = +[](void*, const void*, size_t, uint8_t* out, uint32_t* len) {
    std::memset(out, 0, 20);
    *len = 20;
    return true;
  };
  for (auto sha : {failing, short_result}) {
    platform::g_services.sha256 = sha;
    uint64_t size;
    uint32_t q;
    int32_t type = -7;
    char text[kRulesetTextCapacity] = {};
    EXPECT_EQ(Add("c:\\kept.exe", 1), kCacheDigestFailed);
    EXPECT_EQ(Remove("c:\\kept.exe"), kCacheDigestFailed);
    EXPECT_EQ(IsCached("c:\\kept.exe", 11, &type, text, sizeof text, &size, &q), kCacheDigestFailed);
    EXPECT_EQ(type, -7);
  }
  platform::g_services.sha256 = saved_.sha256;
  EXPECT_EQ(Minus(CacheStats(), before), ExecCacheCounters{});
  EXPECT_EQ(Look("c:\\kept.exe").first, 3);

  // A thread whose digest context cannot be allocated fails its digests and makes
  // the context on a later digest once the allocation succeeds.
  static int allocations;
  allocations = 0;
  platform::g_services.new_digest_context = [] {
    ++allocations;
    return static_cast<void*>(nullptr);
  };
  int first = 0, later = 0;
  std::thread t([&] {  // a fresh thread has no context yet
    first = Add("c:\\t.exe", 1);
    platform::g_services.new_digest_context = platform::OsNewDigestContext;
    later = Add("c:\\t.exe", 2);
  });
  t.join();
  EXPECT_EQ(first, kCacheDigestFailed);
  EXPECT_EQ(allocations, 1);
  EXPECT_EQ(later, 1);
  EXPECT_EQ(Look("c:\\t.exe").first, 2);
}

}  // namespace
}  // namespace acdc::cache
