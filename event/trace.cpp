#include "event/trace.h"

#include <cstdarg>
#include <cstdio>

namespace acdc::event {

const char* EventTypeName(uint32_t type) {
  switch (type) {
    case 0: return "NULL";
    case 1: return "AC_TYPE_PROC_START";
    case 2: return "AC_TYPE_PROC_TERM";
    case 3: return "AC_TYPE_FILE_EXEC";
    case 4: return "AC_TYPE_CREATE";
    case 5: return "AC_TYPE_RENAME";
    case 6: return "AC_TYPE_UPDATE";
    case 7: return "AC_TYPE_DELETE";
    case 10: return "AC_EVENT_CREATE_PRE";
    case 11: return "AC_EVENT_CREATE_POST";
    case 12: return "AC_EVENT_CLEANUP_PRE";
    case 14: return "AC_EVENT_SETINFO_PRE";
    case 15: return "AC_EVENT_SETINFO_POST";
    case 16: return "AC_EVENT_SETSECURITY_PRE";
    case 17: return "AC_EVENT_SETSECURITY_POST";
    case 18: return "AC_EVENT_EXEC_PRE";
    case 20: return "AC_EVENT_LINK_PRE";
    case 21: return "AC_EVENT_LINK_POST";
    case 35: return "AC_EVENT_RENAME_POST";
    case 45: return "AC_EVENT_UNLINK_POST";
    case 47: return "AC_EVENT_UNLINKAT_POST";
    default: return "";
  }
}

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
