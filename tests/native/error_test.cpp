#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/services.h"
#include "platform/posix/errno_map.h"

namespace acdc::platform {
namespace {

constexpr Win32Error kAllCodes[] = {
    kErrorSuccess,          kErrorInvalidFunction,   kErrorFileNotFound,       kErrorPathNotFound,
    kErrorTooManyOpenFiles, kErrorAccessDenied,      kErrorInvalidHandle,      kErrorNotEnoughMemory,
    kErrorInvalidData,      kErrorNotSameDevice,     kErrorWriteProtect,       kErrorGenFailure,
    kErrorSharingViolation, kErrorNotSupported,      kErrorFileExists,         kErrorInvalidParameter,
    kErrorBrokenPipe,       kErrorDiskFull,          kErrorInsufficientBuffer, kErrorDirNotEmpty,
    kErrorBusy,             kErrorFilenameExcedRange, kWaitTimeout,            kErrorOperationAborted,
    kErrorIoDevice,         kErrorConnectionRefused, kErrorRetry,              kErrorInternalError,
    kErrorTimeout,          kErrorCantResolveFilename, kErrorSystemShutdown,     kErrorIoPending,
    kErrorServiceAlreadyRunning, kErrorHandleEof,     kErrorInvalidName,
};

std::string Message(Win32Error code, MessageLimit limit = MessageLimit::k128Units) {
  char buf[kMessage128Utf8Capacity];
  size_t n = ErrorMessage(code, limit, buf, sizeof buf);
  EXPECT_EQ(n, std::strlen(buf)) << "code " << code;
  return buf;
}

TEST(ErrorMessage, EveryCodeHasOneLineOfPrintableText) {
  for (Win32Error code : kAllCodes) {
    SCOPED_TRACE(code);
    std::string text = Message(code);
    ASSERT_FALSE(text.empty());
    // Windows ends each text with "\r\n"; a leftover would split "context: text (code)".
    EXPECT_EQ(text.back(), '.');
    for (char c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << int(c);
  }
}

TEST(ErrorMessage, TextsMatchWindows) {
  const struct {
    Win32Error code;
    const char* text;
  } cases[] = {
      {2, "The system cannot find the file specified."},
      {5, "Access is denied."},
      {87, "The parameter is incorrect."},
      {109, "The pipe has been ended."},
      {258, "The wait operation timed out."},
      {641, "The system is in the process of shutting down."},
      {997, "Overlapped I/O operation is in progress."},
      {1056, "An instance of the service is already running."},
      {1237, "The operation could not be completed. A retry should be performed."},
  };
  for (const auto& c : cases) EXPECT_EQ(Message(c.code), c.text) << "code " << c.code;
}

TEST(TranslateErrno, MapsToTheCodeWindowsGives) {
  const struct {
    int err;
    Win32Error code;
  } cases[] = {
      {0, kErrorSuccess},
      {ENOENT, kErrorFileNotFound},
      {ENOTDIR, kErrorPathNotFound},
      {EACCES, kErrorAccessDenied},
      {EPERM, kErrorAccessDenied},
      {EISDIR, kErrorAccessDenied},
      {ESRCH, kErrorInvalidParameter},
      {EPIPE, kErrorBrokenPipe},
      {ECONNRESET, kErrorBrokenPipe},
      {ENOTSUP, kErrorNotSupported},
      {ENAMETOOLONG, kErrorFilenameExcedRange},
      {ECANCELED, kErrorOperationAborted},
      {ETIMEDOUT, kErrorTimeout},
      {ELOOP, kErrorCantResolveFilename},
      {EAGAIN, kErrorGenFailure},
      {-1, kErrorGenFailure},
  };
  for (const auto& c : cases) EXPECT_EQ(TranslateErrno(c.err), c.code) << "errno " << c.err;
}

TEST(TranslateErrno, EveryResultHasText) {
  for (int err = 0; err < 4096; ++err) {
    Win32Error code = TranslateErrno(err);
    EXPECT_FALSE(Message(code).empty()) << "errno " << err << " -> " << code;
  }
}

}  // namespace
}  // namespace acdc::platform
