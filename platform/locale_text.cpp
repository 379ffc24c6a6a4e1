#include "platform/locale_text.h"

#include <cwchar>

namespace acdc::platform {

Win32Error LocaleToUtf16(const char* in, size_t n, char16_t* out, size_t cap, size_t* written) {
  *written = 0;
  if (cap == 0) return kErrorInsufficientBuffer;
  out[0] = u'\0';
  std::mbstate_t state{};
  size_t units = 0;
  while (n > 0 && *in != '\0') {
    wchar_t wc = 0;
    size_t used = std::mbrtowc(&wc, in, n, &state);
    char32_t c = static_cast<char32_t>(wc);
    if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2) || used == 0) {
      // An invalid or cut-off sequence: one replacement for its first byte, then a
      // fresh start at the next.
      state = std::mbstate_t{};
      c = U'\uFFFD';
      used = 1;
    }
    // Where wchar_t holds code points (4 bytes), those beyond the BMP take a
    // surrogate pair; where it holds UTF-16 units (Windows), each is taken as it is.
    bool pair = sizeof(wchar_t) == 4 && c > 0xFFFF && c <= 0x10FFFF;
    if (sizeof(wchar_t) == 4 && c > 0x10FFFF) c = U'\uFFFD';
    if (units + (pair ? 2 : 1) + 1 > cap) {
      out[0] = u'\0';
      return kErrorInsufficientBuffer;
    }
    if (pair) {
      c -= 0x10000;
      out[units++] = static_cast<char16_t>(0xD800 + (c >> 10));
      out[units++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out[units++] = static_cast<char16_t>(c);
    }
    in += used;
    n -= used;
  }
  out[units] = u'\0';
  *written = units;
  return kErrorSuccess;
}

}  // namespace acdc::platform
