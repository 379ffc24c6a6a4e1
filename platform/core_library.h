// The agent's core library, as this library reaches it: its trace, switched per
// component; hex rendering; the zip output stream and the document object that
// arrive from Lua in its userdata; and its two profiler hooks.
//
// The core library is outside this library and is bound at run time, on first use:
// on Windows the agent's own DLL (LoadLibraryW, GetProcAddress), on POSIX the stand-in
// built from corelib/ (dlopen: the copy already loaded, else the one beside this
// module). Neither is linked, so the module loads without it and `require "acdc"`
// loads nothing of it. While it cannot be bound, every operation answers as if it had
// nothing to give: the trace is off, hex rendering and the plug-in file lookup give
// no text, adding to a zip stream adds nothing, the profiler hooks are null (which
// module acdc's `profiler` installs as no-ops). The binding is retried on the next use.
//
// Only module ac and the caches' dumps use this header; the event path never does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace acdc::platform::core {

// ---- The core trace ----

// Component and source name of module ac's Windows-bound functions.
constexpr const char kWindowsComponent[] = "ac-Windows";

// True when the core library traces `component`. Ask before building a message.
bool TraceEnabled(const char* component);

// One trace record: component, source name, source line, function name and the
// formatted message. Records nothing when the core library is missing.
void Trace(const char* component, const char* source, int line, const char* function, const char* message);

// ---- The core log ----

// One record of the core library's log at error level (its wxLogError), whatever the
// trace switches say: source name, source line, function name, the system error code
// the record carries (under the key "wx.sys_error") and the message. Records nothing
// when the core library is missing.
void LogError(const char* source, int line, const char* function, uint32_t sys_error, const char* message);

// ---- Hex rendering ----

// The flag picks the rendering:
//   false (serial numbers):  lower-case, the bytes separated by one space: "0a 1b ff"
//   true  (SHA-1 thumbprints): upper-case, no separator:                "0A1BFF"
// Room for either rendering of `n` bytes, with the NUL.
constexpr size_t HexCapacity(size_t n) { return 3 * n + 1; }

// Renders `n` bytes into `out` (capacity `cap`, NUL included) and returns the length.
// 0 with an empty `out` when the text does not fit whole or the core library is
// missing; 0 bytes render as the empty text.
size_t ToHexString(const void* data, size_t n, bool flag, char* out, size_t cap);

// ---- Objects ----

// Type names of the two objects callers take out of Lua arguments.
constexpr const char kDomType[] = "SLB.Dom";                             // document object
constexpr const char kZipOutputStreamType[] = "SLB.wx.ZipOutputStream";  // zip output stream

// Adds the entry `second`/`name` to the open zip output `stream`, deflated, holding
// the `n` bytes at `data`. The stand-in names the entry "<second>/<name>", so "ac"
// and "filterSet" give "ac/filterSet". False when nothing was added.
bool ZipAddFromMemory(void* stream, const void* data, size_t n, const char* name, const char* second);

// The full path of the file `file` of the plug-in `plugin`, as the document object
// `dom` composes it, in `out` (capacity `cap`, NUL included), UTF-8. Returns its
// length; 0 with an empty `out` when there is none, it does not fit whole, or the
// core library is missing.
size_t DomPluginFile(void* dom, const char* plugin, const char* file, char* out, size_t cap);

// ---- Profiler hooks ----

using ProfilerHook = void (*)();
// The addresses of the core library's `profiler_blockfilter` and `profiler_running`,
// stable for the life of the process; null when the core library is missing.
ProfilerHook ProfilerBlockfilter();
ProfilerHook ProfilerRunning();

// ---- The userdata that carry core-library objects ----
//
// A Lua full userdata block made by the core library starts with this header; the
// object's own bytes (the payload) follow at byte 32:
//
//   byte  0  mode       uint32; low two bits both set (3): the reference allows only
//                       constant access
//   byte  4  mark       uint32; the stand-in writes kStandInMark here; the real
//                       library leaves it as padding
//   byte  8  type name  pointer to the NUL-terminated type name
//   byte 16  accessor   function(block, payload address) -> the object of the
//                       block's own type, or null
//   byte 24  bases      pointer to a table of (base type name, non-null marker,
//                       converter from the object to that base) entries, ended by an
//                       entry whose marker is null
//   byte 32  payload
struct ObjectBase {
  const char* name;                 // type name of the base
  const void* marker;               // non-null; null ends the table
  void* (*convert)(void* object);  // the object seen as that base
};

struct ObjectHeader {
  uint32_t mode;                                // kConstantAccess in the low two bits: read-only
  uint32_t mark;                                // kStandInMark on the stand-in's blocks
  const char* type_name;                        // the block's own type
  void* (*accessor)(void* block, void* payload);  // the object of the block's own type
  const ObjectBase* bases;                      // ended by a null marker
};

constexpr uint32_t kConstantAccess = 3;
constexpr uint32_t kStandInMark = 0x6E697473;  // "stin" in memory order
constexpr size_t kObjectPayloadOffset = 32;
static_assert(sizeof(ObjectHeader) <= kObjectPayloadOffset, "the payload follows the header at byte 32");

struct CoreObject {
  void* object;          // null when the block holds no object
  bool constant_access;  // the reference allows only constant access
};

// Takes the object of type `type_name` out of the full userdata block `block` of
// `size` bytes (lua_touserdata and lua_rawlen of an argument whose lua_type is
// LUA_TUSERDATA; anything else, a light userdata included, is no object and must not
// get here):
//   1. a block shorter than the header is no object; on POSIX so is a block without
//      the stand-in's mark (the Windows side checks only the size);
//   2. type name equal to `type_name` (same pointer or same text): the accessor's
//      result;
//   3. otherwise the accessor's result, when not null, converted by the first base
//      entry named `type_name`; no such entry: no object.
// Returns false when there is no object; else fills `out`. Never reads past the
// block's end, and touches no Lua state.
bool FindObject(const void* block, size_t size, const char* type_name, CoreObject* out);

// What every caller accepts: a non-null object without the constant-access mark;
// null otherwise.
void* UsableObject(const void* block, size_t size, const char* type_name);

// ---- The entry points the core library exports, by C name ----
//
// Both backends bind these names (dlsym, GetProcAddress) and nothing else; the
// stand-in defines each with exactly these types.
extern "C" {
using TraceEnabledEntry = int (*)(const char* component);
using TraceEntry = void (*)(const char* component, const char* source, int line, const char* function,
                            const char* message);
using LogErrorEntry = void (*)(const char* source, int line, const char* function, uint32_t sys_error,
                              const char* message);
using ToHexStringEntry = size_t (*)(const void* data, size_t n, int flag, char* out, size_t cap);
using ZipAddFromMemoryEntry = int (*)(void* stream, const void* data, size_t n, const char* name,
                                      const char* second);
using DomPluginFileEntry = size_t (*)(void* dom, const char* plugin, const char* file, char* out, size_t cap);
}

constexpr const char kTraceEnabledName[] = "VrelCore_LogTraceIsEnabled";
constexpr const char kTraceName[] = "VrelCore_LogTrace";
constexpr const char kLogErrorName[] = "VrelCore_LogError";
constexpr const char kToHexStringName[] = "VrelCore_toHexString";
constexpr const char kZipAddFromMemoryName[] = "VrelCore_CZipOutputStream_AddFromMemory";
constexpr const char kDomPluginFileName[] = "VrelCore_CDom_GetPluginFile";
constexpr const char kProfilerBlockfilterName[] = "profiler_blockfilter";
constexpr const char kProfilerRunningName[] = "profiler_running";

}  // namespace acdc::platform::core
