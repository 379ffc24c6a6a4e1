// ProcCache: slots by pid, hits by name, its counters, and what a taken slot does.
#include <gtest/gtest.h>

#include <cstring>

#include "cache/process_cache.h"

namespace acdc::cache {

// Found by argument-dependent lookup, so beside the type rather than in the
// anonymous namespace.
bool operator==(const ProcCacheCounters& a, const ProcCacheCounters& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::ostream& operator<<(std::ostream& os, const ProcCacheCounters& c) {
  return os << "{add " << c.procadd << ", change " << c.procchange << ", clear " << c.procclear << ", removehit "
            << c.procremovehit << ", removemiss " << c.procremovemiss << ", hit " << c.prochit << ", miss "
            << c.procmiss << "}";
}

namespace {

// Counters are process-wide: tests compare before and after.
struct Delta {
  ProcCacheCounters before = ProcCacheStats();
  ProcCacheCounters Now() const {
    ProcCacheCounters a = ProcCacheStats();
    return {a.procadd - before.procadd,         a.procchange - before.procchange,
            a.procclear - before.procclear,     a.procremovehit - before.procremovehit,
            a.procremovemiss - before.procremovemiss, a.prochit - before.prochit, a.procmiss - before.procmiss};
  }
};

class ProcCache : public ::testing::Test {
 protected:
  void SetUp() override { ClearProcessCache(); }
};

TEST_F(ProcCache, TheSlotAndTheNameDecideAHit) {
  Delta d;
  EXPECT_TRUE(AddProcess(5, 8, "powershell.exe"));
  EXPECT_EQ(GetProcess(5, "powershell.exe"), 8u);
  EXPECT_EQ(GetProcess(1029, "powershell.exe"), 8u);  // same slot, same name
  EXPECT_EQ(GetProcess(5, "cmd.exe"), 0u);
  EXPECT_EQ(GetProcess(5, "PowerShell.exe"), 0u);     // byte-exact
  EXPECT_EQ(GetProcess(6, "powershell.exe"), 0u);
  EXPECT_EQ(d.Now(), (ProcCacheCounters{1, 0, 0, 0, 0, 2, 3}));
}

TEST_F(ProcCache, ChangeCountsOnlyAStoreOverTheSamePid) {
  AddProcess(5, 8, "powershell.exe");
  Delta d;
  bool same = true;
  AddProcess(1029, 9, "cmd.exe", &same);  // takes the slot of pid 5
  EXPECT_FALSE(same);
  EXPECT_EQ(d.Now(), (ProcCacheCounters{1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(GetProcess(5, "powershell.exe"), 0u);
  EXPECT_EQ(GetProcess(5, "cmd.exe"), 9u);
  AddProcess(1029, 10, "cscript.exe", &same);
  EXPECT_TRUE(same);
  AddProcess(2053, 10, "cscript.exe", &same);
  EXPECT_FALSE(same);
  EXPECT_EQ(d.Now(), (ProcCacheCounters{3, 1, 0, 0, 0, 1, 1}));
}

TEST_F(ProcCache, AnEmptySlotHoldsTheEmptyNameButPidZeroIsNeverLookedUp) {
  AddProcess(1024, 8, "");
  Delta d;
  EXPECT_EQ(GetProcess(0, ""), 0u);
  EXPECT_EQ(d.Now(), (ProcCacheCounters{}));
  EXPECT_EQ(GetProcess(7, ""), 0u);  // a hit that gives 0, which callers take as a miss
  EXPECT_EQ(d.Now(), (ProcCacheCounters{0, 0, 0, 0, 0, 1, 0}));
}

TEST_F(ProcCache, RemoveEmptiesOnlyItsOwnPid) {
  Delta d;
  EXPECT_TRUE(RemoveProcess(0));  // an empty slot holds pid 0
  EXPECT_FALSE(RemoveProcess(1024));
  AddProcess(12, 3, "python.exe");
  EXPECT_FALSE(RemoveProcess((uint64_t{1} << 32) + 12));  // same slot, another pid
  EXPECT_EQ(GetProcess(12, "python.exe"), 3u);
  EXPECT_TRUE(RemoveProcess(12));
  EXPECT_EQ(GetProcess(12, "python.exe"), 0u);
  EXPECT_EQ(GetProcess(12, ""), 0u);  // all three fields cleared
  EXPECT_EQ(d.Now(), (ProcCacheCounters{1, 0, 0, 2, 2, 2, 1}));
}

TEST_F(ProcCache, ClearEmptiesEverySlotAndKeepsTheCounters) {
  for (uint64_t pid = 1; pid <= 2048; ++pid) AddProcess(pid, 2, "java.exe");
  Delta d;
  ClearProcessCache();
  EXPECT_EQ(d.Now(), (ProcCacheCounters{0, 0, 1, 0, 0, 0, 0}));
  for (uint64_t pid = 1; pid <= 1024; ++pid) ASSERT_EQ(GetProcess(pid, "java.exe"), 0u) << pid;
}

TEST_F(ProcCache, LongNamesCompareOnTheirFirst16Bytes) {
  AddProcess(40, 24, "trustedinstaller.exe");
  EXPECT_EQ(GetProcess(40, "trustedinstaller.exe"), 24u);
  EXPECT_EQ(GetProcess(40, "trustedinstaller.com"), 24u);
  EXPECT_EQ(GetProcess(40, "trustedinstaller"), 24u);
  EXPECT_EQ(GetProcess(40, "trustedinstalle"), 0u);
  AddProcess(41, 8, "powershell_ise.e");  // exactly 16: no terminator in the field
  EXPECT_EQ(GetProcess(41, "powershell_ise.exe"), 8u);
  AddProcess(41, 9, "cmd.exe");  // a shorter name leaves nothing of the longer one behind
  EXPECT_EQ(GetProcess(41, "cmd.exe"), 9u);
  EXPECT_EQ(GetProcess(41, "cmd.exell_ise.e"), 0u);
}

}  // namespace
}  // namespace acdc::cache
