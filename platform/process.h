// Processes, in the terms of the Windows process API.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace acdc::platform {

// Which of the two steps of an image-path query failed; the callers name the step
// in their error texts ("OpenProcess", "GetProcessImageFileName").
enum class ImageQueryStep : uint8_t {
  kOpenProcess,   // OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION) failed
  kQueryImageName // QueryFullProcessImageNameW failed
};

// The id of the calling process (GetCurrentProcessId). Cheap: the event path asks
// for it on every event.
uint32_t OsCurrentProcessId();

// Full image path of process `pid` in Win32 form (QueryFullProcessImageNameW, flags
// 0) into `out`, `*len` code units of capacity in, characters written (no NUL) out.
// On failure returns the Win32 code and sets `*step` to the failing step.
Win32Error OsQueryProcessImage(uint32_t pid, char16_t* out, uint32_t* len, ImageQueryStep* step);

// Whether a process with id `pid` is in a snapshot of the process list (toolhelp).
bool OsIsProcessRunning(uint32_t pid);

// The Win32 path of the file behind handle `fd` of process `pid`, as UTF-8 into
// `out` (capacity `cap`, the NUL included; `out` is empty on failure). Windows
// duplicates the handle into this process (OpenProcess with PROCESS_DUP_HANDLE) and
// asks GetFinalPathNameByHandleW; POSIX reads /proc/<pid>/fd/<fd>. Fails with 87
// when `pid` is no process, 5 when the system refuses, 6 when `fd` is not open in
// it, 1 when the handle is not a file (a pipe, a socket), 122 when the name does
// not fit.
Win32Error OsDescriptorName(uint32_t pid, int32_t fd, char* out, size_t cap);

}  // namespace acdc::platform
