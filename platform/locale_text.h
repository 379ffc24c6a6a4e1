// Text in the process's current locale encoding (LC_CTYPE; on Windows the C runtime's
// locale), as the multibyte conversion of the C library reads it.
#pragma once

#include <cstddef>

#include "platform/error.h"

namespace acdc::platform {

// Converts the `n` bytes at `in` (up to the first NUL) from the current locale's
// multibyte encoding to UTF-16 in `out` (capacity `cap` units, NUL included), one
// character at a time with mbrtowc. A byte that does not start a valid character,
// and an incomplete character at the end, become U+FFFD and the conversion goes on
// after that byte. At most 2 units per input byte. Text that does not fit whole is
// refused (kErrorInsufficientBuffer, `out` empty); `*written` gets the units without
// the NUL.
Win32Error LocaleToUtf16(const char* in, size_t n, char16_t* out, size_t cap, size_t* written);

}  // namespace acdc::platform
