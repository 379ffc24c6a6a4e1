// Processes on Linux, shaped like the Windows process API: ids of threads are not
// processes, a zombie has exited, and image paths come back in Win32 form through
// the drive mapping.
#include "platform/process.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix/drive_map.h"
#include "platform/posix/errno_map.h"
#include "platform/text.h"

namespace acdc::platform {

namespace {

// getpid() is a system call on current glibc and the event path asks on every
// event, so the id is kept, and renewed in a forked child.
std::atomic<uint32_t> g_current_pid{0};

void RefreshCurrentPid() { g_current_pid.store(static_cast<uint32_t>(getpid()), std::memory_order_relaxed); }

const bool kPidCached = [] {
  RefreshCurrentPid();
  pthread_atfork(nullptr, nullptr, RefreshCurrentPid);
  return true;
}();

constexpr size_t kHostPathCapacity = 4096;

struct ProcStatus {
  uint32_t tgid;  // the process a thread id belongs to
  char state;     // 'Z' for a zombie
};

// Reads the fields of /proc/<pid>/status that tell a live process from a thread
// or a zombie. Returns 0 or an errno.
int ReadProcStatus(uint32_t pid, ProcStatus* out) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%u/status", pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buf[2048];
  ssize_t n;
  do {
    n = read(fd, buf, sizeof buf - 1);
  } while (n < 0 && errno == EINTR);
  int err = n < 0 ? errno : 0;
  close(fd);
  if (n < 0) return err;
  buf[n] = '\0';
  const char* state = std::strstr(buf, "\nState:");
  const char* tgid = std::strstr(buf, "\nTgid:");
  if (state == nullptr || tgid == nullptr) return ESRCH;
  state += 7;
  while (*state == ' ' || *state == '\t') ++state;
  out->state = *state;
  out->tgid = static_cast<uint32_t>(std::strtoul(tgid + 6, nullptr, 10));
  return 0;
}

// Whether `pid` names a process as Windows would see it: present, not a thread of
// another process. Returns 0 or the Win32 code OpenProcess would give.
Win32Error CheckProcess(uint32_t pid, ProcStatus* st) {
  // Windows process ids are never 0 for OpenProcess; the kernel has no /proc/0.
  if (pid == 0 || pid > 0x7FFFFFFFu) return kErrorInvalidParameter;
  int err = ReadProcStatus(pid, st);
  if (err == ENOENT || err == ESRCH) return kErrorInvalidParameter;
  if (err != 0) return TranslateErrno(err);
  if (st->tgid != pid) return kErrorInvalidParameter;
  return kErrorSuccess;
}

// A link target of /proc in Win32 form. A file deleted while it is open keeps its
// name on Windows (an image cannot be deleted while it runs, and an open file is
// only marked for deletion), so that name is what Windows would report; Linux marks
// it " (deleted)". A name that really ends so, and still exists, keeps its ending.
Win32Error LinkTargetToWin32(char* host, size_t n, char* out, size_t cap) {
  static constexpr char kDeleted[] = " (deleted)";
  constexpr size_t kDeletedLength = sizeof kDeleted - 1;
  struct stat sb;
  if (n > kDeletedLength && std::strcmp(host + n - kDeletedLength, kDeleted) == 0 && lstat(host, &sb) != 0)
    host[n - kDeletedLength] = '\0';
  return ToWin32Path(host, out, cap);
}

}  // namespace

uint32_t OsCurrentProcessId() { return g_current_pid.load(std::memory_order_relaxed); }

Win32Error OsQueryProcessImage(uint32_t pid, char16_t* out, uint32_t* len, ImageQueryStep* step) {
  *step = ImageQueryStep::kOpenProcess;
  ProcStatus st;
  Win32Error err = CheckProcess(pid, &st);
  if (err != kErrorSuccess) return err;

  char link[32];
  std::snprintf(link, sizeof link, "/proc/%u/exe", pid);
  char host[kHostPathCapacity];
  ssize_t n = readlink(link, host, sizeof host);
  if (n < 0) {
    // Reading another user's link is refused: OpenProcess would be refused too.
    if (errno == EACCES || errno == EPERM) return kErrorAccessDenied;
    // A zombie or a kernel thread has no image. Windows fails the name query of an
    // exited process with ERROR_GEN_FAILURE.
    *step = ImageQueryStep::kQueryImageName;
    return errno == ENOENT ? kErrorGenFailure : TranslateErrno(errno);
  }
  *step = ImageQueryStep::kQueryImageName;
  if (static_cast<size_t>(n) >= sizeof host) return kErrorInsufficientBuffer;
  host[n] = '\0';

  char win32[kHostPathCapacity];
  err = LinkTargetToWin32(host, static_cast<size_t>(n), win32, sizeof win32);
  if (err != kErrorSuccess) return err;
  size_t written = 0;
  // QueryFullProcessImageNameW takes the capacity with the NUL and refuses a short
  // buffer with ERROR_INSUFFICIENT_BUFFER; the conversion refuses the same way.
  err = Utf8ToUtf16(win32, std::strlen(win32), out, *len, &written);
  if (err != kErrorSuccess) return err;
  *len = static_cast<uint32_t>(written);
  return kErrorSuccess;
}

bool OsIsProcessRunning(uint32_t pid) {
  // A process snapshot lists processes, not threads, and no exited process.
  ProcStatus st;
  return CheckProcess(pid, &st) == kErrorSuccess && st.state != 'Z' && st.state != 'X';
}

Win32Error OsDescriptorName(uint32_t pid, int32_t fd, char* out, size_t cap) {
  if (cap > 0) out[0] = '\0';
  ProcStatus st;
  Win32Error err = CheckProcess(pid, &st);
  if (err != kErrorSuccess) return err;
  // DuplicateHandle refuses a value that is no handle of the source process.
  if (fd < 0) return kErrorInvalidHandle;
  char link[48];
  std::snprintf(link, sizeof link, "/proc/%u/fd/%d", pid, fd);
  char host[kHostPathCapacity];
  ssize_t n = readlink(link, host, sizeof host);
  if (n < 0) {
    if (errno == EACCES || errno == EPERM) return kErrorAccessDenied;
    return errno == ENOENT ? kErrorInvalidHandle : TranslateErrno(errno);
  }
  if (static_cast<size_t>(n) >= sizeof host) return kErrorInsufficientBuffer;
  host[n] = '\0';
  // Pipes, sockets and anonymous inodes read "pipe:[...]" and the like: no file
  // name to give, as the Windows query has none for such a handle.
  if (host[0] != '/') return kErrorInvalidFunction;
  return LinkTargetToWin32(host, static_cast<size_t>(n), out, cap);
}

}  // namespace acdc::platform
