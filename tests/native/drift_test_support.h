// What the drift-table tests share: a clock, process presence, descriptor names
// and an allocator substituted through the services table.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cache/drift_table.h"
#include "platform/services.h"

namespace acdc::cache::test_support {

// Process ids from 1,000,000 on have gone; lower ones run.
constexpr uint32_t kFirstGonePid = 1'000'000;

// Descriptors from 900 on have no name to give; the others name a file that
// tells its (pid, fd) and has a length that varies with them.
constexpr int32_t kFirstNamelessFd = 900;

inline std::atomic<uint64_t> g_fake_now_ms{1'700'000'000'000};
inline std::atomic<uint64_t> g_presence_queries{0};
inline std::atomic<uint64_t> g_name_queries{0};
inline std::atomic<bool> g_allocation_fails{false};
// Called at every presence or name query, while the operation that asked holds
// no lock; nullptr: nothing.
inline void (*g_on_query)() = nullptr;

inline uint64_t FakeNow() { return g_fake_now_ms.load(std::memory_order_relaxed); }

inline bool FakeRunning(uint32_t pid) {
  g_presence_queries.fetch_add(1, std::memory_order_relaxed);
  if (g_on_query != nullptr) g_on_query();
  return pid < kFirstGonePid;
}

// The name the fake gives for (pid, fd): "C:\f\<pid>\<fd>" and a tail of
// (pid + fd) % 97 'x's.
inline size_t ExpectedName(uint32_t pid, int32_t fd, char* out, size_t cap) {
  int n = std::snprintf(out, cap, "C:\\f\\%u\\%d\\", pid, fd);
  size_t length = static_cast<size_t>(n);
  size_t extra = (pid + static_cast<uint32_t>(fd)) % 97;
  for (size_t i = 0; i < extra && length + 1 < cap; ++i) out[length++] = 'x';
  out[length] = '\0';
  return length;
}

inline platform::Win32Error FakeName(uint32_t pid, int32_t fd, char* out, size_t cap) {
  g_name_queries.fetch_add(1, std::memory_order_relaxed);
  if (g_on_query != nullptr) g_on_query();
  out[0] = '\0';
  if (fd >= kFirstNamelessFd) return platform::kErrorInvalidFunction;
  ExpectedName(pid, fd, out, cap);
  return platform::kErrorSuccess;
}

inline void* FakeAllocate(size_t size) {
  return g_allocation_fails.load(std::memory_order_relaxed) ? nullptr : std::malloc(size);
}

// Installs the fakes for a scope and leaves an empty table behind.
struct FakeDriftServices {
  platform::Services saved = platform::g_services;
  FakeDriftServices() {
    platform::g_services.now_ms = FakeNow;
    platform::g_services.is_process_running = FakeRunning;
    platform::g_services.descriptor_name = FakeName;
    platform::g_services.allocate = FakeAllocate;
    g_allocation_fails = false;
    g_on_query = nullptr;
    DriftClear();
  }
  ~FakeDriftServices() {
    DriftClear();
    g_on_query = nullptr;
    platform::g_services = saved;
  }
};

inline uint64_t Counter(const DriftStatsSnapshot& s, DriftCounter c) { return s.counts[static_cast<size_t>(c)]; }

}  // namespace acdc::cache::test_support
