// Times the process image queries that the library linked into this program makes,
// by standing a timing wrapper in front of the real query in the services table.
// What it times is the query itself (on POSIX: /proc/<pid>/exe and the mapping to a
// drive path); the UTF-8 copy around it costs a few hundred nanoseconds at most
// against tens of microseconds, and is left out. Counting is a relaxed atomic add:
// two clock reads and two adds per lookup, nothing against what a lookup costs.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

#include "platform/services.h"

namespace acdc::bench {

struct ImageLookupTally {
  uint64_t ns = 0;       // spent inside the query, summed over all threads
  uint64_t lookups = 0;  // queries made
  uint64_t failed = 0;   // queries that found no image
};

class ImageLookupTimer {
 public:
  // Puts the wrapper in front of whatever query the table holds now.
  static void Install() {
    if (platform::g_services.query_process_image == &Timed) return;
    real_ = platform::g_services.query_process_image;
    platform::g_services.query_process_image = &Timed;
  }
  static void Remove() {
    if (platform::g_services.query_process_image == &Timed) platform::g_services.query_process_image = real_;
  }
  static void Reset() {
    ns_.store(0, std::memory_order_relaxed);
    lookups_.store(0, std::memory_order_relaxed);
    failed_.store(0, std::memory_order_relaxed);
  }
  static ImageLookupTally Read() {
    ImageLookupTally t;
    t.ns = ns_.load(std::memory_order_relaxed);
    t.lookups = lookups_.load(std::memory_order_relaxed);
    t.failed = failed_.load(std::memory_order_relaxed);
    return t;
  }

 private:
  static int64_t Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
  }
  static platform::Win32Error Timed(uint32_t pid, char16_t* out, uint32_t* len, platform::ImageQueryStep* step) {
    int64_t start = Now();
    platform::Win32Error err = real_(pid, out, len, step);
    ns_.fetch_add(static_cast<uint64_t>(Now() - start), std::memory_order_relaxed);
    lookups_.fetch_add(1, std::memory_order_relaxed);
    if (err != platform::kErrorSuccess) failed_.fetch_add(1, std::memory_order_relaxed);
    return err;
  }

  static inline platform::Win32Error (*real_)(uint32_t, char16_t*, uint32_t*, platform::ImageQueryStep*) =
      platform::OsQueryProcessImage;
  static inline std::atomic<uint64_t> ns_{0};
  static inline std::atomic<uint64_t> lookups_{0};
  static inline std::atomic<uint64_t> failed_{0};
};

}  // namespace acdc::bench
