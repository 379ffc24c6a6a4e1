// How the two backends bind the core library: internal to platform/.
#pragma once

#include "platform/core_library.h"

namespace acdc::platform::core {

struct CoreEntries {
  TraceEnabledEntry trace_enabled;
  TraceEntry trace;
  LogErrorEntry log_error;
  ToHexStringEntry to_hex_string;
  ZipAddFromMemoryEntry zip_add_from_memory;
  DomPluginFileEntry dom_plugin_file;
  ProfilerHook profiler_blockfilter;
  ProfilerHook profiler_running;
};

// The core library's entry points, bound on first use and kept for the life of the
// process; null while it cannot be bound (missing, or missing one of the entries),
// in which case the next call tries again.
const CoreEntries* BoundCoreEntries();

// Whether this backend takes a block whose header reads `header` (its size already
// checked) for a core-library userdata.
bool HeaderAccepted(const ObjectHeader& header);

}  // namespace acdc::platform::core
