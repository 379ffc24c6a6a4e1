#include "platform/posix/drive_map.h"

#include <sys/stat.h>

#include <cstring>

#include "platform/posix/folder_table.h"

#ifndef ACDC_DRIVE_C
#define ACDC_DRIVE_C "/var/lib/acdc/drive_c"
#endif

namespace acdc::platform {

namespace {

constexpr char kDriveC[] = ACDC_DRIVE_C;
constexpr size_t kDriveCLength = sizeof kDriveC - 1;

inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

}  // namespace

const char* DriveCFolder() { return kDriveC; }

Win32Error MapWin32PathExact(const char* path, char* out, size_t cap, size_t* root) {
  size_t n = std::strlen(path);
  if (n >= cap) return kErrorFilenameExcedRange;
  if (path[0] == '/') {
    std::memcpy(out, path, n + 1);
    *root = n;
    return kErrorSuccess;
  }
  if (n < 2 || path[1] != ':') return kErrorPathNotFound;
  const char* drive;
  size_t drive_len;
  switch (AsciiLower(path[0])) {
    case 'c': drive = kDriveC; drive_len = kDriveCLength; break;
    case 'z': drive = ""; drive_len = 0; break;
    default: return kErrorPathNotFound;
  }
  const char* rest = path + 2;
  size_t rest_len = n - 2;
  if (drive_len + rest_len + 2 > cap) return kErrorFilenameExcedRange;
  std::memcpy(out, drive, drive_len);
  size_t o = drive_len;
  if (rest_len == 0 || (rest[0] != '\\' && rest[0] != '/')) out[o++] = '/';
  for (size_t i = 0; i < rest_len; ++i) out[o++] = rest[i] == '\\' ? '/' : rest[i];
  out[o] = '\0';
  *root = drive_len;
  return kErrorSuccess;
}

Win32Error MapWin32Path(const char* path, char* out, size_t cap) {
  size_t root;
  Win32Error err = MapWin32PathExact(path, out, cap, &root);
  if (err != kErrorSuccess) return err;
  struct stat st;
  if (lstat(out, &st) != 0) ResolveCase(out, root);
  return kErrorSuccess;
}

Win32Error MissingFileCode(char* host_path) {
  char* slash = nullptr;
  for (char* p = host_path; *p != '\0'; ++p)
    if (*p == '/') slash = p;
  if (slash == nullptr || slash == host_path) return kErrorFileNotFound;
  *slash = '\0';
  struct stat st;
  bool folder = stat(host_path, &st) == 0 && S_ISDIR(st.st_mode);
  *slash = '/';
  return folder ? kErrorFileNotFound : kErrorPathNotFound;
}

Win32Error ToWin32Path(const char* path, char* out, size_t cap) {
  const char* rest = path;
  char drive = 'Z';
  if (std::strncmp(path, kDriveC, kDriveCLength) == 0 &&
      (path[kDriveCLength] == '/' || path[kDriveCLength] == '\0')) {
    drive = 'C';
    rest = path + kDriveCLength;
  }
  size_t n = std::strlen(rest);
  if (n + 4 > cap) return kErrorInsufficientBuffer;
  out[0] = drive;
  out[1] = ':';
  size_t o = 2;
  if (n == 0) out[o++] = '\\';
  for (size_t i = 0; i < n; ++i) out[o++] = rest[i] == '/' ? '\\' : rest[i];
  out[o] = '\0';
  return kErrorSuccess;
}

}  // namespace acdc::platform
