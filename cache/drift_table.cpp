// The drift table and its operations.
//
// Locking: every operation takes the drift-table mutex once for its work on the
// ring, so everything it counts lies between two clears. Two kinds of work stay
// outside the mutex because they ask the system about other processes, which can
// take as long as the system likes (a process snapshot on Windows, /proc reads
// here), and any Lua state on any thread may be waiting for the table meanwhile:
//
// - The lost check. When a tracking operation finds the ring full and the
//   cooldown passed, it copies the live (position, pid, descriptor) triples, lets
//   go of the mutex, asks which processes have gone, takes the mutex again and
//   starts over with the answers in hand. The check itself then drops only the
//   entries that are unchanged since the copy (same position, same pair) and whose
//   process had gone; an entry added or moved meanwhile counts as present. The
//   clock is read once per hold, so an operation that found no check due will not
//   need one when it tracks.
// - The name of a duplicated descriptor, read (and copied to the heap) between a
//   look at whether the pair is tracked and the hold that attaches it.
#include "cache/drift_table.h"

#include <cstdlib>
#include <cstring>

#include "platform/cache_mutex.h"
#include "platform/services.h"

namespace acdc::cache {

#define ACDC_DRIFT_NAME(name) #name,
const char* const kDriftCounterNames[kDriftCounterCount] = {ACDC_DRIFT_COUNTERS(ACDC_DRIFT_NAME)};
#undef ACDC_DRIFT_NAME

namespace {

using platform::CacheMutex;
using platform::CacheMutexGuard;

struct Entry {
  uint32_t pid;
  int32_t fd;
  char* closedName;          // owned; the name of the file a duplication onto fd closed
  int32_t closedNameLength;  // bytes of closedName; -1: none
};

// Counters first, then the ring state: a cache dump copies the record from its start.
struct Table {
  uint64_t counts[kDriftCounterCount];
  int64_t cooldown;  // seconds since 1970
  uint64_t head;     // position of the oldest live entry
  uint64_t tail;     // one past the newest live entry
  Entry entries[kDriftCapacity];  // position p lives in entry p % kDriftCapacity
};

Table g_table;        // guarded by CacheMutex::kDriftTable
uint64_t g_clears;    // clears so far; guarded by the same mutex

// The presence answers of a lost check, gathered outside the mutex.
struct LostCheck {
  bool taken = false;  // a copy of the live entries has been made
  uint32_t count = 0;
  uint64_t position[kDriftCapacity];  // ascending
  uint32_t pid[kDriftCapacity];
  int32_t fd[kDriftCapacity];
  bool gone[kDriftCapacity];
};

inline Entry& At(uint64_t position) { return g_table.entries[position % kDriftCapacity]; }
inline uint64_t LiveLocked() { return g_table.tail - g_table.head; }

inline void Count(DriftCounter c, DriftTally* tally, uint64_t n = 1) {
  g_table.counts[static_cast<size_t>(c)] += n;
  if (tally != nullptr) tally->counts[static_cast<size_t>(c)] += n;
}

inline int64_t NowSeconds() { return static_cast<int64_t>(platform::NowMilliseconds() / 1000); }

// Scans the live entries from the oldest for (pid, fd); counts the entries passed
// over in `iterations`.
bool FindLocked(uint32_t pid, int32_t fd, uint64_t* position, DriftTally* tally) {
  for (uint64_t p = g_table.head; p < g_table.tail; ++p) {
    const Entry& e = At(p);
    if (e.pid == pid && e.fd == fd) {
      Count(DriftCounter::iterations, tally, p - g_table.head);
      *position = p;
      return true;
    }
  }
  Count(DriftCounter::iterations, tally, LiveLocked());
  return false;
}

bool TrackedLocked(uint32_t pid, int32_t fd) {
  for (uint64_t p = g_table.head; p < g_table.tail; ++p)
    if (At(p).pid == pid && At(p).fd == fd) return true;
  return false;
}

// Frees the entry's name and fills the hole with the oldest entry, so that the
// live entries stay contiguous; never moves more than one entry.
void DropLocked(uint64_t position) {
  Entry& e = At(position);
  std::free(e.closedName);
  Entry& oldest = At(g_table.head);
  if (position != g_table.head) e = oldest;
  oldest.closedName = nullptr;
  oldest.closedNameLength = -1;
  ++g_table.head;
}

// The start of every tracking operation's hold: reads the clock and tells whether
// the operation can go on. When the ring is full and a lost check due, it cannot
// until the presence of the live entries' processes is known: the entries are
// copied into `check` and the caller asks outside the mutex.
bool ReadyLocked(int64_t* now, LostCheck* check, DriftTally* tally) {
  if (tally != nullptr) tally->clears = g_clears;
  *now = NowSeconds();
  if (LiveLocked() < kDriftCapacity || g_table.cooldown >= *now || check->taken) return true;
  check->taken = true;
  check->count = 0;
  for (uint64_t p = g_table.head; p < g_table.tail; ++p) {
    uint32_t i = check->count++;
    check->position[i] = p;
    check->pid[i] = At(p).pid;
    check->fd[i] = At(p).fd;
  }
  return false;
}

// Outside the mutex: one presence query per distinct process.
void AskPresence(LostCheck* check) {
  for (uint32_t i = 0; i < check->count; ++i) {
    uint32_t j = 0;
    while (j < i && check->pid[j] != check->pid[i]) ++j;
    check->gone[i] = j < i ? check->gone[j] : !platform::IsProcessRunning(check->pid[i]);
  }
}

// Drops the entries that the answers select: unchanged since the copy, process gone.
uint32_t DropLostLocked(const LostCheck& check, DriftTally* tally) {
  uint32_t dropped = 0;
  uint32_t k = 0;
  // A drop moves the oldest entry, which the walk has passed already, into the
  // hole; the walk goes on with the next position.
  for (uint64_t p = g_table.head; p < g_table.tail; ++p) {
    while (k < check.count && check.position[k] < p) ++k;
    if (k == check.count) break;
    const Entry& e = At(p);
    if (check.position[k] == p && check.gone[k] && check.pid[k] == e.pid && check.fd[k] == e.fd) {
      DropLocked(p);
      Count(DriftCounter::losttrack, tally);
      ++dropped;
    }
  }
  return dropped;
}

void TrackLocked(uint32_t pid, int32_t fd, int64_t now, const LostCheck& check, DriftTally* tally) {
  if (LiveLocked() == kDriftCapacity) {
    if (g_table.cooldown >= now) {
      DropLocked(g_table.head);
      Count(DriftCounter::overflow, tally);
    } else {
      uint32_t dropped = DropLostLocked(check, tally);
      Count(DriftCounter::lostcheck, tally);
      if (dropped < kDriftLostCheckGoal) g_table.cooldown = now + kDriftCooldownSeconds;
      if (dropped == 0) {
        DropLocked(g_table.head);
        Count(DriftCounter::overflow, tally);
      }
    }
  }
  At(g_table.tail) = Entry{pid, fd, nullptr, -1};
  ++g_table.tail;
  Count(DriftCounter::track, tally);
}

}  // namespace

void DriftOpen(uint32_t pid, int32_t fd, DriftTally* tally) {
  LostCheck check;
  for (;;) {
    {
      CacheMutexGuard guard(CacheMutex::kDriftTable);
      int64_t now;
      if (ReadyLocked(&now, &check, tally)) {
        Count(DriftCounter::open, tally);
        TrackLocked(pid, fd, now, check, tally);
        return;
      }
    }
    AskPresence(&check);
  }
}

bool DriftCondOpen(uint32_t pid, int32_t fd, DriftTally* tally) {
  LostCheck check;
  for (;;) {
    {
      CacheMutexGuard guard(CacheMutex::kDriftTable);
      int64_t now;
      if (ReadyLocked(&now, &check, tally)) {
        uint64_t position;
        if (FindLocked(pid, fd, &position, tally)) {
          Count(DriftCounter::condfound, tally);
          return true;
        }
        Count(DriftCounter::condopen, tally);
        TrackLocked(pid, fd, now, check, tally);
        return false;
      }
    }
    AskPresence(&check);
  }
}

DriftCloseResult DriftClose(uint32_t pid, int32_t fd, DriftTally* tally) {
  CacheMutexGuard guard(CacheMutex::kDriftTable);
  if (tally != nullptr) tally->clears = g_clears;
  uint64_t position;
  if (FindLocked(pid, fd, &position, tally)) {
    DropLocked(position);
    Count(DriftCounter::found, tally);
    return {true, false};
  }
  Count(DriftCounter::notfound, tally);
  Count(DriftCounter::dirt, tally);
  return {false, g_table.counts[static_cast<size_t>(DriftCounter::dirt)] > kDriftDirtLimit};
}

DupCapture DriftDupTrackPossibleClose(uint32_t pid, int32_t old_fd, int32_t new_fd, DriftTally* tally) {
  for (;;) {
    // Most duplications land on descriptors nobody follows: only a tracked one is
    // worth a name lookup.
    bool tracked;
    {
      CacheMutexGuard guard(CacheMutex::kDriftTable);
      tracked = TrackedLocked(pid, new_fd);
    }
    char* name = nullptr;
    int32_t length = -1;
    bool failed = false;
    if (tracked) {
      char buffer[kDriftNameCapacity];
      if (platform::DescriptorName(pid, new_fd, buffer, sizeof buffer) != platform::kErrorSuccess) {
        failed = true;
      } else {
        size_t n = std::strlen(buffer);
        name = static_cast<char*>(platform::Allocate(n + 1));
        if (name != nullptr) {
          std::memcpy(name, buffer, n + 1);
          length = static_cast<int32_t>(n);
        }
      }
    }
    DupCapture result;
    {
      CacheMutexGuard guard(CacheMutex::kDriftTable);
      uint64_t position;
      if (!tracked && TrackedLocked(pid, new_fd)) continue;  // tracked since the look: read its name
      if (tally != nullptr) tally->clears = g_clears;
      if (FindLocked(pid, new_fd, &position, tally)) {
        // The latest capture replaces any earlier one: a name from before could
        // belong to a file the descriptor no longer refers to.
        Entry& e = At(position);
        std::free(e.closedName);
        e.closedName = nullptr;
        e.closedNameLength = -1;
        if (failed) {
          Count(DriftCounter::dupnamefail, tally);
          result = DupCapture::kNameFailed;
        } else if (name == nullptr) {
          Count(DriftCounter::dupnamenomem, tally);
          result = DupCapture::kNoMemory;
        } else {
          e.closedName = name;
          e.closedNameLength = length;
          name = nullptr;
          Count(DriftCounter::dupname, tally);
          result = DupCapture::kNamed;
        }
      } else {
        Count(DriftCounter::dupnamemiss, tally);
        if (FindLocked(pid, old_fd, &position, tally)) {
          result = DupCapture::kOldTracked;
        } else {
          Count(DriftCounter::dupmiss, tally);
          result = DupCapture::kNeitherTracked;
        }
      }
    }
    std::free(name);
    return result;
  }
}

DriftDupResult DriftDup(uint32_t pid, int32_t old_fd, int32_t new_fd, char* name, DriftTally* tally) {
  LostCheck check;
  for (;;) {
    {
      CacheMutexGuard guard(CacheMutex::kDriftTable);
      int64_t now;
      if (ReadyLocked(&now, &check, tally)) {
        DriftDupResult result = {-1, false, false};
        uint64_t position;
        if (FindLocked(pid, new_fd, &position, tally)) {
          const Entry& e = At(position);
          if (e.closedName != nullptr && e.closedNameLength >= 0) {
            std::memcpy(name, e.closedName, static_cast<size_t>(e.closedNameLength));
            result.name_length = e.closedNameLength;
          }
          DropLocked(position);
          Count(DriftCounter::found, tally);
          result.new_found = true;
        }
        if (FindLocked(pid, old_fd, &position, tally)) {
          TrackLocked(pid, new_fd, now, check, tally);
          Count(DriftCounter::dup, tally);
          result.tracked = true;
        } else {
          Count(DriftCounter::dupmiss, tally);
        }
        return result;
      }
    }
    AskPresence(&check);
  }
}

namespace {

uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

FreshFilterResult DriftFreshFilter(const uint8_t* reply, uint8_t request[kFilterRequestSize], DriftTally* tally) {
  static constexpr char kCommand[16] = "\"setfilefilter\"";
  uint32_t pid_size = ReadU32(reply + 8);
  uint32_t fd_size = ReadU32(reply + 12);
  CacheMutexGuard guard(CacheMutex::kDriftTable);
  if (tally != nullptr) tally->clears = g_clears;
  // Asking for a filter is what makes the driver's one fresh, whether or not the
  // reply can be used.
  Count(DriftCounter::newfilter, tally);
  g_table.counts[static_cast<size_t>(DriftCounter::dirt)] = 0;
  if (pid_size != kFilterMapBytes) return {FreshFilterStatus::kPidSize, pid_size};
  if (fd_size != kFilterMapBytes) return {FreshFilterStatus::kFdSize, fd_size};
  std::memset(request, 0, kFilterRequestSize);
  std::memcpy(request, kCommand, sizeof kCommand);
  std::memcpy(request + 16, reply + 16, 4);
  uint8_t* pids = request + 20;
  uint8_t* fds = request + 20 + kFilterMapBytes;
  for (uint64_t p = g_table.head; p < g_table.tail; ++p) {
    uint32_t pid_bit = At(p).pid % 256;
    // A negative descriptor (never a real one) takes the bit of its low byte, as
    // its unsigned form would: the map has no bit outside 0 to 255.
    uint32_t fd_bit = static_cast<uint32_t>(At(p).fd) % 256;
    pids[pid_bit / 8] |= static_cast<uint8_t>(1u << (pid_bit % 8));
    fds[fd_bit / 8] |= static_cast<uint8_t>(1u << (fd_bit % 8));
  }
  return {FreshFilterStatus::kBuilt, 0};
}

namespace {

void SnapshotLocked(DriftStatsSnapshot* s) {
  std::memcpy(s->counts, g_table.counts, sizeof s->counts);
  s->cooldown = g_table.cooldown;
  s->head = g_table.head;
  s->tail = g_table.tail;
}

}  // namespace

DriftStatsSnapshot DriftStats() {
  DriftStatsSnapshot s;
  CacheMutexGuard guard(CacheMutex::kDriftTable);
  SnapshotLocked(&s);
  return s;
}

void DriftClear(DriftTally* tally, DriftStatsSnapshot* wiped) {
  CacheMutexGuard guard(CacheMutex::kDriftTable);
  if (wiped != nullptr) SnapshotLocked(wiped);
  for (uint64_t p = g_table.head; p < g_table.tail; ++p) {
    Entry& e = At(p);
    std::free(e.closedName);
    e.closedName = nullptr;
    e.closedNameLength = -1;
  }
  std::memset(g_table.counts, 0, sizeof g_table.counts);
  g_table.head = 0;
  g_table.tail = 0;
  g_table.cooldown = 0;
  ++g_clears;
  if (tally != nullptr) tally->clears = g_clears;
}

uint32_t CopyDriftEntries(DriftEntryCopy* out) {
  CacheMutexGuard guard(CacheMutex::kDriftTable);
  uint32_t n = 0;
  for (uint64_t p = g_table.head; p < g_table.tail; ++p, ++n) {
    const Entry& e = At(p);
    DriftEntryCopy& c = out[n];
    c.position = p;
    c.pid = e.pid;
    c.fd = e.fd;
    c.name_length = e.closedName != nullptr ? e.closedNameLength : -1;
    if (c.name_length >= 0) std::memcpy(c.name, e.closedName, static_cast<size_t>(c.name_length));
  }
  return n;
}

namespace {

uint8_t* PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  return p + 4;
}

uint8_t* PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  return p + 8;
}

}  // namespace

size_t DumpDriftTable(uint8_t* out) {
  uint8_t* p = out;
  CacheMutexGuard guard(CacheMutex::kDriftTable);
  for (uint64_t count : g_table.counts) p = PutU64(p, count);
  p = PutU64(p, static_cast<uint64_t>(g_table.cooldown));
  p = PutU64(p, g_table.head);
  p = PutU64(p, g_table.tail);
  for (uint64_t pos = g_table.head; pos < g_table.tail; ++pos) {
    const Entry& e = At(pos);
    int32_t length = e.closedName != nullptr ? e.closedNameLength : -1;
    if (length > static_cast<int32_t>(kDriftNameCapacity)) length = static_cast<int32_t>(kDriftNameCapacity);
    p = PutU32(p, e.pid);
    p = PutU32(p, static_cast<uint32_t>(e.fd));
    p = PutU32(p, static_cast<uint32_t>(length));
    if (length > 0) {
      std::memcpy(p, e.closedName, static_cast<size_t>(length));
      p += length;
    }
  }
  return static_cast<size_t>(p - out);
}

}  // namespace acdc::cache
