// FilterSet: a probabilistic set of unsigned 64-bit values that Lua fills and
// queries to rule candidates out cheaply. "No" is certain, "yes" means "likely".
//
// One bitmap of 2^19 bits in static storage: a value uses the bit of its low 19
// bits (position p is bit p % 8 of byte p / 8), and the smallest and largest value
// added bound the range a "yes" may come from. A bypass switch, on at load and after
// every clear, makes every query answer "yes" while the set is being filled.
//
// Writers (add, clear, bypass switch, the copy for a dump, the statistics) hold the
// process-wide filter-set lock. Queries take no lock: they read the state through
// atomics and check a sequence number that a clear makes odd while it wipes the
// set, so a query that overlapped a clear is answered again under the lock rather
// than from half-wiped state. An add never needs that check: it only sets bits and
// widens the range, so a query that sees part of an add answers as if the add had
// not happened yet. The count of positions is read with no lock at all.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::cache {

constexpr uint32_t kFilterSetBits = 524288;              // 2^19 positions
constexpr size_t kFilterSetBytes = kFilterSetBits / 8;  // 65,536: the bitmap as dumped

struct FilterSetStatsSnapshot {
  uint64_t minSize;       // smallest value added; all ones when none was
  uint64_t maxSize;       // largest value added; 0 when none was
  uint32_t count;         // positions set
  bool bypassEnabled;     // every query answers true
  uint32_t add;           // adds
  uint32_t bypassed;      // queries answered by the bypass
  uint32_t clear;         // clears
  uint32_t hit;           // queries whose bit was set
  uint32_t miss;          // queries in range whose bit was clear
  uint32_t oorange;       // queries outside [minSize, maxSize]
};

// Sets the value's bit (counting a newly set position), widens the range to the
// value and counts the add.
void AddToFilterSet(uint64_t value);

// True when the bypass is on (counted `bypassed`) or the value lies in the range
// and its bit is set (`hit`); false when it lies outside the range (`oorange`) or
// its bit is clear (`miss`).
bool IsLikelyInSet(uint64_t value);

// Empties the set, turns the bypass on and counts the clear; other counters stay.
void ClearFilterSet();

// The number of positions set, read without the lock.
uint32_t FilledPositionsCount();

void SetBypassFilterState(bool enabled);

// Copies the bitmap, as laid out above, into `out` (kFilterSetBytes bytes) under
// the lock; the caller writes it wherever it goes after the lock is released.
void CopyFilterSetBits(uint8_t* out);

// All of the set's figures, read together under the lock.
FilterSetStatsSnapshot FilterSetStats();

}  // namespace acdc::cache
