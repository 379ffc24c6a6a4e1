// The core library on POSIX: the stand-in built from corelib/, bound with dlopen on
// first use. The copy already loaded (by its Lua module, or by a program linked with
// it) is taken first, so the trace switch a test turns on is the one this library
// asks; else the copy beside this module is loaded.
#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstring>

#include "platform/core_binding.h"

namespace acdc::platform::core {

namespace {

constexpr char kStandInName[] = "libvrel_core.so";  // also its soname

pthread_mutex_t g_bind_mutex = PTHREAD_MUTEX_INITIALIZER;
CoreEntries g_entries;                             // written once, before publication
std::atomic<const CoreEntries*> g_bound{nullptr};  // &g_entries once every entry is bound

// The stand-in beside the file this function was loaded from (the module, or a test
// program that links the module's sources).
void* OpenBesideModule() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&OpenBesideModule), &info) == 0 || info.dli_fname == nullptr) return nullptr;
  const char* slash = std::strrchr(info.dli_fname, '/');
  size_t dir = slash != nullptr ? static_cast<size_t>(slash - info.dli_fname) + 1 : 0;
  char path[4096];
  if (dir + sizeof kStandInName > sizeof path) return nullptr;
  std::memcpy(path, info.dli_fname, dir);
  std::memcpy(path + dir, kStandInName, sizeof kStandInName);
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

template <typename T>
bool Bind(void* handle, const char* name, T* entry) {
  *entry = reinterpret_cast<T>(dlsym(handle, name));
  return *entry != nullptr;
}

const CoreEntries* BindLocked() {
  void* h = dlopen(kStandInName, RTLD_NOW | RTLD_NOLOAD);
  if (h == nullptr) h = OpenBesideModule();
  if (h == nullptr) return nullptr;
  CoreEntries e{};
  bool all = Bind(h, kTraceEnabledName, &e.trace_enabled) && Bind(h, kTraceName, &e.trace) &&
             Bind(h, kLogErrorName, &e.log_error) &&
             Bind(h, kToHexStringName, &e.to_hex_string) &&
             Bind(h, kZipAddFromMemoryName, &e.zip_add_from_memory) &&
             Bind(h, kDomPluginFileName, &e.dom_plugin_file) &&
             Bind(h, kProfilerBlockfilterName, &e.profiler_blockfilter) &&
             Bind(h, kProfilerRunningName, &e.profiler_running);
  if (!all) {
    dlclose(h);
    return nullptr;
  }
  // The handle is kept open for good: the entries and the hooks' addresses are
  // handed out for the life of the process.
  g_entries = e;
  return &g_entries;
}

}  // namespace

const CoreEntries* BoundCoreEntries() {
  const CoreEntries* e = g_bound.load(std::memory_order_acquire);
  if (e != nullptr) return e;
  pthread_mutex_lock(&g_bind_mutex);
  e = g_bound.load(std::memory_order_relaxed);
  if (e == nullptr) {
    e = BindLocked();
    if (e != nullptr) g_bound.store(e, std::memory_order_release);
  }
  pthread_mutex_unlock(&g_bind_mutex);
  return e;
}

// A block of another module's userdata that is long enough would otherwise be read
// as a header: its "type name" and "accessor" would be arbitrary bytes.
bool HeaderAccepted(const ObjectHeader& header) { return header.mark == kStandInMark; }

}  // namespace acdc::platform::core
