// The folder table: 32 sets of 4 remembered folders, each with the spelling it was
// asked by, its real spelling, its names sorted for a case-insensitive search, and
// the stamp it had when it was read: device, inode, modification and change time.
// Adding, removing or renaming a name changes the last two, so a folder whose stamp
// is unchanged still has the names remembered.
//
// Time stamps are only as fine as the file system's clock: two changes within one
// tick leave one stamp. A folder changed within the last second when it was read
// may have changed again unseen, so it is remembered as unverified and read again
// when it is next needed.
//
// Locking: one mutex guards the slots and is held only to look a folder up or
// store one. Folders are read, and stamps taken, without it; a listing is immutable
// once stored and is used only under the mutex, or before it is stored.
#include "platform/posix/folder_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/services.h"

namespace acdc::platform {

namespace {

constexpr size_t kPathCapacity = 4096;
constexpr size_t kSets = 32;
constexpr size_t kWays = 4;
// Larger folders are still searched, but not remembered: the table's memory stays
// bounded by 128 of these.
constexpr uint32_t kMaxNames = 65536;
constexpr size_t kMaxNameBytes = size_t{4} << 20;
constexpr int64_t kSettleMilliseconds = 1000;

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

struct NameRef {
  uint32_t offset;  // into the listing's names
  uint32_t length;
  uint32_t hash;    // of the lower-cased name
};

// One heap block: this header, the refs, the index, the names, the two spellings.
// Names are found through an open-addressed index on their lower-cased form:
// building it costs one pass over the names, where sorting 3,000 of them cost
// more than reading the folder.
struct Listing {
  size_t path_length;     // bytes of `key` and of `real`
  const char* key;        // the folder as it was asked for
  const char* real;       // the folder as it is spelled on disk
  uint32_t count;
  const NameRef* refs;
  const uint32_t* index;  // ref number + 1 by hash, 0: free; mask + 1 slots
  uint32_t mask;
  const char* names;      // not NUL-terminated
};

struct Stamp {
  uint64_t dev;
  uint64_t ino;
  int64_t mtime_ns;
  int64_t ctime_ns;
  bool operator==(const Stamp& o) const {
    return dev == o.dev && ino == o.ino && mtime_ns == o.mtime_ns && ctime_ns == o.ctime_ns;
  }
};

struct Slot {
  Listing* listing;  // owned; nullptr: empty
  uint64_t hash;     // of listing->key
  Stamp stamp;       // taken before the folder was read
  bool verified;     // the folder had not changed for a second when it was read
  uint64_t used;     // tick of the last use; the least recent of a set is replaced
};

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
Slot g_slots[kSets][kWays];  // guarded by g_lock
uint64_t g_tick;             // guarded by g_lock
std::atomic<uint64_t> g_hits{0};
std::atomic<uint64_t> g_misses{0};

inline void Bump(std::atomic<uint64_t>& c) {
  c.store(c.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

uint64_t Hash(const char* s, size_t n) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(s[i])) * 1099511628211ull;
  return h;
}

uint32_t LowerHash(const char* s, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(Lower(s[i]))) * 16777619u;
  return h;
}

bool EqualLower(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// The name of `l` that `q` designates: the one spelled exactly so, else the
// bytewise smallest of those equal ignoring case; -1 when there is none. Names
// equal ignoring case share a hash, so one probe sequence holds them all.
int64_t FindName(const Listing& l, const char* q, size_t m) {
  uint32_t h = LowerHash(q, m);
  int64_t best = -1;
  for (uint32_t i = h & l.mask; l.index[i] != 0; i = (i + 1) & l.mask) {
    uint32_t r = l.index[i] - 1;
    const NameRef& ref = l.refs[r];
    const char* name = l.names + ref.offset;
    if (ref.hash != h || ref.length != m || !EqualLower(name, q, m)) continue;
    if (std::memcmp(name, q, m) == 0) return r;
    if (best < 0 || std::memcmp(name, l.names + l.refs[best].offset, m) < 0) best = r;
  }
  return best;
}

// path[0..length) as a NUL-terminated folder name for the span of a call; the
// empty prefix is the root.
class FolderName {
 public:
  FolderName(char* path, size_t length) : path_(path), at_(length), saved_(path[length]) { path_[at_] = '\0'; }
  ~FolderName() { path_[at_] = saved_; }
  FolderName(const FolderName&) = delete;
  FolderName& operator=(const FolderName&) = delete;
  const char* c_str() const { return at_ == 0 ? "/" : path_; }

 private:
  char* path_;
  size_t at_;
  char saved_;
};

// 0 and the folder's stamp, ENOTDIR when it is no folder, or the errno.
int ReadStamp(const char* folder, Stamp* out) {
  struct statx sx;
  if (statx(AT_FDCWD, folder, 0, STATX_TYPE | STATX_INO | STATX_MTIME | STATX_CTIME, &sx) != 0) return errno;
  if (!S_ISDIR(sx.stx_mode)) return ENOTDIR;
  out->dev = (static_cast<uint64_t>(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
  out->ino = sx.stx_ino;
  out->mtime_ns = sx.stx_mtime.tv_sec * 1'000'000'000 + sx.stx_mtime.tv_nsec;
  out->ctime_ns = sx.stx_ctime.tv_sec * 1'000'000'000 + sx.stx_ctime.tv_nsec;
  return 0;
}

bool Settled(const Stamp& s) {
  int64_t latest_ms = std::max(s.mtime_ns, s.ctime_ns) / 1'000'000;
  return static_cast<int64_t>(NowMilliseconds()) - latest_ms >= kSettleMilliseconds;
}

// Reads the folder `folder` into a new listing with the two spellings of its path
// (`length` bytes each). nullptr and the errno on failure.
Listing* ReadListing(const char* folder, const char* key, const char* real, size_t length, int* err) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) {
    *err = errno;
    return nullptr;
  }
  size_t names_cap = 16384, names_size = 0;
  uint32_t refs_cap = 256, count = 0;
  char* names = static_cast<char*>(std::malloc(names_cap));
  NameRef* refs = static_cast<NameRef*>(std::malloc(refs_cap * sizeof(NameRef)));
  *err = (names == nullptr || refs == nullptr) ? ENOMEM : 0;
  while (*err == 0) {
    // readdir tells the end from a failure only by errno, which a successful
    // realloc may have touched.
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      *err = errno;
      break;
    }
    size_t n = std::strlen(entry->d_name);
    if (names_size + n > names_cap) {
      names_cap = std::max(names_cap * 2, names_size + n);
      char* grown = static_cast<char*>(std::realloc(names, names_cap));
      if (grown == nullptr) *err = ENOMEM;
      else names = grown;
    }
    if (count == refs_cap && *err == 0) {
      refs_cap *= 2;
      NameRef* grown = static_cast<NameRef*>(std::realloc(refs, refs_cap * sizeof(NameRef)));
      if (grown == nullptr) *err = ENOMEM;
      else refs = grown;
    }
    if (*err != 0) break;
    std::memcpy(names + names_size, entry->d_name, n);
    refs[count++] = NameRef{static_cast<uint32_t>(names_size), static_cast<uint32_t>(n), 0};
    names_size += n;
  }
  closedir(dir);
  if (*err == 0 && count > (1u << 28)) *err = E2BIG;  // keeps the index size below 2^32
  Listing* l = nullptr;
  if (*err == 0) {
    uint32_t slots = 8;
    while (slots < 2 * count) slots *= 2;
    size_t bytes = sizeof(Listing) + count * sizeof(NameRef) + slots * sizeof(uint32_t) + names_size + 2 * length;
    char* block = static_cast<char*>(std::malloc(bytes));
    if (block == nullptr) {
      *err = ENOMEM;
    } else {
      l = reinterpret_cast<Listing*>(block);
      NameRef* r = reinterpret_cast<NameRef*>(block + sizeof(Listing));
      uint32_t* index = reinterpret_cast<uint32_t*>(r + count);
      char* n = reinterpret_cast<char*>(index + slots);
      char* k = n + names_size;
      std::memcpy(n, names, names_size);
      std::memset(index, 0, slots * sizeof(uint32_t));
      for (uint32_t i = 0; i < count; ++i) {
        r[i] = refs[i];
        r[i].hash = LowerHash(n + r[i].offset, r[i].length);
        uint32_t j = r[i].hash & (slots - 1);
        while (index[j] != 0) j = (j + 1) & (slots - 1);
        index[j] = i + 1;
      }
      std::memcpy(k, key, length);
      std::memcpy(k + length, real, length);
      *l = Listing{length, k, k + length, count, r, index, slots - 1, n};
    }
  }
  std::free(names);
  std::free(refs);
  return l;
}

bool Remembered(const Listing& l) {
  return l.count <= kMaxNames && static_cast<size_t>(l.key - l.names) <= kMaxNameBytes;
}

// Stores `l` for its key, in place of an older listing of the same key, an empty
// slot, or the least recently used one of the set.
void Store(Listing* l, const Stamp& stamp, bool verified) {
  uint64_t hash = Hash(l->key, l->path_length);
  Listing* replaced;
  pthread_mutex_lock(&g_lock);
  Slot* set = g_slots[hash % kSets];
  Slot* victim = nullptr;
  for (size_t w = 0; w < kWays && victim == nullptr; ++w)
    if (set[w].listing != nullptr && set[w].hash == hash && set[w].listing->path_length == l->path_length &&
        std::memcmp(set[w].listing->key, l->key, l->path_length) == 0)
      victim = &set[w];
  for (size_t w = 0; w < kWays && victim == nullptr; ++w)
    if (set[w].listing == nullptr) victim = &set[w];
  if (victim == nullptr) {
    victim = &set[0];
    for (size_t w = 1; w < kWays; ++w)
      if (set[w].used < victim->used) victim = &set[w];
  }
  replaced = victim->listing;
  *victim = Slot{l, hash, stamp, verified, ++g_tick};
  pthread_mutex_unlock(&g_lock);
  std::free(replaced);
}

struct Hit {
  Stamp stamp;
  bool verified;
  bool name_found;
};

// Looks up the folder path[0..length) as asked. On a hit, writes its real
// spelling over it, and the real spelling of the component path[start..end) when
// the folder has it.
bool LookUp(char* path, size_t length, size_t start, size_t end, Hit* hit) {
  uint64_t hash = Hash(path, length);
  bool found = false;
  pthread_mutex_lock(&g_lock);
  Slot* set = g_slots[hash % kSets];
  for (size_t w = 0; w < kWays && !found; ++w) {
    Slot& s = set[w];
    if (s.listing == nullptr || s.hash != hash || s.listing->path_length != length ||
        std::memcmp(s.listing->key, path, length) != 0)
      continue;
    found = true;
    const Listing& l = *s.listing;
    std::memcpy(path, l.real, length);
    int64_t i = FindName(l, path + start, end - start);
    hit->name_found = i >= 0;
    if (i >= 0) std::memcpy(path + start, l.names + l.refs[i].offset, end - start);
    hit->stamp = s.stamp;
    hit->verified = s.verified;
    s.used = ++g_tick;
  }
  pthread_mutex_unlock(&g_lock);
  return found;
}

// The end of the folder that holds the component starting at `start`.
size_t FolderEnd(const char* path, size_t start, size_t root) {
  size_t end = start;
  while (end > root && path[end - 1] == '/') --end;
  return end;
}

size_t ComponentStart(const char* path, size_t end, size_t root) {
  size_t start = end;
  while (start > root && path[start - 1] != '/') --start;
  return start;
}

CaseLookup Resolve(char* path, size_t n, size_t root, const char* original) {
  size_t end = n;
  while (end > root && path[end - 1] == '/') --end;
  if (end <= root) return CaseLookup::kUnresolved;

  // From the deepest folder up, the first one remembered and unchanged.
  size_t resolved = root;  // path[0..resolved) has its real spelling
  for (size_t ce = end, cs = ComponentStart(path, end, root);;) {
    size_t fl = FolderEnd(path, cs, root);
    Hit hit;
    if (LookUp(path, fl, cs, ce, &hit)) {
      Stamp now{};
      bool valid = hit.verified && ReadStamp(FolderName(path, fl).c_str(), &now) == 0 && now == hit.stamp;
      if (valid) {
        Bump(g_hits);
        if (!hit.name_found) return ce == end ? CaseLookup::kNameMissing : CaseLookup::kFolderMissing;
        resolved = ce;
        break;
      }
      std::memcpy(path, original, ce);
    }
    if (fl <= root) break;
    ce = fl;
    cs = ComponentStart(path, ce, root);
  }

  // Down from there. A folder on the way spelled exactly as asked wins without a
  // read; the folder of the last name is read and remembered, so that the next
  // lookup there is a hit.
  for (size_t pos = resolved;;) {
    size_t cs = pos;
    while (cs < end && path[cs] == '/') ++cs;
    if (cs >= end) return CaseLookup::kResolved;
    size_t ce = cs;
    while (ce < end && path[ce] != '/') ++ce;
    bool last = ce == end;
    Stamp stamp{};
    if (!last) {
      int e = ReadStamp(FolderName(path, ce).c_str(), &stamp);
      if (e == 0) {
        pos = ce;
        continue;
      }
      if (e == ENOTDIR) return CaseLookup::kFolderMissing;
      if (e != ENOENT) return CaseLookup::kUnresolved;
    }
    int e = ReadStamp(FolderName(path, pos).c_str(), &stamp);
    if (e == ENOENT || e == ENOTDIR) return CaseLookup::kFolderMissing;
    if (e != 0) return CaseLookup::kUnresolved;
    Listing* l;
    {
      FolderName folder(path, pos);
      l = ReadListing(folder.c_str(), original, path, pos, &e);
    }
    if (l == nullptr) return e == ENOENT || e == ENOTDIR ? CaseLookup::kFolderMissing : CaseLookup::kUnresolved;
    Bump(g_misses);
    int64_t i = FindName(*l, path + cs, ce - cs);
    if (i >= 0) std::memcpy(path + cs, l->names + l->refs[i].offset, ce - cs);
    if (Remembered(*l))
      Store(l, stamp, Settled(stamp));
    else
      std::free(l);
    if (i < 0) return last ? CaseLookup::kNameMissing : CaseLookup::kFolderMissing;
    pos = ce;
  }
}

}  // namespace

CaseLookup ResolveCase(char* path, size_t root) {
  size_t n = std::strlen(path);
  if (n >= kPathCapacity) return CaseLookup::kUnresolved;
  char original[kPathCapacity];
  std::memcpy(original, path, n + 1);
  CaseLookup result = Resolve(path, n, root, original);
  if (result != CaseLookup::kResolved) std::memcpy(path, original, n + 1);
  return result;
}

FolderTableCounts ReadFolderTableCounts() {
  return {g_hits.load(std::memory_order_relaxed), g_misses.load(std::memory_order_relaxed)};
}

void ClearFolderTable() {
  Listing* listings[kSets * kWays];
  size_t n = 0;
  pthread_mutex_lock(&g_lock);
  for (auto& set : g_slots)
    for (Slot& s : set) {
      if (s.listing != nullptr) listings[n++] = s.listing;
      s = Slot{};
    }
  pthread_mutex_unlock(&g_lock);
  for (size_t i = 0; i < n; ++i) std::free(listings[i]);
}

}  // namespace acdc::platform
