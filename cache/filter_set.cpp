#include "cache/filter_set.h"

#include <atomic>

#include "platform/recursive_lock.h"

namespace acdc::cache {

namespace {

using platform::LockId;
using platform::ScopedLock;

constexpr uint32_t kWords = kFilterSetBits / 64;
constexpr uint64_t kPositionMask = kFilterSetBits - 1;
constexpr uint64_t kNoMinimum = ~uint64_t{0};

// Everything is written under the filter-set lock; queries read it without.
std::atomic<uint64_t> g_words[kWords];             // bit p % 64 of word p / 64 is position p
std::atomic<uint64_t> g_min{kNoMinimum};           // minSize
std::atomic<uint64_t> g_max{0};                    // maxSize
std::atomic<uint32_t> g_count{0};                  // positions set
std::atomic<bool> g_bypass{true};                  // bypassEnabled
std::atomic<uint32_t> g_clear_sequence{0};         // odd while a clear wipes the set

// Counters, each bumped with a relaxed load and store. Adds and clears hold the
// lock, so theirs are exact; queries hold none, and two that count at the same
// moment may count once: a locked add per query would cost more than the query.
std::atomic<uint32_t> g_add{0};
std::atomic<uint32_t> g_clear{0};
std::atomic<uint32_t> g_bypassed{0};
std::atomic<uint32_t> g_hit{0};
std::atomic<uint32_t> g_miss{0};
std::atomic<uint32_t> g_oorange{0};

inline void Bump(std::atomic<uint32_t>& counter) {
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

inline std::atomic<uint64_t>& WordOf(uint64_t value) { return g_words[(value & kPositionMask) / 64]; }
inline uint64_t MaskOf(uint64_t value) { return uint64_t{1} << (value & 63); }

enum class Answer : uint8_t { kBypassed, kOutOfRange, kHit, kMiss };

inline Answer Judge(bool bypass, uint64_t lo, uint64_t hi, uint64_t word, uint64_t value) {
  if (bypass) return Answer::kBypassed;
  if (value < lo || value > hi) return Answer::kOutOfRange;
  return (word & MaskOf(value)) != 0 ? Answer::kHit : Answer::kMiss;
}

// Reads the state without the lock. False when a clear ran meanwhile (or was
// running): the reads may then mix the set before and after it.
bool JudgeWithoutLock(uint64_t value, Answer* answer) {
  uint32_t seq = g_clear_sequence.load(std::memory_order_acquire);
  // The bypass is read with acquire so that a query that finds it off also finds
  // every add made before it was turned off.
  if (g_bypass.load(std::memory_order_acquire)) {
    *answer = Answer::kBypassed;
    return true;
  }
  if ((seq & 1) != 0) return false;
  uint64_t lo = g_min.load(std::memory_order_relaxed);
  uint64_t hi = g_max.load(std::memory_order_relaxed);
  uint64_t word = WordOf(value).load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (g_clear_sequence.load(std::memory_order_relaxed) != seq) return false;
  *answer = Judge(false, lo, hi, word, value);
  return true;
}

Answer JudgeLocked(uint64_t value) {
  return Judge(g_bypass.load(std::memory_order_relaxed), g_min.load(std::memory_order_relaxed),
               g_max.load(std::memory_order_relaxed), WordOf(value).load(std::memory_order_relaxed), value);
}

}  // namespace

void AddToFilterSet(uint64_t value) {
  ScopedLock lock(LockId::kFilterSet);
  std::atomic<uint64_t>& word = WordOf(value);
  uint64_t bits = word.load(std::memory_order_relaxed);
  if ((bits & MaskOf(value)) == 0) {
    word.store(bits | MaskOf(value), std::memory_order_relaxed);
    g_count.store(g_count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  if (value < g_min.load(std::memory_order_relaxed)) g_min.store(value, std::memory_order_relaxed);
  if (value > g_max.load(std::memory_order_relaxed)) g_max.store(value, std::memory_order_relaxed);
  Bump(g_add);
}

bool IsLikelyInSet(uint64_t value) {
  Answer answer;
  if (!JudgeWithoutLock(value, &answer)) {
    ScopedLock lock(LockId::kFilterSet);
    answer = JudgeLocked(value);
  }
  switch (answer) {
    case Answer::kBypassed: Bump(g_bypassed); return true;
    case Answer::kOutOfRange: Bump(g_oorange); return false;
    case Answer::kHit: Bump(g_hit); return true;
    case Answer::kMiss: Bump(g_miss); return false;
  }
  return true;
}

void ClearFilterSet() {
  ScopedLock lock(LockId::kFilterSet);
  uint32_t seq = g_clear_sequence.load(std::memory_order_relaxed);
  g_clear_sequence.store(seq + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  // The bypass goes on first: a query that sees it answers from it alone.
  g_bypass.store(true, std::memory_order_relaxed);
  g_min.store(kNoMinimum, std::memory_order_relaxed);
  g_max.store(0, std::memory_order_relaxed);
  for (std::atomic<uint64_t>& w : g_words) w.store(0, std::memory_order_relaxed);
  g_count.store(0, std::memory_order_relaxed);
  Bump(g_clear);
  g_clear_sequence.store(seq + 2, std::memory_order_release);
}

uint32_t FilledPositionsCount() { return g_count.load(std::memory_order_relaxed); }

void SetBypassFilterState(bool enabled) {
  ScopedLock lock(LockId::kFilterSet);
  // Release: a query that finds the bypass off also finds the adds made before.
  g_bypass.store(enabled, std::memory_order_release);
}

void CopyFilterSetBits(uint8_t* out) {
  ScopedLock lock(LockId::kFilterSet);
  // Byte by byte from each word's least significant end, so the dump has the same
  // layout whatever the machine's byte order.
  for (uint32_t i = 0; i < kWords; ++i) {
    uint64_t w = g_words[i].load(std::memory_order_relaxed);
    for (int b = 0; b < 8; ++b) out[i * 8 + b] = static_cast<uint8_t>(w >> (8 * b));
  }
}

FilterSetStatsSnapshot FilterSetStats() {
  ScopedLock lock(LockId::kFilterSet);
  FilterSetStatsSnapshot s;
  s.minSize = g_min.load(std::memory_order_relaxed);
  s.maxSize = g_max.load(std::memory_order_relaxed);
  s.count = g_count.load(std::memory_order_relaxed);
  s.bypassEnabled = g_bypass.load(std::memory_order_relaxed);
  s.add = g_add.load(std::memory_order_relaxed);
  s.bypassed = g_bypassed.load(std::memory_order_relaxed);
  s.clear = g_clear.load(std::memory_order_relaxed);
  s.hit = g_hit.load(std::memory_order_relaxed);
  s.miss = g_miss.load(std::memory_order_relaxed);
  s.oorange = g_oorange.load(std::memory_order_relaxed);
  return s;
}

}  // namespace acdc::cache
