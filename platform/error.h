// Win32 error codes: the one error currency of the platform layer.
//
// Every platform function reports failure as the code GetLastError would give on
// Windows. The win32 backend passes codes through; the posix backend maps errno in
// one table-driven function, so callers and tests read the same codes on both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::platform {

using Win32Error = uint32_t;

// The codes the library produces itself or that the errno mapping yields.
constexpr Win32Error kErrorSuccess = 0;
constexpr Win32Error kErrorInvalidFunction = 1;
constexpr Win32Error kErrorFileNotFound = 2;
constexpr Win32Error kErrorPathNotFound = 3;
constexpr Win32Error kErrorTooManyOpenFiles = 4;
constexpr Win32Error kErrorAccessDenied = 5;
constexpr Win32Error kErrorInvalidHandle = 6;
constexpr Win32Error kErrorNotEnoughMemory = 8;
constexpr Win32Error kErrorInvalidData = 13;
constexpr Win32Error kErrorNotSameDevice = 17;
constexpr Win32Error kErrorWriteProtect = 19;
constexpr Win32Error kErrorGenFailure = 31;
constexpr Win32Error kErrorSharingViolation = 32;
constexpr Win32Error kErrorNotSupported = 50;
constexpr Win32Error kErrorFileExists = 80;
constexpr Win32Error kErrorInvalidParameter = 87;
constexpr Win32Error kErrorBrokenPipe = 109;
constexpr Win32Error kErrorDiskFull = 112;
constexpr Win32Error kErrorInsufficientBuffer = 122;
constexpr Win32Error kErrorDirNotEmpty = 145;
constexpr Win32Error kErrorBusy = 170;
constexpr Win32Error kErrorFilenameExcedRange = 206;
constexpr Win32Error kWaitTimeout = 258;
constexpr Win32Error kErrorOperationAborted = 995;
constexpr Win32Error kErrorIoDevice = 1117;
constexpr Win32Error kErrorConnectionRefused = 1225;
constexpr Win32Error kErrorRetry = 1237;
constexpr Win32Error kErrorInternalError = 1359;
constexpr Win32Error kErrorTimeout = 1460;
constexpr Win32Error kErrorCantResolveFilename = 1921;

// Writes the standard Windows message text of `code` (system message table, neutral
// language) as UTF-8 into `out`, cut to `cap` - 1 bytes and NUL-terminated, and
// returns its length; 0 and an empty text when Windows has none. Windows ends these
// texts with "\r\n"; both backends drop it, because the text is always embedded in
// a longer message ("context: text (code)") where a line break would split it.
size_t ErrorMessage(Win32Error code, char* out, size_t cap);

}  // namespace acdc::platform
