#include <cstddef>

#include "platform/error.h"
#include "platform/services.h"
#include "platform/text.h"

namespace acdc::platform {

size_t ErrorMessage(Win32Error code, MessageLimit limit, char* out, size_t cap) {
  if (cap == 0) return 0;
  out[0] = '\0';
  char16_t text[kMessageWholeUnits];
  size_t units = SystemMessage(code, text, limit == MessageLimit::k128Units ? 128 : kMessageWholeUnits);
  while (units > 0 && (text[units - 1] == u'\r' || text[units - 1] == u'\n' || text[units - 1] == u' '))
    --units;
  size_t written = 0;
  if (Utf16ToUtf8(text, units, out, cap, &written) != kErrorSuccess) return 0;
  return written;
}

}  // namespace acdc::platform
