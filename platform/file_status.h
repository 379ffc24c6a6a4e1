// File status, in the shape of the runtime's _stat64.
#pragma once

#include <cstdint>

#include "platform/error.h"

namespace acdc::platform {

enum class FileType : uint8_t { kOther, kRegular, kDirectory };

struct FileStatus {
  uint64_t size;              // bytes
  FileType type;
  int64_t creation_time;      // seconds since 1970 UTC (birth time; change time where unknown)
  int64_t modification_time;  // seconds since 1970 UTC
};

// Status of the file at the Win32 path `path` (UTF-8, NUL-terminated).
Win32Error OsFileStatus(const char* path, FileStatus* out);

}  // namespace acdc::platform
