// The event-abstraction counters: process-wide, zero at load, only ever incremented.
//
// A counter orders nothing, so an increment is a relaxed load and a relaxed store,
// as cheap as a plain increment and free of data races; concurrent dispatches may
// lose a count, which these statistics allow. Reports read a snapshot.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace acdc::event {

// In report order. The names are the interface: reports key the values by them.
#define ACDC_EVENT_COUNTERS(X)                                                               \
  X(event_open_pre) X(open_pre_handoff) X(open_pre_eagain)                                   \
  X(event_close_pre) X(close_pre_handoff) X(close_pre_eagain)                                \
  X(event_open_post) X(open_post_handoff) X(open_post_eagain)                                \
  X(event_mmap_pre) X(mmap_pre_handoff) X(mmap_pre_eagain)                                   \
  X(event_exec_pre) X(exec_pre_handoff) X(exec_pre_eagain)                                   \
  X(event_dup_pre) X(dup_pre_handoff) X(dup_pre_eagain)                                      \
  X(event_dup_post) X(dup_post_handoff) X(dup_post_eagain)                                   \
  X(event_chown_pre) X(chown_pre_handoff) X(chown_pre_eagain)                                \
  X(event_chmod_pre) X(chmod_pre_handoff) X(chmod_pre_eagain)                                \
  X(event_chmod_post) X(chmod_post_handoff) X(chmod_post_eagain)                             \
  X(event_rename_post) X(rename_post_handoff) X(rename_post_eagain)                          \
  X(event_unlink_post) X(unlink_post_handoff) X(unlink_post_eagain)                          \
  X(event_chown_post) X(chown_post_handoff) X(chown_post_eagain)                             \
  X(event_setinfo_pre) X(setinfo_pre_handoff) X(setinfo_pre_eagain)                          \
  X(event_setinfo_post) X(setinfo_post_handoff) X(setinfo_post_eagain)                       \
  X(event_setsecurity_pre) X(setsecurity_pre_handoff) X(setsecurity_pre_eagain)              \
  X(event_setsecurity_post) X(setsecurity_post_handoff) X(setsecurity_post_eagain)           \
  X(event_link_pre) X(link_pre_handoff) X(link_pre_eagain)                                   \
  X(event_link_post) X(link_post_handoff) X(link_post_eagain)                                \
  X(ac_allow) X(ac_ignore) X(ac_block) X(ac_error) X(ac_trackfile) X(script_execution)       \
  X(eagain_return) X(lua_return) X(event_not_handled) X(total_events)                        \
  X(RunAllowedAutoAuthorize) X(run_prelink) X(run_allowed_trusted_path) X(trusted_drift)     \
  X(run_hash_primary) X(quick_drift_filter) X(quick_im_filter) X(quick_filter_filter)        \
  X(run_program) X(RunErrorNotExec)

enum Counter : uint32_t {
#define ACDC_COUNTER_ENUM(name) name,
  ACDC_EVENT_COUNTERS(ACDC_COUNTER_ENUM)
#undef ACDC_COUNTER_ENUM
  kCounterCount
};
static_assert(kCounterCount == 77, "the reports list 77 counters");

extern const char* const kCounterNames[kCounterCount];
extern std::atomic<uint64_t> g_counters[kCounterCount];

inline void Count(Counter c) {
  std::atomic<uint64_t>& v = g_counters[c];
  v.store(v.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

inline uint64_t CounterValue(Counter c) { return g_counters[c].load(std::memory_order_relaxed); }

// Copies all counters into `out` at once, so that one report reflects one moment
// (up to concurrent increments).
void SnapshotCounters(uint64_t out[kCounterCount]);

}  // namespace acdc::event
