#include "platform/file_status.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/posix/drive_map.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/folder_table.h"

namespace acdc::platform {

namespace {

constexpr size_t kHostPathCapacity = 4096;

}  // namespace

// An exact spelling costs one statx. Otherwise the path is matched ignoring case
// through the folder table, and the real spelling costs one more.
Win32Error OsFileStatus(const char* path, FileStatus* out) {
  char host[kHostPathCapacity];
  size_t root;
  Win32Error err = MapWin32PathExact(path, host, sizeof host, &root);
  if (err != kErrorSuccess) return err;
  struct statx sx;
  if (statx(AT_FDCWD, host, 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    int e = errno;
    if (e != ENOENT && e != ENOTDIR) return TranslateErrno(e);
    switch (ResolveCase(host, root)) {
      case CaseLookup::kNameMissing: return kErrorFileNotFound;
      case CaseLookup::kFolderMissing: return kErrorPathNotFound;
      case CaseLookup::kUnresolved: return e == ENOENT ? MissingFileCode(host) : TranslateErrno(e);
      case CaseLookup::kResolved: break;
    }
    if (statx(AT_FDCWD, host, 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
      e = errno;
      return e == ENOENT ? MissingFileCode(host) : TranslateErrno(e);
    }
  }
  out->size = sx.stx_size;
  out->type = S_ISREG(sx.stx_mode) ? FileType::kRegular : S_ISDIR(sx.stx_mode) ? FileType::kDirectory : FileType::kOther;
  // Not every file system keeps a birth time; the change time is the closest stand-in.
  out->creation_time = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_ctime.tv_sec;
  out->modification_time = sx.stx_mtime.tv_sec;
  return kErrorSuccess;
}

}  // namespace acdc::platform
