// The drift table under 4 threads x 1,000,000 mixed operations, with the clock,
// process presence, descriptor names and allocation substituted. Thread 0 clears the
// table every 10,000 of its operations and moves the clock past the cooldown every
// 2,000; thread 1 makes allocation fail now and then.
//
// Every operation reports what it counted and after which clear (DriftTally), and
// what it did (its result). Each thread keeps both per clear. The statistics each
// clear wiped, and those left at the end, must equal the sum of the threads'
// tallies for that stretch, and agree with what the results say.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "drift_test_support.h"

namespace acdc::cache {
namespace {

using namespace test_support;
using C = DriftCounter;

constexpr int kThreads = 4;
constexpr int kOperations = 1'000'000;
constexpr int kClearEvery = 10'000;

// Per stretch between clears: what the operations counted (their tallies) and what
// their results say they must have counted.
struct Stretch {
  uint64_t tally[kDriftCounterCount] = {};
  uint64_t said[kDriftCounterCount] = {};
};

struct Worker {
  std::map<uint64_t, Stretch> stretches;  // by the clear they follow
  std::map<uint64_t, DriftStatsSnapshot> wiped;  // thread 0: what each clear ended
  uint64_t failures = 0;
  std::string first_failure;

  void Fail(const std::string& what) {
    if (failures++ == 0) first_failure = what;
  }
  // Adds an operation's tally and the counters its result implies.
  void Add(const DriftTally& t, const std::vector<C>& said = {}) {
    Stretch& s = stretches[t.clears];
    for (size_t c = 0; c < kDriftCounterCount; ++c) s.tally[c] += t.counts[c];
    for (C c : said) ++s.said[static_cast<size_t>(c)];
  }
};

uint64_t Next(uint64_t* state) {
  uint64_t x = *state;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return *state = x;
}

void CheckNames(Worker* w) {
  auto copies = std::make_unique<DriftEntryCopy[]>(kDriftCapacity);
  uint32_t n = CopyDriftEntries(copies.get());
  if (n > kDriftCapacity) w->Fail("more than 64 live entries copied");
  for (uint32_t i = 0; i < n; ++i) {
    const DriftEntryCopy& e = copies[i];
    if (e.name_length < 0) continue;
    char expected[kDriftNameCapacity];
    size_t length = ExpectedName(e.pid, e.fd, expected, sizeof expected);
    std::string name(e.name, static_cast<size_t>(e.name_length));
    if (length != static_cast<size_t>(e.name_length) || name != expected || std::strlen(name.c_str()) != length)
      w->Fail("entry name " + name + " for " + expected);
  }
}

void RunWorker(int index, Worker* w) {
  uint64_t rng = 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(index + 1);
  uint8_t reply[kFilterReplyMinimum] = {};
  reply[12] = 32;
  uint8_t request[kFilterRequestSize];
  char name[kDriftNameCapacity];
  for (int i = 1; i <= kOperations; ++i) {
    DriftTally t = {};
    if (index == 0 && i % kClearEvery == kClearEvery / 2) {
      DriftStatsSnapshot wiped;
      DriftClear(&t, &wiped);
      w->wiped[t.clears - 1] = wiped;
      w->Add(t);
      continue;
    }
    if (index == 0 && i % 2'000 == 0) g_fake_now_ms += 61'000;
    if (index == 1 && i % 1'000 == 0) g_allocation_fails = true;
    if (index == 1 && i % 1'000 == 5) g_allocation_fails = false;

    uint64_t r = Next(&rng);
    // A few processes shared by all threads, running and gone, so that threads
    // find, drop and evict each other's entries.
    uint32_t pid = (r >> 8) % 6 < 4 ? 100 + static_cast<uint32_t>((r >> 12) % 5)
                                     : kFirstGonePid + static_cast<uint32_t>((r >> 12) % 5);
    int32_t fd = static_cast<int32_t>((r >> 20) % 16);
    int32_t other = (r >> 28) % 16 == 0 ? kFirstNamelessFd + fd : static_cast<int32_t>((r >> 32) % 16);
    switch (r % 100) {
      case 0 ... 24:
        DriftOpen(pid, fd, &t);
        w->Add(t, {C::open, C::track});
        break;
      case 25 ... 39:
        if (DriftCondOpen(pid, fd, &t)) w->Add(t, {C::condfound});
        else w->Add(t, {C::condopen, C::track});
        break;
      case 40 ... 64:
        if (DriftClose(pid, fd, &t).found) w->Add(t, {C::found});
        else w->Add(t, {C::notfound});
        break;
      case 65 ... 77:
        switch (DriftDupTrackPossibleClose(pid, fd, other, &t)) {
          case DupCapture::kNamed: w->Add(t, {C::dupname}); break;
          case DupCapture::kNameFailed: w->Add(t, {C::dupnamefail}); break;
          case DupCapture::kNoMemory: w->Add(t, {C::dupnamenomem}); break;
          case DupCapture::kOldTracked: w->Add(t, {C::dupnamemiss}); break;
          case DupCapture::kNeitherTracked: w->Add(t, {C::dupnamemiss, C::dupmiss}); break;
        }
        break;
      case 78 ... 92: {
        DriftDupResult d = DriftDup(pid, fd, other, name, &t);
        std::vector<C> said = {d.tracked ? C::dup : C::dupmiss};
        if (d.tracked) said.push_back(C::track);
        if (d.new_found) said.push_back(C::found);
        w->Add(t, said);
        if (d.name_length >= 0) {
          char expected[kDriftNameCapacity];
          size_t length = ExpectedName(pid, other, expected, sizeof expected);
          if (static_cast<size_t>(d.name_length) != length || std::memcmp(name, expected, length) != 0)
            w->Fail("DriftDup name " + std::string(name, static_cast<size_t>(d.name_length)) + " for " + expected);
        }
        break;
      }
      case 93 ... 94:
        reply[8] = (r >> 40) % 8 == 0 ? 64 : 32;
        DriftFreshFilter(reply, request, &t);
        w->Add(t, {C::newfilter});
        break;
      default: {
        DriftStatsSnapshot s = DriftStats();
        if (s.tail - s.head > kDriftCapacity) w->Fail("more than 64 live entries");
        if (index == 2 && i % 1'000 < 5) CheckNames(w);
        break;
      }
    }
  }
}

TEST(DriftTableStress, CountersEqualTheThreadsTalliesUnderContention) {
  FakeDriftServices fakes;
  std::array<Worker, kThreads> workers;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([i, &workers, &finished] {
      RunWorker(i, &workers[i]);
      ++finished;
    });
  // A lost wake-up or a lock never released shows as a time-out, not a hang.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (finished < kThreads) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the workers did not finish in 5 minutes";
      std::abort();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (std::thread& t : threads) t.join();

  for (const Worker& w : workers) EXPECT_EQ(w.failures, 0u) << w.first_failure;

  std::map<uint64_t, DriftStatsSnapshot> stretches = workers[0].wiped;
  uint64_t last = 0;
  for (const Worker& w : workers) last = std::max(last, w.stretches.rbegin()->first);
  stretches[last] = DriftStats();
  ASSERT_EQ(stretches.size(), static_cast<size_t>(kOperations / kClearEvery + 1));
  uint64_t ever[kDriftCounterCount] = {};
  for (const auto& [clears, s] : stretches) {
    SCOPED_TRACE("after clear " + std::to_string(clears));
    Stretch sum;
    for (const Worker& w : workers) {
      auto it = w.stretches.find(clears);
      if (it == w.stretches.end()) continue;
      for (size_t c = 0; c < kDriftCounterCount; ++c) {
        sum.tally[c] += it->second.tally[c];
        sum.said[c] += it->second.said[c];
      }
    }
    for (size_t c = 0; c < kDriftCounterCount; ++c) {
      ever[c] += s.counts[c];
      // dirt is set back by a new filter, not counted down: no tally can follow it.
      if (static_cast<C>(c) == C::dirt) continue;
      EXPECT_EQ(s.counts[c], sum.tally[c]) << kDriftCounterNames[c];
      // Scans, lost checks and evictions happen inside operations: no result tells them.
      C k = static_cast<C>(c);
      if (k != C::iterations && k != C::lostcheck && k != C::losttrack && k != C::overflow) {
        EXPECT_EQ(s.counts[c], sum.said[c]) << "by results: " << kDriftCounterNames[c];
      }
    }
    auto get = [&s = s](C c) { return s.counts[static_cast<size_t>(c)]; };
    EXPECT_EQ(s.tail, get(C::track));
    // Every entry tracked is still live or left by a close, a duplication, an
    // eviction or a lost check.
    EXPECT_EQ(get(C::overflow) + get(C::losttrack), get(C::track) - get(C::found) - (s.tail - s.head));
    EXPECT_LE(get(C::dirt), get(C::notfound));
    EXPECT_LE(s.tail - s.head, kDriftCapacity);
    if (HasFailure()) break;
  }

  // The run must have gone through every path it is meant to stress.
  for (C c : {C::lostcheck, C::losttrack, C::overflow, C::dupname, C::dupnamenomem, C::dupnamefail, C::condfound}) {
    EXPECT_GT(ever[static_cast<size_t>(c)], 0u) << kDriftCounterNames[static_cast<size_t>(c)];
  }

  Worker check;
  CheckNames(&check);
  EXPECT_EQ(check.failures, 0u) << check.first_failure;
}

}  // namespace
}  // namespace acdc::cache
