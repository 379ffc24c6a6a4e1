// The drift table: which (process id, descriptor) pairs the policy follows, so that
// it can tell on a close whether the close concerns a tracked file, follow
// duplicated descriptors, and build the compact filter that tells the driver which
// processes and descriptors to report.
//
// 64 entries in a ring ordered (roughly) by age, behind the drift-table mutex. Every
// operation holds the mutex for its own work on the ring only: the process-presence
// queries of the lost check and the name lookups of duplicated descriptors run
// before it is taken (see drift_table.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::cache {

// In the order of the record, which a cache dump copies from its start.
#define ACDC_DRIFT_COUNTERS(X)                                                              \
  X(track) X(open) X(overflow) X(losttrack) X(lostcheck) X(found) X(notfound) X(dirt)        \
  X(newfilter) X(condfound) X(condopen) X(dup) X(dupmiss) X(dupname) X(dupnamefail)          \
  X(dupnamemiss) X(dupnamenomem) X(iterations)

// Scoped, because several names (open, dup) are also system functions.
#define ACDC_DRIFT_ENUM(name) name,
enum class DriftCounter : uint8_t { ACDC_DRIFT_COUNTERS(ACDC_DRIFT_ENUM) kCount };
#undef ACDC_DRIFT_ENUM

constexpr size_t kDriftCounterCount = static_cast<size_t>(DriftCounter::kCount);
extern const char* const kDriftCounterNames[kDriftCounterCount];

constexpr uint32_t kDriftCapacity = 64;
// A lost check that frees fewer entries than this holds the next one back.
constexpr uint32_t kDriftLostCheckGoal = 32;
constexpr int64_t kDriftCooldownSeconds = 60;
// DriftClose asks for a new filter once more closes than this missed the table.
constexpr uint64_t kDriftDirtLimit = 256;
// A captured name, with its NUL.
constexpr size_t kDriftNameCapacity = 4096;

// What an operation counted, for callers that keep their own tally (the stress
// test). `clears` tells which clear the operation came after: counting happens in
// one hold of the mutex, so all of an operation's counts fall between two clears.
struct DriftTally {
  uint64_t counts[kDriftCounterCount];
  uint64_t clears;
};

// Every operation takes an optional tally that receives what it counted.
void DriftOpen(uint32_t pid, int32_t fd, DriftTally* tally = nullptr);

// Returns true when the pair was already tracked (nothing changes), false when it
// has been tracked now.
bool DriftCondOpen(uint32_t pid, int32_t fd, DriftTally* tally = nullptr);

struct DriftCloseResult {
  bool found;    // the pair was tracked and has been dropped
  bool refresh;  // the driver's filter is stale: more than kDriftDirtLimit misses
};
DriftCloseResult DriftClose(uint32_t pid, int32_t fd, DriftTally* tally = nullptr);

// Before a duplication onto `new_fd`, which may close what `new_fd` refers to.
enum class DupCapture : uint8_t {
  kNamed,         // (pid, new_fd) is tracked; its file's name is attached
  kNameFailed,    // tracked, but the name could not be read (dupnamefail)
  kNoMemory,      // tracked, but no memory for the name (dupnamenomem)
  kOldTracked,    // (pid, new_fd) is not tracked, (pid, old_fd) is
  kNeitherTracked // neither is tracked (the Lua function returns false)
};
DupCapture DriftDupTrackPossibleClose(uint32_t pid, int32_t old_fd, int32_t new_fd, DriftTally* tally = nullptr);

// After the duplication. `name` receives the name captured for (pid, new_fd), if
// it was tracked and had one (kDriftNameCapacity bytes of room).
struct DriftDupResult {
  int32_t name_length;  // bytes in `name`, -1: no name
  bool new_found;       // (pid, new_fd) was tracked and has been dropped
  bool tracked;         // (pid, old_fd) is tracked, so (pid, new_fd) is tracked now
};
DriftDupResult DriftDup(uint32_t pid, int32_t old_fd, int32_t new_fd, char* name, DriftTally* tally = nullptr);

// The "setfilefilter" request built from the reply to "getfilefilter".
constexpr size_t kFilterReplyMinimum = 20;
constexpr size_t kFilterRequestSize = 84;
constexpr uint32_t kFilterMapBytes = 32;
enum class FreshFilterStatus : uint8_t { kBuilt, kPidSize, kFdSize };
struct FreshFilterResult {
  FreshFilterStatus status;
  uint32_t size;  // the refused map size
};
// `reply` holds at least kFilterReplyMinimum bytes.
FreshFilterResult DriftFreshFilter(const uint8_t* reply, uint8_t request[kFilterRequestSize],
                                   DriftTally* tally = nullptr);

struct DriftStatsSnapshot {
  uint64_t counts[kDriftCounterCount];
  int64_t cooldown;  // seconds since 1970: no lost check runs before it has passed
  uint64_t head;     // position of the oldest live entry
  uint64_t tail;     // one past the newest; also every entry tracked since the clear
};
DriftStatsSnapshot DriftStats();

// `wiped`, when given, receives the statistics as they were just before the clear.
void DriftClear(DriftTally* tally = nullptr, DriftStatsSnapshot* wiped = nullptr);

// A copy of one live entry, with its name.
struct DriftEntryCopy {
  uint64_t position;
  uint32_t pid;
  int32_t fd;
  int32_t name_length;  // -1: no name
  char name[kDriftNameCapacity];
};
// Copies the live entries, oldest position first, into `out` (room for
// kDriftCapacity); returns how many.
uint32_t CopyDriftEntries(DriftEntryCopy* out);

// The record as a cache dump writes it, all numbers little-endian, names as bytes:
//   byte   0  the 18 counters, u64 each, in the order of ACDC_DRIFT_COUNTERS
//   byte 144  cooldown, i64 seconds since 1970
//   byte 152  head, u64: position of the oldest live entry
//   byte 160  tail, u64: one past the newest
//   byte 168  the tail - head live entries, oldest first, each 12 bytes and its name:
//             pid u32, fd i32, name length i32 (-1: none), then that many bytes of
//             the captured name, without a NUL
constexpr size_t kDriftDumpHeaderBytes = 168;
constexpr size_t kDriftDumpEntryBytes = 12;
constexpr size_t kDriftDumpCapacity = kDriftDumpHeaderBytes + kDriftCapacity * (kDriftDumpEntryBytes + kDriftNameCapacity);
// Writes the record into `out` (kDriftDumpCapacity bytes) in one hold of the mutex;
// returns its length.
size_t DumpDriftTable(uint8_t* out);

}  // namespace acdc::cache
