// The statistics registry's counters: 128 numeric slots, each a value and a set
// flag, once per process and shared by every Lua state and thread. All four
// accessors and the snapshot hold the process-wide statistics lock around their
// own slot accesses only; names are resolved to indexes by the caller, per Lua
// state, before any of them is called.
#pragma once

#include <cstdint>

namespace acdc::ac {

constexpr uint32_t kStatSlots = 128;

struct StatSlot {
  double value;  // 0 until written
  bool set;      // written since load or since the last clear
};

// An index of kStatSlots or more touches nothing: GetStat answers false.
bool GetStat(uint32_t index, double* value);
void SetStat(uint32_t index, double value);
void IncStat(uint32_t index, double increment);
void ClearStat(uint32_t index);

// All slots, copied under one hold of the lock: a consistent snapshot.
void SnapshotStats(StatSlot out[kStatSlots]);

}  // namespace acdc::ac
