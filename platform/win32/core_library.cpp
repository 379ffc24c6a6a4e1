// The core library on Windows: the agent's own DLL, bound with LoadLibraryW and
// GetProcAddress on first use, so that this library loads without it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

#include "platform/core_binding.h"

namespace acdc::platform::core {

namespace {

constexpr wchar_t kCoreLibraryName[] = L"vrel_core.dll";

CoreEntries g_entries;                             // written once, before publication
std::atomic<const CoreEntries*> g_bound{nullptr};  // &g_entries once every entry is bound
SRWLOCK g_bind_lock = SRWLOCK_INIT;

template <typename T>
bool Bind(HMODULE module, const char* name, T* entry) {
  *entry = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *entry != nullptr;
}

const CoreEntries* BindLocked() {
  HMODULE m = LoadLibraryW(kCoreLibraryName);
  if (m == nullptr) return nullptr;
  CoreEntries e{};
  bool all = Bind(m, kTraceEnabledName, &e.trace_enabled) && Bind(m, kTraceName, &e.trace) &&
             Bind(m, kLogErrorName, &e.log_error) &&
             Bind(m, kToHexStringName, &e.to_hex_string) &&
             Bind(m, kZipAddFromMemoryName, &e.zip_add_from_memory) &&
             Bind(m, kDomPluginFileName, &e.dom_plugin_file) &&
             Bind(m, kProfilerBlockfilterName, &e.profiler_blockfilter) &&
             Bind(m, kProfilerRunningName, &e.profiler_running);
  if (!all) {
    FreeLibrary(m);
    return nullptr;
  }
  // The module stays loaded for good: its entries and hook addresses are handed out
  // for the life of the process.
  g_entries = e;
  return &g_entries;
}

}  // namespace

const CoreEntries* BoundCoreEntries() {
  const CoreEntries* e = g_bound.load(std::memory_order_acquire);
  if (e != nullptr) return e;
  AcquireSRWLockExclusive(&g_bind_lock);
  e = g_bound.load(std::memory_order_relaxed);
  if (e == nullptr) {
    e = BindLocked();
    if (e != nullptr) g_bound.store(e, std::memory_order_release);
  }
  ReleaseSRWLockExclusive(&g_bind_lock);
  return e;
}

// The real library's blocks carry no mark of ours: only the size is checked.
bool HeaderAccepted(const ObjectHeader&) { return true; }

}  // namespace acdc::platform::core
