#include "ac/statistics_table.h"

#include "platform/recursive_lock.h"

namespace acdc::ac {

namespace {

using platform::LockId;
using platform::ScopedLock;

// Guarded by the statistics lock.
StatSlot g_slots[kStatSlots];

}  // namespace

bool GetStat(uint32_t index, double* value) {
  if (index >= kStatSlots) return false;
  ScopedLock lock(LockId::kStatistics);
  if (!g_slots[index].set) return false;
  *value = g_slots[index].value;
  return true;
}

void SetStat(uint32_t index, double value) {
  if (index >= kStatSlots) return;
  ScopedLock lock(LockId::kStatistics);
  g_slots[index] = {value, true};
}

void IncStat(uint32_t index, double increment) {
  if (index >= kStatSlots) return;
  ScopedLock lock(LockId::kStatistics);
  g_slots[index] = {g_slots[index].value + increment, true};
}

void ClearStat(uint32_t index) {
  if (index >= kStatSlots) return;
  ScopedLock lock(LockId::kStatistics);
  g_slots[index] = {0, false};
}

void SnapshotStats(StatSlot out[kStatSlots]) {
  ScopedLock lock(LockId::kStatistics);
  for (uint32_t i = 0; i < kStatSlots; ++i) out[i] = g_slots[i];
}

}  // namespace acdc::ac
