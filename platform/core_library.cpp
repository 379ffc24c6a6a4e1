// The core-library contract's operations, over the entry points each backend binds,
// and the reading of the userdata header, the same on both systems but for the
// backend's acceptance of a block.
#include <cstring>

#include "platform/core_binding.h"
#include "platform/core_library.h"

namespace acdc::platform::core {

namespace {

bool SameName(const char* a, const char* b) { return a == b || (a != nullptr && std::strcmp(a, b) == 0); }

}  // namespace

bool TraceEnabled(const char* component) {
  const CoreEntries* e = BoundCoreEntries();
  return e != nullptr && e->trace_enabled(component) != 0;
}

void Trace(const char* component, const char* source, int line, const char* function, const char* message) {
  const CoreEntries* e = BoundCoreEntries();
  if (e != nullptr) e->trace(component, source, line, function, message);
}

void LogError(const char* source, int line, const char* function, uint32_t sys_error, const char* message) {
  const CoreEntries* e = BoundCoreEntries();
  if (e != nullptr) e->log_error(source, line, function, sys_error, message);
}

size_t ToHexString(const void* data, size_t n, bool flag, char* out, size_t cap) {
  if (cap == 0) return 0;
  out[0] = '\0';
  const CoreEntries* e = BoundCoreEntries();
  return e != nullptr ? e->to_hex_string(data, n, flag ? 1 : 0, out, cap) : 0;
}

bool ZipAddFromMemory(void* stream, const void* data, size_t n, const char* name, const char* second) {
  const CoreEntries* e = BoundCoreEntries();
  return e != nullptr && stream != nullptr && e->zip_add_from_memory(stream, data, n, name, second) != 0;
}

size_t DomPluginFile(void* dom, const char* plugin, const char* file, char* out, size_t cap) {
  if (cap == 0) return 0;
  out[0] = '\0';
  const CoreEntries* e = BoundCoreEntries();
  return e != nullptr && dom != nullptr ? e->dom_plugin_file(dom, plugin, file, out, cap) : 0;
}

ProfilerHook ProfilerBlockfilter() {
  const CoreEntries* e = BoundCoreEntries();
  return e != nullptr ? e->profiler_blockfilter : nullptr;
}

ProfilerHook ProfilerRunning() {
  const CoreEntries* e = BoundCoreEntries();
  return e != nullptr ? e->profiler_running : nullptr;
}

bool FindObject(const void* block, size_t size, const char* type_name, CoreObject* out) {
  if (block == nullptr || size < kObjectPayloadOffset) return false;
  ObjectHeader h;
  std::memcpy(&h, block, sizeof h);
  if (!HeaderAccepted(h) || h.accessor == nullptr) return false;
  void* b = const_cast<void*>(block);
  void* payload = static_cast<unsigned char*>(b) + kObjectPayloadOffset;
  void* object = h.accessor(b, payload);
  if (!SameName(h.type_name, type_name)) {
    if (object == nullptr || h.bases == nullptr) return false;
    const ObjectBase* base = h.bases;
    while (base->marker != nullptr && !SameName(base->name, type_name)) ++base;
    if (base->marker == nullptr || base->convert == nullptr) return false;
    object = base->convert(object);
  }
  out->object = object;
  out->constant_access = (h.mode & kConstantAccess) == kConstantAccess;
  return true;
}

void* UsableObject(const void* block, size_t size, const char* type_name) {
  CoreObject o{};
  if (!FindObject(block, size, type_name, &o) || o.constant_access) return nullptr;
  return o.object;
}

}  // namespace acdc::platform::core
