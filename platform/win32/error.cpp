// Standard message texts of Win32 error codes, from the system message table.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/error.h"
#include "platform/text.h"

namespace acdc::platform {

// The portable constants must be the codes Windows itself uses, or the two backends
// would report different numbers for the same failure.
static_assert(kErrorSuccess == ERROR_SUCCESS);
static_assert(kErrorInvalidFunction == ERROR_INVALID_FUNCTION);
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(kErrorTooManyOpenFiles == ERROR_TOO_MANY_OPEN_FILES);
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(kErrorInvalidData == ERROR_INVALID_DATA);
static_assert(kErrorNotSameDevice == ERROR_NOT_SAME_DEVICE);
static_assert(kErrorWriteProtect == ERROR_WRITE_PROTECT);
static_assert(kErrorGenFailure == ERROR_GEN_FAILURE);
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(kErrorNotSupported == ERROR_NOT_SUPPORTED);
static_assert(kErrorFileExists == ERROR_FILE_EXISTS);
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(kErrorBrokenPipe == ERROR_BROKEN_PIPE);
static_assert(kErrorDiskFull == ERROR_DISK_FULL);
static_assert(kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(kErrorDirNotEmpty == ERROR_DIR_NOT_EMPTY);
static_assert(kErrorBusy == ERROR_BUSY);
static_assert(kErrorFilenameExcedRange == ERROR_FILENAME_EXCED_RANGE);
static_assert(kWaitTimeout == WAIT_TIMEOUT);
static_assert(kErrorOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(kErrorIoDevice == ERROR_IO_DEVICE);
static_assert(kErrorConnectionRefused == ERROR_CONNECTION_REFUSED);
static_assert(kErrorRetry == ERROR_RETRY);
static_assert(kErrorInternalError == ERROR_INTERNAL_ERROR);
static_assert(kErrorTimeout == ERROR_TIMEOUT);
static_assert(kErrorCantResolveFilename == ERROR_CANT_RESOLVE_FILENAME);

namespace {

bool IsTrailingSpace(wchar_t c) { return c == L'\r' || c == L'\n' || c == L' ' || c == L'\t'; }

// How many of the `n` code units fit in `room` bytes of UTF-8 without splitting a
// character. A surrogate pair is one 4-byte character; a lone surrogate becomes U+FFFD
// (3 bytes), as the converter writes it.
size_t Utf8PrefixUnits(const wchar_t* text, size_t n, size_t room) {
  size_t units = 0;
  size_t bytes = 0;
  while (units < n) {
    wchar_t c = text[units];
    size_t step_units = 1;
    size_t step_bytes = 3;
    if (c < 0x80) {
      step_bytes = 1;
    } else if (c < 0x800) {
      step_bytes = 2;
    } else if (c >= 0xD800 && c <= 0xDBFF && units + 1 < n && text[units + 1] >= 0xDC00 && text[units + 1] <= 0xDFFF) {
      step_units = 2;
      step_bytes = 4;
    }
    if (bytes + step_bytes > room) break;
    units += step_units;
    bytes += step_bytes;
  }
  return units;
}

}  // namespace

size_t ErrorMessage(Win32Error code, char* out, size_t cap) {
  if (cap == 0) return 0;
  out[0] = '\0';
  // Let the system size the buffer: a few message texts run past any sensible fixed
  // array, and a text that fails for length would wrongly read as "no text".
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                           reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (n == 0) return 0;
  while (n > 0 && IsTrailingSpace(text[n - 1])) --n;
  size_t units = Utf8PrefixUnits(text, n, cap - 1);
  size_t written = 0;
  Utf16ToUtf8(reinterpret_cast<const char16_t*>(text), units, out, cap, &written);
  LocalFree(text);
  return written;
}

}  // namespace acdc::platform
