#include "platform/log_file.h"

#include "platform/text.h"

namespace acdc::platform {

std::FILE* OpenAppendStream(const char* path) {
  char16_t wide[4096];
  size_t units = 0;
  size_t n = 0;
  while (path[n] != '\0') ++n;
  if (Utf8ToUtf16(path, n, wide, sizeof wide / sizeof wide[0], &units) != kErrorSuccess) return nullptr;
  // Plain "a+": the no-inherit flag "N" is not known to every C runtime, and an
  // unknown flag would keep the log from ever opening.
  return _wfopen(reinterpret_cast<const wchar_t*>(wide), L"a+");
}

}  // namespace acdc::platform
