#include "event/counters.h"

namespace acdc::event {

const char* const kCounterNames[kCounterCount] = {
#define ACDC_COUNTER_NAME(name) #name,
    ACDC_EVENT_COUNTERS(ACDC_COUNTER_NAME)
#undef ACDC_COUNTER_NAME
};

std::atomic<uint64_t> g_counters[kCounterCount];

void SnapshotCounters(uint64_t out[kCounterCount]) {
  for (uint32_t i = 0; i < kCounterCount; ++i) out[i] = g_counters[i].load(std::memory_order_relaxed);
}

}  // namespace acdc::event
