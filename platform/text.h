// UTF-16 <-> UTF-8 conversion with the behaviour of WideCharToMultiByte and
// MultiByteToWideChar (code page UTF-8, no flags): ill-formed input (lone
// surrogates, invalid UTF-8 sequences) becomes U+FFFD instead of failing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace acdc::platform {

// The longest path Windows accepts ("\\?\" form) is 32767 code units, plus the NUL.
// The wide path buffers of the Windows side hold that many units.
constexpr size_t kMaxPathUnits = 32768;

// Converts `n` UTF-16 code units into `out` (capacity `cap` bytes, NUL included).
// Text that does not fit whole is refused, never cut: the result is then
// kErrorInsufficientBuffer and `out` holds an empty text. On success `*written` is
// the byte length without the NUL.
Win32Error Utf16ToUtf8(const char16_t* in, size_t n, char* out, size_t cap, size_t* written);

// Converts `n` bytes of UTF-8 into `out` (capacity `cap` code units, NUL included);
// same refusal rule as above.
Win32Error Utf8ToUtf16(const char* in, size_t n, char16_t* out, size_t cap, size_t* written);

}  // namespace acdc::platform
