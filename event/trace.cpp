#include "event/trace.h"

#include <cstdarg>
#include <cstdio>

#include "event/event_table.h"

namespace acdc::event {

namespace {

constexpr const char* kNoLogName = "";

#define ACDC_LOG_NAME(number, name, log, handler, counter) log,
constexpr const char* kLogNames[kEventCount] = {ACDC_EVENT_TABLE(ACDC_LOG_NAME)};
#undef ACDC_LOG_NAME

}  // namespace

const char* EventTypeName(uint32_t type) { return type < kEventCount ? kLogNames[type] : kNoLogName; }

void Trace(const AcEvent& ev, const char* format, ...) {
  if (ev.traceFile == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(ev.traceFile, format, args);
  va_end(args);
}

void TraceFlush(const AcEvent& ev) {
  if (ev.traceFile != nullptr) std::fflush(ev.traceFile);
}

}  // namespace acdc::event
