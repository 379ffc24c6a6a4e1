// The debug logs: stream files named by Win32 paths, opened for appending.
#pragma once

#include <cstdio>

namespace acdc::platform {

// Opens the file at the Win32 path `path` (UTF-8) in mode "a+", created if missing;
// null when it cannot be opened (the folder is missing, access is denied, ...). On
// POSIX the descriptor is close-on-exec.
std::FILE* OpenAppendStream(const char* path);

}  // namespace acdc::platform
