#include "platform/log_file.h"

#include "platform/posix/drive_map.h"

namespace acdc::platform {

std::FILE* OpenAppendStream(const char* path) {
  char host[4096];
  if (MapWin32Path(path, host, sizeof host) != kErrorSuccess) return nullptr;
  // "e": close-on-exec (glibc).
  return std::fopen(host, "a+e");
}

}  // namespace acdc::platform
