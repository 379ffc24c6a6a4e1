#include "platform/posix/drive_map.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>

#ifndef ACDC_DRIVE_C
#define ACDC_DRIVE_C "/var/lib/acdc/drive_c"
#endif

namespace acdc::platform {

namespace {

constexpr char kDriveC[] = ACDC_DRIVE_C;
constexpr size_t kDriveCLength = sizeof kDriveC - 1;

inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualsIgnoringCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

// Replaces each component of `out` (from `from` on) that does not exist with an
// entry of its folder that matches it ignoring ASCII case. Stops at the first
// component that has no match: the caller's stat then reports what is missing.
void ResolveCase(char* out, size_t from) {
  size_t i = from;
  while (out[i] != '\0') {
    size_t start = i;
    while (out[i] != '\0' && out[i] != '/') ++i;
    size_t len = i - start;
    char saved = out[i];
    out[i] = '\0';
    struct stat st;
    bool exists = lstat(out, &st) == 0;
    out[i] = saved;
    if (!exists) {
      out[start - 1] = '\0';
      DIR* dir = opendir(start == 1 ? "/" : out);
      out[start - 1] = '/';
      if (dir == nullptr) return;
      bool found = false;
      while (struct dirent* entry = readdir(dir)) {
        if (std::strlen(entry->d_name) == len && EqualsIgnoringCase(entry->d_name, out + start, len)) {
          std::memcpy(out + start, entry->d_name, len);
          found = true;
          break;
        }
      }
      closedir(dir);
      if (!found) return;
    }
    if (out[i] == '/') ++i;
  }
}

}  // namespace

Win32Error MapWin32Path(const char* path, char* out, size_t cap) {
  size_t n = std::strlen(path);
  if (n >= cap) return kErrorFilenameExcedRange;
  if (path[0] == '/') {
    std::memcpy(out, path, n + 1);
    return kErrorSuccess;
  }
  if (n < 2 || path[1] != ':') return kErrorPathNotFound;
  const char* root;
  size_t root_len;
  switch (AsciiLower(path[0])) {
    case 'c': root = kDriveC; root_len = kDriveCLength; break;
    case 'z': root = ""; root_len = 0; break;
    default: return kErrorPathNotFound;
  }
  const char* rest = path + 2;
  size_t rest_len = n - 2;
  if (root_len + rest_len + 2 > cap) return kErrorFilenameExcedRange;
  std::memcpy(out, root, root_len);
  size_t o = root_len;
  if (rest_len == 0 || (rest[0] != '\\' && rest[0] != '/')) out[o++] = '/';
  for (size_t i = 0; i < rest_len; ++i) out[o++] = rest[i] == '\\' ? '/' : rest[i];
  out[o] = '\0';
  struct stat st;
  if (lstat(out, &st) != 0) ResolveCase(out, root_len + 1);
  return kErrorSuccess;
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
