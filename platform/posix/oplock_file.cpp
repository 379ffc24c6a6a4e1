// The hashing reader's oplock on Linux: a read lease.
//
// A lease break is announced by a signal to the lease's owner, SIGIO unless
// F_SETSIG names another, and SIGIO's default action ends the process. So the steps
// run in this order:
//   1. open O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY: no child started meanwhile
//      inherits the descriptor (and keeps a writer waiting), a FIFO without a writer
//      does not block the open, and a terminal never becomes ours;
//   2. F_SETSIG SIGWINCH, a signal ignored by default, should a signal ever be sent;
//   3. F_SETLEASE F_RDLCK, which also makes this process the descriptor's owner;
//   4. F_SETOWN 0, which clears that owner so that a break signals nobody. Cleared
//      before step 3, the owner would be set again by it.
// After each chunk F_GETLEASE tells whether the lease still reads F_RDLCK; during a
// break it reads F_UNLCK. F_SETLEASE F_UNLCK before the close lets a waiting
// writer's open go on at once.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/oplock_file.h"
#include "platform/posix/drive_map.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/folder_table.h"
#include "platform/services.h"

namespace acdc::platform {

namespace {

constexpr size_t kHostPathCapacity = 4096;
constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr int kLeaseSignal = SIGWINCH;

struct LeasedFile {
  int fd;           // -1 when closed
  uint64_t offset;  // of the next read
};

static_assert(sizeof(LeasedFile) <= sizeof(OplockFile::native), "OplockFile has no room for the state");
static_assert(alignof(LeasedFile) <= alignof(OplockFile), "OplockFile is not aligned for the state");

LeasedFile* State(OplockFile* file) { return reinterpret_cast<LeasedFile*>(file->native); }

void* AsHandle(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }

int OpenForReading(const char* host) {
  int fd;
  do fd = open(host, kOpenFlags);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// Opens the Win32 path's file, ignoring ASCII case in the names where the exact
// spelling is missing, as file status does. A missing name costs one look at its
// folder to tell 2 from 3.
int OpenWin32Path(const char* path, Win32Error* error) {
  char host[kHostPathCapacity];
  size_t root = 0;
  *error = MapWin32PathExact(path, host, sizeof host, &root);
  if (*error != kErrorSuccess) return -1;
  int fd = OpenForReading(host);
  if (fd >= 0) return fd;
  int e = errno;
  if (e != ENOENT && e != ENOTDIR) {
    *error = TranslateErrno(e);
    return -1;
  }
  switch (ResolveCase(host, root)) {
    case CaseLookup::kNameMissing: *error = kErrorFileNotFound; return -1;
    case CaseLookup::kFolderMissing: *error = kErrorPathNotFound; return -1;
    case CaseLookup::kUnresolved: *error = e == ENOENT ? MissingFileCode(host) : TranslateErrno(e); return -1;
    case CaseLookup::kResolved: break;
  }
  fd = OpenForReading(host);
  if (fd < 0) {
    e = errno;
    *error = e == ENOENT ? MissingFileCode(host) : TranslateErrno(e);
  }
  return fd;
}

// Steps 2 to 4 above. Any refusal (another writer, not a regular file, not our file
// without CAP_LEASE, leases switched off) means the file is not ours to read quietly.
bool TakeLease(int fd) {
  if (fcntl(fd, F_SETSIG, kLeaseSignal) != 0) return false;
  if (fcntl(fd, F_SETLEASE, F_RDLCK) != 0) return false;
  if (fcntl(fd, F_SETOWN, 0) == 0) return true;
  // Holding a lease whose break would signal us is worse than not reading.
  fcntl(fd, F_SETLEASE, F_UNLCK);
  return false;
}

}  // namespace

Win32Error OpenOplockFile(const char* path, size_t len, OplockFile* file) {
  LeasedFile* f = new (file->native) LeasedFile{-1, 0};
  // A NUL inside would make the open name a shorter path: another file.
  if (std::memchr(path, '\0', len) != nullptr) return kErrorInvalidName;
  Win32Error error = kErrorSuccess;
  int fd = OpenWin32Path(path, &error);
  if (fd < 0) return error;
  if (!TakeLease(fd)) {
    close(fd);
    return kErrorSharingViolation;
  }
  f->fd = fd;
  return kErrorSuccess;
}

OplockRead ReadOplockFile(OplockFile* file, void* buffer, uint32_t size, uint32_t* transferred, Win32Error* error) {
  LeasedFile* f = State(file);
  uint32_t got = 0;
  Win32Error e = ReadChunk(AsHandle(f->fd), buffer, size, f->offset, nullptr, &got);
  // As for a read that pended on Windows, the lock is looked at before the result.
  if (fcntl(f->fd, F_GETLEASE) != F_RDLCK) return OplockRead::kBroken;
  *error = e;
  if (e == kErrorHandleEof) return OplockRead::kEnd;
  if (e != kErrorSuccess) return OplockRead::kFailed;
  if (got == 0) return OplockRead::kEnd;
  f->offset += got;
  *transferred = got;
  return OplockRead::kData;
}

void CloseOplockFile(OplockFile* file) {
  LeasedFile* f = State(file);
  if (f->fd < 0) return;
  fcntl(f->fd, F_SETLEASE, F_UNLCK);
  close(f->fd);
  f->fd = -1;
}

Win32Error OsReadFile(void* file, void* buffer, uint32_t size, uint64_t offset, void* overlapped,
                      uint32_t* transferred) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(file));
  ssize_t n;
  do n = pread(fd, buffer, size, static_cast<off_t>(offset));
  while (n < 0 && errno == EINTR);
  if (n < 0) return TranslateErrno(errno);
  *transferred = static_cast<uint32_t>(n);
  return kErrorSuccess;
}

}  // namespace acdc::platform
