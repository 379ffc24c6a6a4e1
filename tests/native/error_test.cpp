#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/error.h"
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
    kErrorTimeout,          kErrorCantResolveFilename,
};

std::string Message(Win32Error code) {
  char buf[256];
  size_t n = ErrorMessage(code, buf, sizeof buf);
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
      {1237, "The operation could not be completed. A retry should be performed."},
  };
  for (const auto& c : cases) EXPECT_EQ(Message(c.code), c.text) << "code " << c.code;
}

TEST(ErrorMessage, CodeWithoutTextGivesEmpty) {
  char buf[16];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(ErrorMessage(0xFFFFFFFFu, buf, sizeof buf), 0u);
  EXPECT_EQ(buf[0], '\0');
}

TEST(ErrorMessage, CutsToCapacityWithoutOverrun) {
  const std::string full = "Access is denied.";
  for (size_t cap : {size_t{0}, size_t{1}, size_t{2}, size_t{7}, full.size(), full.size() + 1, full.size() + 8}) {
    SCOPED_TRACE(cap);
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    size_t n = ErrorMessage(kErrorAccessDenied, buf, cap);
    EXPECT_EQ(buf[cap], '#');  // guard byte just past the capacity
    if (cap == 0) {
      EXPECT_EQ(n, 0u);
      EXPECT_EQ(buf[0], '#');
      continue;
    }
    size_t want = std::min(full.size(), cap - 1);
    EXPECT_EQ(n, want);
    EXPECT_EQ(std::string(buf, n), full.substr(0, want));
    EXPECT_EQ(buf[n], '\0');
  }
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
