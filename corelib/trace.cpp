// The stand-in's trace, switched per component, with a capture for tests; its hex
// rendering and its two profiler hooks.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "corelib/vrel_core.h"

namespace vrel_core {

namespace {

struct Record {
  std::string component, source, function, message;
  int line;
  bool error;          // from the log at error level
  uint32_t sys_error;  // its system error code
};

std::mutex g_trace_mutex;
std::vector<std::string> g_enabled;  // components whose trace is on
bool g_capture = false;
std::vector<Record> g_records;

// Copies `text` into `field`; false when it had to be cut.
template <size_t N>
bool CopyField(const std::string& text, char (&field)[N]) {
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
  return n == text.size();
}

std::atomic<uint64_t> g_blockfilter_calls{0};
std::atomic<uint64_t> g_running_calls{0};

}  // namespace

void SetTraceEnabled(const char* component, bool on) {
  try {
    std::lock_guard<std::mutex> lock(g_trace_mutex);
    for (size_t i = 0; i < g_enabled.size(); ++i) {
      if (g_enabled[i] != component) continue;
      if (!on) g_enabled.erase(g_enabled.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
    if (on) g_enabled.emplace_back(component);
  } catch (...) {
  }
}

void SetTraceCapture(bool on) {
  std::lock_guard<std::mutex> lock(g_trace_mutex);
  g_capture = on;
}

void ClearCapturedTrace() {
  std::lock_guard<std::mutex> lock(g_trace_mutex);
  g_records.clear();
}

size_t CapturedTraceCount() {
  std::lock_guard<std::mutex> lock(g_trace_mutex);
  return g_records.size();
}

bool CapturedTrace(size_t i, TraceRecord* out) {
  std::lock_guard<std::mutex> lock(g_trace_mutex);
  if (i >= g_records.size()) return false;
  const Record& r = g_records[i];
  bool whole = CopyField(r.component, out->component) & CopyField(r.source, out->source) &
               CopyField(r.function, out->function) & CopyField(r.message, out->message);
  out->line = r.line;
  out->cut = !whole;
  out->error = r.error;
  out->sys_error = r.sys_error;
  return true;
}

uint64_t ProfilerBlockfilterCalls() { return g_blockfilter_calls.load(std::memory_order_relaxed); }
uint64_t ProfilerRunningCalls() { return g_running_calls.load(std::memory_order_relaxed); }

}  // namespace vrel_core

using vrel_core::g_capture;
using vrel_core::g_enabled;
using vrel_core::g_records;
using vrel_core::g_trace_mutex;

int VrelCore_LogTraceIsEnabled(const char* component) {
  if (component == nullptr) return 0;
  std::lock_guard<std::mutex> lock(g_trace_mutex);
  for (const std::string& c : g_enabled) {
    if (c == component) return 1;
  }
  return 0;
}

void VrelCore_LogTrace(const char* component, const char* source, int line, const char* function,
                       const char* message) {
  auto text = [](const char* s) { return s != nullptr ? s : ""; };
  try {
    std::lock_guard<std::mutex> lock(g_trace_mutex);
    if (!g_capture) {
      std::fprintf(stderr, "%s %s:%d %s: %s\n", text(component), text(source), line, text(function),
                   text(message));
      return;
    }
    if (g_records.size() >= vrel_core::kMaxCapturedRecords) return;
    g_records.push_back({text(component), text(source), text(function), text(message), line, false, 0});
  } catch (...) {
  }
}

// The log at error level: kept in the capture like a trace record, else printed with
// its system error code.
void VrelCore_LogError(const char* source, int line, const char* function, uint32_t sys_error, const char* message) {
  auto text = [](const char* s) { return s != nullptr ? s : ""; };
  try {
    std::lock_guard<std::mutex> lock(g_trace_mutex);
    if (!g_capture) {
      std::fprintf(stderr, "Error: %s:%d %s: %s (wx.sys_error 0x%lX)\n", text(source), line, text(function),
                   text(message), static_cast<unsigned long>(sys_error));
      return;
    }
    if (g_records.size() >= vrel_core::kMaxCapturedRecords) return;
    g_records.push_back({"", text(source), text(function), text(message), line, true, sys_error});
  } catch (...) {
  }
}

size_t VrelCore_toHexString(const void* data, size_t n, int flag, char* out, size_t cap) {
  static const char kLower[] = "0123456789abcdef";
  static const char kUpper[] = "0123456789ABCDEF";
  const char* digits = flag != 0 ? kUpper : kLower;
  size_t step = flag != 0 ? 2 : 3;  // serial numbers put a space between bytes
  size_t len = n == 0 ? 0 : n * step - (step - 2);
  if (cap == 0) return 0;
  if (len + 1 > cap) {
    out[0] = '\0';
    return 0;
  }
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  char* p = out;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && flag == 0) *p++ = ' ';
    *p++ = digits[bytes[i] >> 4];
    *p++ = digits[bytes[i] & 0xF];
  }
  *p = '\0';
  return len;
}

void profiler_blockfilter() { vrel_core::g_blockfilter_calls.fetch_add(1, std::memory_order_relaxed); }
void profiler_running() { vrel_core::g_running_calls.fetch_add(1, std::memory_order_relaxed); }
