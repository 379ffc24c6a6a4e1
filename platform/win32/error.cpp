// Standard message texts of Win32 error codes, from the system message table.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/error.h"

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
static_assert(kErrorMoreData == ERROR_MORE_DATA);
static_assert(kWaitTimeout == WAIT_TIMEOUT);
static_assert(kErrorOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(kErrorIoPending == ERROR_IO_PENDING);
static_assert(kErrorServiceAlreadyRunning == ERROR_SERVICE_ALREADY_RUNNING);
static_assert(kErrorIoDevice == ERROR_IO_DEVICE);
static_assert(kErrorConnectionRefused == ERROR_CONNECTION_REFUSED);
static_assert(kErrorRetry == ERROR_RETRY);
static_assert(kErrorInternalError == ERROR_INTERNAL_ERROR);
static_assert(kErrorTimeout == ERROR_TIMEOUT);
static_assert(kErrorCantResolveFilename == ERROR_CANT_RESOLVE_FILENAME);

size_t OsSystemMessage(Win32Error code, char16_t* out, size_t cap) {
  // With the caller's buffer, a text that does not fit whole fails
  // (ERROR_INSUFFICIENT_BUFFER) instead of being cut.
  static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 on Windows");
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                           MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), reinterpret_cast<wchar_t*>(out),
                           static_cast<DWORD>(cap), nullptr);
  return n;
}

}  // namespace acdc::platform
