// File status through GetFileAttributesExW.
//
// Chosen over _wstat64: it reports the exact Win32 code through GetLastError (the CRT
// folds failures into errno, and whether it keeps the system code in _doserrno depends
// on which runtime the module links), and it hands over UTC FILETIMEs with the creation
// time, which is what st_ctime holds on Windows.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>

#include "platform/file_status.h"
#include "platform/text.h"

namespace acdc::platform {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;      // FILETIME counts 100 ns
constexpr int64_t kEpochSeconds = 11644473600;      // 1601-01-01 to 1970-01-01

int64_t UnixSeconds(FILETIME time) {
  uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<int64_t>(ticks / kTicksPerSecond) - kEpochSeconds;
}

uint64_t JoinSize(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

// GetFileAttributesExW describes a symbolic link or junction itself (size 0, the link's
// own times). The runtime's stat, and stat on the posix side, describe the target, so a
// reparse point is opened (attributes access only: no sharing conflict, no data read)
// and described through its handle. A dangling link then fails as "file not found".
Win32Error FollowReparsePoint(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  BY_HANDLE_FILE_INFORMATION info;
  BOOL ok = GetFileInformationByHandle(file, &info);
  Win32Error err = ok ? kErrorSuccess : GetLastError();
  CloseHandle(file);
  if (!ok) return err;
  data->dwFileAttributes = info.dwFileAttributes;
  data->ftCreationTime = info.ftCreationTime;
  data->ftLastWriteTime = info.ftLastWriteTime;
  data->nFileSizeHigh = info.nFileSizeHigh;
  data->nFileSizeLow = info.nFileSizeLow;
  return kErrorSuccess;
}

}  // namespace

Win32Error OsFileStatus(const char* path, FileStatus* out) {
  char16_t wide[kMaxPathUnits];
  size_t units = 0;
  Win32Error err = Utf8ToUtf16(path, std::strlen(path), wide, kMaxPathUnits, &units);
  if (err == kErrorInsufficientBuffer) return kErrorFilenameExcedRange;
  if (err != kErrorSuccess) return err;
  const wchar_t* wpath = reinterpret_cast<const wchar_t*>(wide);

  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wpath, GetFileExInfoStandard, &data)) return GetLastError();
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    err = FollowReparsePoint(wpath, &data);
    if (err != kErrorSuccess) return err;
  }

  out->size = JoinSize(data.nFileSizeHigh, data.nFileSizeLow);
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    out->type = FileType::kDirectory;
  } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
    out->type = FileType::kOther;
  } else {
    out->type = FileType::kRegular;
  }
  out->creation_time = UnixSeconds(data.ftCreationTime);
  out->modification_time = UnixSeconds(data.ftLastWriteTime);
  return kErrorSuccess;
}

}  // namespace acdc::platform
