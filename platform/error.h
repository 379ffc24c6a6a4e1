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
constexpr Win32Error kErrorHandleEof = 38;
constexpr Win32Error kErrorNotSupported = 50;
constexpr Win32Error kErrorFileExists = 80;
constexpr Win32Error kErrorInvalidParameter = 87;
constexpr Win32Error kErrorBrokenPipe = 109;
constexpr Win32Error kErrorDiskFull = 112;
constexpr Win32Error kErrorInsufficientBuffer = 122;
constexpr Win32Error kErrorInvalidName = 123;
constexpr Win32Error kErrorDirNotEmpty = 145;
constexpr Win32Error kErrorBusy = 170;
constexpr Win32Error kErrorFilenameExcedRange = 206;
constexpr Win32Error kErrorMoreData = 234;
constexpr Win32Error kWaitTimeout = 258;
constexpr Win32Error kErrorSystemShutdown = 641;   // the channel's stop status
constexpr Win32Error kErrorOperationAborted = 995;
constexpr Win32Error kErrorIoPending = 997;
constexpr Win32Error kErrorServiceAlreadyRunning = 1056;  // a driver that is already loaded
constexpr Win32Error kErrorIoDevice = 1117;
constexpr Win32Error kErrorConnectionRefused = 1225;
constexpr Win32Error kErrorRetry = 1237;
constexpr Win32Error kErrorInternalError = 1359;
constexpr Win32Error kErrorTimeout = 1460;
constexpr Win32Error kErrorCantResolveFilename = 1921;

// The two rules by which the library takes a system message text.
enum class MessageLimit : uint8_t {
  // Module acdc's triples: the system writes the text into a buffer of 128 UTF-16
  // units, where its trailing "\r\n" and the NUL count too, so at most 125 visible
  // characters; a text that does not fit is empty, never cut.
  k128Units,
  // Module ac's triples: the whole text, however long.
  kWhole,
};

// UTF-8 room for any text the 128-unit rule keeps: 127 units of up to 3 bytes each
// (a surrogate pair takes 2 units for 4 bytes), and the NUL.
constexpr size_t kMessage128Utf8Capacity = 127 * 3 + 1;

// Room, in UTF-16 units with the NUL, for the longest text the whole rule takes.
constexpr size_t kMessageWholeUnits = 4096;

// Writes the standard Windows message text of `code` (system message table, neutral
// language) under `limit` as UTF-8 into `out` and returns its length. Windows ends
// these texts with "\r\n"; it is dropped, because the text is always embedded in a
// longer message ("context: text (code)") where a line break would split it. The text
// is empty (0) when the system has none, when `limit` refuses it, or when it does not
// fit `cap` whole: a cut text would read as another message.
size_t ErrorMessage(Win32Error code, MessageLimit limit, char* out, size_t cap);

// The system's own lookup: the message text of `code` as the system message table
// holds it, trailing "\r\n" included, written into `out` when it fits `cap` UTF-16
// units with its NUL (FormatMessageW with a caller's buffer). Returns the units
// written without the NUL, 0 when there is no text or it does not fit.
size_t OsSystemMessage(Win32Error code, char16_t* out, size_t cap);

}  // namespace acdc::platform
