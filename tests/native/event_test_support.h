// What the event-path tests share: counter deltas, a trace captured in memory, a
// substituted process lookup, and the records' field list as data.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include "event/counters.h"
#include "event/records.h"
#include "platform/services.h"

namespace acdc::event::test_support {

// Counters are process-wide and never reset: tests compare before and after.
struct CounterDelta {
  uint64_t before[kCounterCount];
  CounterDelta() { SnapshotCounters(before); }
  uint64_t operator()(Counter c) const { return CounterValue(c) - before[c]; }
  uint64_t Total() const {
    uint64_t sum = 0;
    for (uint32_t c = 0; c < kCounterCount; ++c) sum += CounterValue(static_cast<Counter>(c)) - before[c];
    return sum;
  }
};

// A trace captured in memory.
struct CapturedTrace {
  char* text = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&text, &size);
  std::string Take() {
    std::fclose(file);
    file = nullptr;
    std::string s(text, size);
    std::free(text);
    text = nullptr;
    return s;
  }
  ~CapturedTrace() {
    if (file) std::fclose(file);
    std::free(text);
  }
};

// Process 42 runs C:\Program Files\Tool\App.EXE; any other id does not exist.
inline platform::Win32Error FakeImage(uint32_t pid, char16_t* out, uint32_t* len, platform::ImageQueryStep* step) {
  *step = platform::ImageQueryStep::kOpenProcess;
  if (pid != 42) return platform::kErrorInvalidParameter;
  const char* image = "C:\\Program Files\\Tool\\App.EXE";
  uint32_t n = 0;
  for (; image[n] != '\0'; ++n) out[n] = static_cast<char16_t>(image[n]);
  *len = n;
  return platform::kErrorSuccess;
}

// One field of an EventRecord, found by the records' own field lists.
struct Field {
  const char* name;
  size_t offset;
  size_t size;
  bool text;  // a NUL-terminated text buffer
};

inline const std::vector<Field>& RecordFields() {
#define ACDC_FIELD(block, type, name, extent)                                                         \
  Field{#block "." #name, offsetof(EventRecord, block) + offsetof(decltype(EventRecord::block), name), \
        sizeof(decltype(EventRecord::block)::name), std::is_array_v<type extent>},
#define ACDC_DATA_FIELD(type, name, extent) ACDC_FIELD(data, type, name, extent)
#define ACDC_EVENT_FIELD(type, name, extent) ACDC_FIELD(event, type, name, extent)
#define ACDC_REPLY_FIELD(type, name, extent) ACDC_FIELD(reply, type, name, extent)
  static const std::vector<Field> fields = {
      ACDC_AC_EVENT_DATA_FIELDS(ACDC_DATA_FIELD) ACDC_AC_EVENT_FIELDS(ACDC_EVENT_FIELD)
          ACDC_AC_REPLY_FIELDS(ACDC_REPLY_FIELD)
      Field{"messageId", offsetof(EventRecord, messageId), sizeof(uint64_t), false},
  };
#undef ACDC_FIELD
#undef ACDC_DATA_FIELD
#undef ACDC_EVENT_FIELD
#undef ACDC_REPLY_FIELD
  return fields;
}

inline unsigned char* FieldBytes(EventRecord* r, const Field& f) { return reinterpret_cast<unsigned char*>(r) + f.offset; }

}  // namespace acdc::event::test_support
