// UTF-16 <-> UTF-8 through the system converters, so that ill-formed input turns into
// U+FFFD exactly as it does everywhere else in Windows.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <climits>
#include <cstring>

#include "platform/text.h"

namespace acdc::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide text is UTF-16");

namespace {

// The converters count in int; a Win32 string is far shorter than that anyway.
constexpr size_t kMaxConvert = INT_MAX;

int Room(size_t cap) { return static_cast<int>(cap - 1 < kMaxConvert ? cap - 1 : kMaxConvert); }

}  // namespace

Win32Error Utf16ToUtf8(const char16_t* in, size_t n, char* out, size_t cap, size_t* written) {
  *written = 0;
  if (cap == 0) return kErrorInsufficientBuffer;
  out[0] = '\0';
  if (n == 0) return kErrorSuccess;
  if (n > kMaxConvert) return kErrorInvalidParameter;
  // A room of 0 would turn the call into a size query that writes nothing and succeeds.
  if (cap == 1) return kErrorInsufficientBuffer;
  int got = WideCharToMultiByte(CP_UTF8, 0, reinterpret_cast<const wchar_t*>(in), static_cast<int>(n), out,
                                Room(cap), nullptr, nullptr);
  if (got == 0) {
    Win32Error err = GetLastError();
    // The converter may have written part of the text before it gave up; the buffer
    // goes back to zeros, as callers keep text buffers zero past their text.
    std::memset(out, 0, cap);
    return err;
  }
  out[got] = '\0';
  *written = static_cast<size_t>(got);
  return kErrorSuccess;
}

Win32Error Utf8ToUtf16(const char* in, size_t n, char16_t* out, size_t cap, size_t* written) {
  *written = 0;
  if (cap == 0) return kErrorInsufficientBuffer;
  out[0] = u'\0';
  if (n == 0) return kErrorSuccess;
  if (n > kMaxConvert) return kErrorInvalidParameter;
  if (cap == 1) return kErrorInsufficientBuffer;
  int room = Room(cap);
  int got = MultiByteToWideChar(CP_UTF8, 0, in, static_cast<int>(n), reinterpret_cast<wchar_t*>(out), room);
  // Some implementations (Wine) put the first half of a pair that does not fit into the
  // last unit and report success. Only a buffer filled to the last unit can hide that,
  // so only then is the length asked for.
  if (got == room && MultiByteToWideChar(CP_UTF8, 0, in, static_cast<int>(n), nullptr, 0) != got) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    got = 0;
  }
  if (got == 0) {
    Win32Error err = GetLastError();
    std::memset(out, 0, cap * sizeof *out);
    return err;
  }
  out[got] = u'\0';
  *written = static_cast<size_t>(got);
  return kErrorSuccess;
}

}  // namespace acdc::platform
