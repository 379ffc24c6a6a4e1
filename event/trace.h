// The trace log: one line per decision step, written only while a caller asked for
// tracing (traceFile non-null). With tracing off, the event path checks one pointer
// and writes nothing; nothing written here changes a decision.
#pragma once

#include <cstdint>

#include "event/records.h"

namespace acdc::event {

// Where the decoder opens the two debug logs (Win32 paths, mapped by the platform).
constexpr const char* kTraceLogPath = "C:\\ProgramData\\Halvex\\Sentrel\\ac\\eventAbstraction.log";
constexpr const char* kEventsLogPath = "C:\\ProgramData\\Halvex\\Sentrel\\ac\\FileSystemEvents";

// The log name of an event number: "NULL", "AC_EVENT_EXEC_PRE", ...; "" for numbers
// without one.
const char* EventTypeName(uint32_t type);

// Formatted write to the event's trace; does nothing when none is open.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void Trace(const AcEvent& ev, const char* format, ...);

// Flushes the event's trace, if open.
void TraceFlush(const AcEvent& ev);

}  // namespace acdc::event
