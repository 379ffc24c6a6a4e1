// The stand-in for the agent's core library: what its Lua module (and a native test)
// uses besides the entry points of platform/core_library.h, which this library
// exports under their C names for acdc to bind.
//
// It is the only library of the project that links wxWidgets (the base library: no
// GUI, nothing of GTK, GLib or X at run time). None of these functions throws.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/core_library.h"

#define VREL_CORE_API __attribute__((visibility("default")))

namespace vrel_core {

// ---- Trace ----

// Switches the trace of one component on or off; all are off at load.
VREL_CORE_API void SetTraceEnabled(const char* component, bool on);

// With capture on, records are kept (the first kMaxCapturedRecords of them) for a
// test to read instead of being written to standard error, one line each.
constexpr size_t kMaxCapturedRecords = 1024;
VREL_CORE_API void SetTraceCapture(bool on);
VREL_CORE_API void ClearCapturedTrace();
VREL_CORE_API size_t CapturedTraceCount();

// One record as captured: all five fields of a trace record, or for a record of the
// log at error level (VrelCore_LogError) its four and the system error code, with
// `error` set and an empty component. A text longer than its field is cut and `cut`
// set, so a test never mistakes a shortened text for the one that was recorded.
struct TraceRecord {
  char component[64];
  char source[64];
  int line;
  char function[128];
  char message[8192];
  bool cut;
  bool error;          // a record of the log at error level
  uint32_t sys_error;  // its "wx.sys_error" value
};
// Copies record `i` into `out`; false past the last one.
VREL_CORE_API bool CapturedTrace(size_t i, TraceRecord* out);

// ---- Zip output stream ----

class ZipStream;
// A new archive at `path` (UTF-8), written as entries are added; null when the file
// cannot be created.
VREL_CORE_API ZipStream* OpenZipStream(const char* path);
// Finishes the archive (its central directory) and closes the file; false when any
// write failed. Frees the stream either way.
VREL_CORE_API bool CloseZipStream(ZipStream* stream);

// ---- Document object ----

class Dom;
// A document whose plug-in files lie under `root`: "<root>/<plugin>/<file>". Null
// when memory runs out.
VREL_CORE_API Dom* NewDom(const char* root);
VREL_CORE_API void DeleteDom(Dom* dom);

// ---- Profiler hooks ----

// How often each hook has been called since load.
VREL_CORE_API uint64_t ProfilerBlockfilterCalls();
VREL_CORE_API uint64_t ProfilerRunningCalls();

}  // namespace vrel_core

// The entry points acdc binds by name (platform/core_library.h).
extern "C" {
VREL_CORE_API int VrelCore_LogTraceIsEnabled(const char* component);
VREL_CORE_API void VrelCore_LogTrace(const char* component, const char* source, int line, const char* function,
                                     const char* message);
VREL_CORE_API void VrelCore_LogError(const char* source, int line, const char* function, uint32_t sys_error,
                                     const char* message);
VREL_CORE_API size_t VrelCore_toHexString(const void* data, size_t n, int flag, char* out, size_t cap);
VREL_CORE_API int VrelCore_CZipOutputStream_AddFromMemory(void* stream, const void* data, size_t n, const char* name,
                                                          const char* second);
VREL_CORE_API size_t VrelCore_CDom_GetPluginFile(void* dom, const char* plugin, const char* file, char* out,
                                                  size_t cap);
VREL_CORE_API void profiler_blockfilter();
VREL_CORE_API void profiler_running();
}
