// The drive mapping of the POSIX personality: C: is the folder set at configure
// time, Z: is "/". Internal to the posix backend.
#pragma once

#include <cstddef>

#include "platform/error.h"

namespace acdc::platform {

// The folder that stands for drive C:.
const char* DriveCFolder();

// Maps the Win32 path `path` (UTF-8) to a host path in `out` (capacity `cap`),
// spelled as asked; `*root` receives the length of the drive's folder, after which
// components may differ in case from the names on disk (all of a path that already
// starts with '/', which is used as it is). Fails with kErrorPathNotFound for a
// path on an unmapped drive or a relative path, and with kErrorFilenameExcedRange
// when the result does not fit.
Win32Error MapWin32PathExact(const char* path, char* out, size_t cap, size_t* root);

// The same, with the components matched ignoring ASCII case where the exact name
// is missing (ResolveCase), because the fast path lower-cases paths before it looks
// at the file.
Win32Error MapWin32Path(const char* path, char* out, size_t cap);

// The code of the host path `host_path` that does not exist (ENOENT): Windows says
// "file not found" (2) only when the folder exists, and "path not found" (3) when a
// folder on the way is missing. One stat of the folder; the path is restored.
Win32Error MissingFileCode(char* host_path);

// Maps the host path `path` to its Win32 form in `out`, through the longest drive
// that contains it: C:\... under drive C, Z:\... otherwise. Fails only when the
// result does not fit (kErrorInsufficientBuffer).
Win32Error ToWin32Path(const char* path, char* out, size_t cap);

}  // namespace acdc::platform
