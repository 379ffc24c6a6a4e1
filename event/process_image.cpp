#include "event/process_image.h"

#include "event/records.h"
#include "event/text.h"
#include "platform/services.h"
#include "platform/text.h"

namespace acdc::event {

platform::Win32Error LookupProcessImage(uint32_t pid, char* out, platform::ImageQueryStep* step) {
  char16_t wide[kTextCapacity];
  uint32_t len = kTextCapacity;
  platform::Win32Error err = platform::QueryProcessImage(pid, wide, &len, step);
  if (err != platform::kErrorSuccess) return err;
  char utf8[kTextCapacity];
  size_t written = 0;
  err = platform::Utf16ToUtf8(wide, len, utf8, sizeof utf8, &written);
  if (err != platform::kErrorSuccess) {
    *step = platform::ImageQueryStep::kQueryImageName;
    return err;
  }
  CopyTextN(out, kTextCapacity, utf8, written);
  return platform::kErrorSuccess;
}

int GetProcessImagePath(uint32_t pid, char* out) {
  platform::ImageQueryStep step;
  return LookupProcessImage(pid, out, &step) == platform::kErrorSuccess ? 1 : 0;
}

}  // namespace acdc::event
