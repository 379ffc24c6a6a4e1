// The drift table on one thread, with the clock, process presence, descriptor names
// and allocation substituted.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "drift_test_support.h"

namespace acdc::cache {
namespace {

using namespace test_support;
using C = DriftCounter;

uint64_t Get(C c) { return Counter(DriftStats(), c); }
uint64_t Live() {
  DriftStatsSnapshot s = DriftStats();
  return s.tail - s.head;
}

using Pairs = std::vector<std::pair<uint32_t, int32_t>>;

// The live pairs in position order.
Pairs LivePairs() {
  auto copies = std::make_unique<DriftEntryCopy[]>(kDriftCapacity);
  uint32_t n = CopyDriftEntries(copies.get());
  Pairs pairs;
  for (uint32_t i = 0; i < n; ++i) pairs.emplace_back(copies[i].pid, copies[i].fd);
  return pairs;
}

std::string DupName(uint32_t pid, int32_t old_fd, int32_t new_fd, DriftDupResult* r) {
  char name[kDriftNameCapacity];
  *r = DriftDup(pid, old_fd, new_fd, name);
  return r->name_length < 0 ? "<none>" : std::string(name, static_cast<size_t>(r->name_length));
}

std::string NameOf(uint32_t pid, int32_t fd) {
  char name[kDriftNameCapacity];
  ExpectedName(pid, fd, name, sizeof name);
  return name;
}

class DriftTableTest : public ::testing::Test {
 protected:
  FakeDriftServices fakes_;
};

TEST_F(DriftTableTest, ScansCountTheEntriesPassedOverAndDropsFillTheHole) {
  DriftOpen(1, 1);
  DriftOpen(1, 2);
  DriftOpen(1, 3);
  DriftClose(1, 3);                    // two passed over
  EXPECT_EQ(Get(C::iterations), 2u);
  DriftClose(9, 9);                    // a miss passes all two
  EXPECT_EQ(Get(C::iterations), 4u);
  EXPECT_TRUE(DriftCondOpen(1, 2));    // the oldest now: none passed
  EXPECT_EQ(Get(C::iterations), 4u);
  EXPECT_FALSE(DriftCondOpen(1, 4));   // a miss, then tracked
  EXPECT_EQ(Get(C::iterations), 6u);
  EXPECT_EQ(Get(C::condfound), 1u);
  EXPECT_EQ(Get(C::condopen), 1u);
  EXPECT_EQ(Get(C::track), 4u);
  // A drop fills the hole with the oldest entry.
  DriftOpen(1, 5);
  EXPECT_EQ(LivePairs(), (Pairs{{1, 2}, {1, 1}, {1, 4}, {1, 5}}));
  DriftClose(1, 4);
  EXPECT_EQ(LivePairs(), (Pairs{{1, 1}, {1, 2}, {1, 5}}));
  DriftClose(1, 1);  // the oldest itself
  EXPECT_EQ(LivePairs(), (Pairs{{1, 2}, {1, 5}}));
}

// Fills the ring with `pids[i]` on descriptor i.
void Fill(const std::vector<uint32_t>& pids) {
  for (size_t i = 0; i < pids.size(); ++i) DriftOpen(pids[i], static_cast<int32_t>(i));
}

// A full table drops the entries whose process has gone; a check that frees less
// than half holds the next one back for the cooldown.
TEST_F(DriftTableTest, LostCheckDropsGoneProcessesAndCoolsDownWhenItFreesTooFew) {
  const struct {
    uint32_t gone_of_each, each;  // the first `gone_of_each` of every `each` descriptors have gone
    uint64_t dropped;
    bool cooldown;
  } cases[] = {{5, 8, 40, false}, {1, 6, 11, true}};
  for (const auto& c : cases) {
    DriftClear();
    std::vector<uint32_t> pids;
    for (uint32_t i = 0; i < kDriftCapacity; ++i) pids.push_back(i % c.each < c.gone_of_each ? kFirstGonePid + i : 100 + i);
    Fill(pids);
    DriftOpen(55, 1000);
    DriftStatsSnapshot s = DriftStats();
    EXPECT_EQ(Counter(s, C::lostcheck), 1u);
    EXPECT_EQ(Counter(s, C::losttrack), c.dropped);
    EXPECT_EQ(Counter(s, C::overflow), 0u);
    EXPECT_EQ(s.cooldown, c.cooldown ? static_cast<int64_t>(FakeNow() / 1000) + 60 : 0);
    EXPECT_EQ(s.tail - s.head, kDriftCapacity + 1 - c.dropped);
    for (auto [pid, fd] : LivePairs()) EXPECT_LT(pid, kFirstGonePid) << fd;
  }
}

// After a lost check that freed nothing, the cooldown is 60 s ahead; a full table
// evicts its oldest entry until the cooldown has passed, not before.
TEST_F(DriftTableTest, FullTableEvictsTheOldestUntilTheCooldownHasPassed) {
  std::vector<uint32_t> pids(kDriftCapacity, 100);
  Fill(pids);
  DriftOpen(100, 64);
  DriftStatsSnapshot s = DriftStats();
  const int64_t cooldown = static_cast<int64_t>(FakeNow() / 1000) + 60;
  ASSERT_EQ(Counter(s, C::lostcheck), 1u);
  ASSERT_EQ(Counter(s, C::overflow), 1u);
  ASSERT_EQ(s.cooldown, cooldown);
  EXPECT_EQ(LivePairs().front(), (std::pair<uint32_t, int32_t>{100, 1}));  // (100, 0) was the oldest

  const uint64_t start = FakeNow();
  struct Step {
    int64_t at;          // the clock, relative to the cooldown, in ms
    uint64_t lostcheck;  // the counters after one more DriftOpen
    uint64_t overflow;
  };
  // The last second before the cooldown and the cooldown's own second evict; the
  // second after it runs a check (which frees nothing and evicts too).
  const Step steps[] = {{-60'000, 1, 2}, {-1, 1, 3}, {0, 1, 4}, {999, 1, 5}, {1000, 2, 6}};
  int32_t fd = 100;
  for (const Step& step : steps) {
    g_fake_now_ms = static_cast<uint64_t>(cooldown * 1000 + step.at);
    uint64_t before = DriftStats().tail;
    DriftOpen(100, fd++);
    s = DriftStats();
    EXPECT_EQ(Counter(s, C::lostcheck), step.lostcheck) << step.at;
    EXPECT_EQ(Counter(s, C::overflow), step.overflow) << step.at;
    EXPECT_EQ(s.tail - s.head, kDriftCapacity) << step.at;
    EXPECT_EQ(s.tail, before + 1) << step.at;
  }
  EXPECT_EQ(DriftStats().cooldown, cooldown + 61);
  g_fake_now_ms = start;
}

// The tally receives what an operation counted, and a clear.
TEST_F(DriftTableTest, ClearEmptiesTheTableAndLetsTheNextFullTableCheckAtOnce) {
  DriftTally tally = {};
  DriftClear(&tally);
  const uint64_t clears = tally.clears;
  Fill(std::vector<uint32_t>(kDriftCapacity, 100));
  DriftOpen(100, 64, &tally);
  EXPECT_EQ(tally.clears, clears);
  for (C c : {C::open, C::track, C::lostcheck, C::overflow}) EXPECT_EQ(tally.counts[static_cast<size_t>(c)], 1u);
  ASSERT_NE(DriftStats().cooldown, 0);
  DriftClear(&tally);
  EXPECT_EQ(tally.clears, clears + 1);
  DriftStatsSnapshot s = DriftStats();
  for (uint64_t c : s.counts) EXPECT_EQ(c, 0u);
  EXPECT_EQ(s.cooldown, 0);
  EXPECT_EQ(s.tail, 0u);
  Fill(std::vector<uint32_t>(kDriftCapacity, kFirstGonePid));
  DriftOpen(100, 64);
  EXPECT_EQ(Get(C::losttrack), 64u);
  EXPECT_EQ(Live(), 1u);
}

// The queries of other processes run while no operation holds the table: another
// thread can read the table meanwhile.
std::atomic<int> g_blocked_queries{0};
void ReadTableFromAnotherThread() {
  static std::atomic<bool> done;
  done = false;
  std::thread reader([] { DriftStats(); done = true; });
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!done && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  if (done) reader.join();
  else { ++g_blocked_queries; reader.detach(); }
}

TEST_F(DriftTableTest, PresenceAndNameQueriesRunOutsideTheLockOncePerProcess) {
  g_blocked_queries = 0;
  g_on_query = ReadTableFromAnotherThread;
  uint64_t before = g_presence_queries;
  std::vector<uint32_t> pids;
  for (uint32_t i = 0; i < kDriftCapacity; ++i) pids.push_back(i % 4 == 0 ? kFirstGonePid : 200 + i % 4);
  Fill(pids);
  DriftOpen(55, 500);
  EXPECT_EQ(g_presence_queries - before, 4u);
  EXPECT_EQ(Get(C::losttrack), 16u);
  DriftDupTrackPossibleClose(55, 7, 500);
  EXPECT_EQ(Get(C::dupname), 1u);
  g_on_query = nullptr;
  EXPECT_EQ(g_blocked_queries, 0);
}

// Entries that change while the presence answers are gathered are judged by what
// they are when the table is taken again.
TEST_F(DriftTableTest, LostCheckKeepsEntriesThatChangedMeanwhile) {
  std::vector<uint32_t> pids;
  for (uint32_t i = 0; i < kDriftCapacity; ++i) pids.push_back(kFirstGonePid + i);
  Fill(pids);
  static bool changed;
  changed = false;
  g_on_query = [] {
    if (changed) return;
    changed = true;
    DriftClose(kFirstGonePid + 5, 5);  // the oldest, (kFirstGonePid, 0), moves to position 5
    DriftOpen(kFirstGonePid + 99, 99);  // after the copy
  };
  DriftOpen(7, 7);
  g_on_query = nullptr;
  EXPECT_EQ(LivePairs(), (Pairs{{kFirstGonePid, 0}, {kFirstGonePid + 99, 99}, {7, 7}}));
  EXPECT_EQ(Get(C::losttrack), 62u);
  EXPECT_EQ(Get(C::lostcheck), 1u);
  EXPECT_EQ(Get(C::overflow), 0u);
}

TEST_F(DriftTableTest, DuplicatedDescriptorCarriesTheNameOfTheFileItClosed) {
  DriftOpen(10, 3);
  DriftOpen(10, 5);
  EXPECT_EQ(DriftDupTrackPossibleClose(10, 3, 5), DupCapture::kNamed);
  DriftDupResult r;
  EXPECT_EQ(DupName(10, 3, 5, &r), NameOf(10, 5));
  EXPECT_TRUE(r.new_found);
  EXPECT_TRUE(r.tracked);
  EXPECT_EQ(LivePairs(), (Pairs{{10, 3}, {10, 5}}));
  // The new entry has no name of its own.
  EXPECT_EQ(DupName(10, 3, 5, &r), "<none>");
  DriftStatsSnapshot s = DriftStats();
  EXPECT_EQ(Counter(s, C::dupname), 1u);
  EXPECT_EQ(Counter(s, C::found), 2u);
  EXPECT_EQ(Counter(s, C::dup), 2u);
  EXPECT_EQ(Counter(s, C::track), 4u);
}

TEST_F(DriftTableTest, LatestCaptureReplacesTheEarlierName) {
  DriftOpen(10, 5);
  DriftOpen(10, 950);
  ASSERT_EQ(DriftDupTrackPossibleClose(10, 3, 5), DupCapture::kNamed);
  ASSERT_EQ(DriftDupTrackPossibleClose(10, 4, 5), DupCapture::kNamed);
  auto copies = std::make_unique<DriftEntryCopy[]>(kDriftCapacity);
  ASSERT_EQ(CopyDriftEntries(copies.get()), 2u);
  EXPECT_EQ(std::string(copies[0].name, static_cast<size_t>(copies[0].name_length)), NameOf(10, 5));
  // A capture that fails leaves no name: the earlier one may be another file's.
  ASSERT_EQ(DriftDupTrackPossibleClose(10, 3, 5), DupCapture::kNamed);
  g_allocation_fails = true;
  EXPECT_EQ(DriftDupTrackPossibleClose(10, 3, 5), DupCapture::kNoMemory);
  g_allocation_fails = false;
  DriftDupResult r;
  EXPECT_EQ(DupName(10, 4, 5, &r), "<none>");
  EXPECT_TRUE(r.new_found);
  EXPECT_FALSE(r.tracked);
  EXPECT_EQ(DriftDupTrackPossibleClose(10, 3, 950), DupCapture::kNameFailed);
  EXPECT_EQ(DupName(10, 4, 950, &r), "<none>");
  DriftStatsSnapshot s = DriftStats();
  EXPECT_EQ(Counter(s, C::dupname), 3u);
  EXPECT_EQ(Counter(s, C::dupnamenomem), 1u);
  EXPECT_EQ(Counter(s, C::dupnamefail), 1u);
  EXPECT_EQ(Counter(s, C::dupmiss), 2u);
  EXPECT_EQ(Live(), 0u);
}

TEST_F(DriftTableTest, DuplicationOfUntrackedDescriptorsReadsNoName) {
  uint64_t names = g_name_queries;
  DriftOpen(10, 3);
  EXPECT_EQ(DriftDupTrackPossibleClose(10, 3, 5), DupCapture::kOldTracked);
  EXPECT_EQ(DriftDupTrackPossibleClose(10, 4, 5), DupCapture::kNeitherTracked);
  EXPECT_EQ(g_name_queries - names, 0u);
  DriftDupResult r;
  EXPECT_EQ(DupName(10, 4, 5, &r), "<none>");
  EXPECT_FALSE(r.new_found);
  EXPECT_FALSE(r.tracked);
  DriftStatsSnapshot s = DriftStats();
  EXPECT_EQ(Counter(s, C::dupnamemiss), 2u);
  EXPECT_EQ(Counter(s, C::dupmiss), 2u);
  EXPECT_EQ(Counter(s, C::dup), 0u);
  EXPECT_EQ(Live(), 1u);
}

}  // namespace
}  // namespace acdc::cache
