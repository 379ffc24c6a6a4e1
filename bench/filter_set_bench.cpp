// The filter set's insert and lookup against the same bit operation on a bitmap of
// the same size under a plain mutex, and statistics increments from 4 threads
// against 1.
//
// Inserts set fresh positions, as when the set is rebuilt: each round starts from
// an empty set and adds 8,192 values whose positions are all different. Lookups
// query a set of 8,192 values with the bypass off, half of them present and half
// absent but in range. Each case and its baseline run in alternating rounds, timed
// in this thread's CPU time, and each keeps its fastest round. The filter-set
// lock's own cost (enter and leave, uncontended) is printed against the plain
// mutex's lock and unlock: inserts hold it, lookups do not.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ac/statistics_table.h"
#include "cache/filter_set.h"
#include "figures.h"
#include "platform/recursive_lock.h"

namespace {

using namespace acdc;

constexpr int kRounds = 200;
constexpr uint32_t kValues = 8192;

double ThreadCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// Values whose low 19 bits differ (an odd multiplier permutes them), above 2^32 so
// that the bounds are 64-bit comparisons like any others.
uint64_t ValueOf(uint32_t i) { return (uint64_t{1} << 40) + ((uint64_t{i} * 2654435761u) & 0x7FFFF); }

// The baseline: a bitmap of the same size and the same bit operation, under a
// plain mutex.
struct MutexBitmap {
  std::mutex mutex;
  uint8_t bytes[cache::kFilterSetBytes];

  void Set(uint64_t v) {
    std::lock_guard<std::mutex> lock(mutex);
    uint32_t p = static_cast<uint32_t>(v & (cache::kFilterSetBits - 1));
    bytes[p / 8] |= static_cast<uint8_t>(1u << (p % 8));
  }
  bool Test(uint64_t v) {
    std::lock_guard<std::mutex> lock(mutex);
    uint32_t p = static_cast<uint32_t>(v & (cache::kFilterSetBits - 1));
    return (bytes[p / 8] >> (p % 8)) & 1;
  }
};

MutexBitmap g_baseline;

struct Best {
  double ns = 1e300;
  void Keep(double start, uint32_t ops) {
    double ns_per_op = (ThreadCpuNs() - start) / ops;
    if (ns_per_op < ns) ns = ns_per_op;
  }
};

void InsertFigure() {
  Best insert, baseline;
  for (int r = 0; r < kRounds; ++r) {
    cache::ClearFilterSet();
    double start = ThreadCpuNs();
    for (uint32_t i = 0; i < kValues; ++i) cache::AddToFilterSet(ValueOf(i));
    insert.Keep(start, kValues);

    std::memset(g_baseline.bytes, 0, sizeof g_baseline.bytes);
    start = ThreadCpuNs();
    for (uint32_t i = 0; i < kValues; ++i) g_baseline.Set(ValueOf(i));
    baseline.Keep(start, kValues);
  }
  if (cache::FilledPositionsCount() != kValues) std::fprintf(stderr, "filter_set_bench: inserts went missing\n");
  bench::PrintFigure("filter set insert vs bit set under a plain mutex", insert.ns, baseline.ns, 1.3);
}

void LookupFigure() {
  cache::ClearFilterSet();
  std::memset(g_baseline.bytes, 0, sizeof g_baseline.bytes);
  for (uint32_t i = 0; i < kValues; i += 2) {
    cache::AddToFilterSet(ValueOf(i));
    g_baseline.Set(ValueOf(i));
  }
  cache::SetBypassFilterState(false);
  Best lookup, baseline;
  uint32_t found = 0, found_baseline = 0;
  for (int r = 0; r < kRounds; ++r) {
    double start = ThreadCpuNs();
    for (uint32_t i = 0; i < kValues; ++i) found += cache::IsLikelyInSet(ValueOf(i));
    lookup.Keep(start, kValues);

    start = ThreadCpuNs();
    for (uint32_t i = 0; i < kValues; ++i) found_baseline += g_baseline.Test(ValueOf(i));
    baseline.Keep(start, kValues);
  }
  if (found != found_baseline) std::fprintf(stderr, "filter_set_bench: lookups disagree with the baseline\n");
  bench::PrintFigure("filter set lookup vs bit test under a plain mutex", lookup.ns, baseline.ns, 1.3);
}

void LockFigure() {
  platform::RecursiveLock& lock = platform::ProcessLock(platform::LockId::kFilterSet);
  Best recursive, plain;
  for (int r = 0; r < kRounds; ++r) {
    double start = ThreadCpuNs();
    for (uint32_t i = 0; i < kValues; ++i) {
      lock.Enter();
      lock.Leave();
    }
    recursive.Keep(start, kValues);

    start = ThreadCpuNs();
    for (uint32_t i = 0; i < kValues; ++i) {
      g_baseline.mutex.lock();
      g_baseline.mutex.unlock();
    }
    plain.Keep(start, kValues);
  }
  bench::PrintFigure("filter-set lock enter and leave vs plain mutex lock and unlock", recursive.ns, plain.ns, 0);
}

// Mean wall time of one increment as each of `threads` threads sees it, each on a
// slot of its own (one lock guards them all).
double IncrementNs(int threads, int per_thread) {
  return bench::ConcurrentNs(threads, per_thread, [](int t) { ac::IncStat(static_cast<uint32_t>(t), 1); });
}

void StatisticsFigure() {
  constexpr int kIncrements = 400000;
  const unsigned cores = std::thread::hardware_concurrency();
  IncrementNs(4, kIncrements / 10);  // warm-up
  // The fastest of three runs each: the neighbours on a shared machine only ever
  // slow a run down.
  double one = 1e300, four = 1e300;
  for (int run = 0; run < 3; ++run) {
    one = std::min(one, IncrementNs(1, kIncrements));
    four = std::min(four, IncrementNs(4, kIncrements));
  }
  bench::PrintFigure("statistics increment, each of 4 threads vs 1 thread (" + std::to_string(cores) + " cores)", four,
                     one, 0);
}

}  // namespace

int main() {
  InsertFigure();
  LookupFigure();
  LockFigure();
  StatisticsFigure();
  return 0;
}
