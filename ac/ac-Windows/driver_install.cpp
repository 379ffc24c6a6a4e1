// Driver installation and removal: InstallDriver and UninstallDriver of module ac run
// the INF file's DefaultInstall or DefaultUninstall section and report nothing.
#include <cstdlib>
#include <cstring>

#include "ac/functions.h"
#include "platform/core_library.h"
#include "platform/driver_setup.h"
#include "platform/locale_text.h"
#include "platform/services.h"
#include "platform/text.h"

namespace acdc::ac {

namespace {

namespace core = platform::core;

struct Section {
  const char16_t* prefix;     // of the command line, before the path
  size_t prefix_units;
  const char* trace_prefix;   // of the trace message, before the command line
  const char* function;       // the trace record's function name
};

constexpr char16_t kInstallPrefix[] = u"DefaultInstall 128 ";
constexpr char16_t kUninstallPrefix[] = u"DefaultUninstall 128 ";

constexpr Section kInstall = {kInstallPrefix, sizeof kInstallPrefix / sizeof(char16_t) - 1, "Install Driver ",
                              "l_InstallDriver"};
constexpr Section kUninstall = {kUninstallPrefix, sizeof kUninstallPrefix / sizeof(char16_t) - 1,
                                "Uninstall Driver ", "l_UninstallDriver"};

// "<trace prefix><command line>" as UTF-8, to the core trace, when it is on.
void TraceCommandLine(const Section& s, const char16_t* line, size_t units) {
  if (!core::TraceEnabled(core::kWindowsComponent)) return;
  size_t prefix = std::strlen(s.trace_prefix);
  size_t cap = prefix + 3 * units + 1;
  auto* message = static_cast<char*>(platform::Allocate(cap));
  if (message == nullptr) return;
  std::memcpy(message, s.trace_prefix, prefix);
  size_t written = 0;
  if (platform::Utf16ToUtf8(line, units, message + prefix, cap - prefix, &written) == platform::kErrorSuccess)
    core::Trace(core::kWindowsComponent, core::kWindowsComponent, __LINE__, s.function, message);
  std::free(message);
}

// The command line "<section> 128 <path>", the path (up to its first NUL) read in the
// current locale's encoding. Memory that cannot be had installs nothing, as a failing
// section does.
void RunSection(const Section& s, const char* path) {
  size_t n = std::strlen(path);
  size_t cap = s.prefix_units + 2 * n + 1;
  auto* line = static_cast<char16_t*>(platform::Allocate(cap * sizeof(char16_t)));
  if (line == nullptr) return;
  std::memcpy(line, s.prefix, s.prefix_units * sizeof(char16_t));
  size_t path_units = 0;
  if (platform::LocaleToUtf16(path, n, line + s.prefix_units, cap - s.prefix_units, &path_units) ==
      platform::kErrorSuccess) {
    TraceCommandLine(s, line, s.prefix_units + path_units);
    platform::InstallHinfSection(line);
  }
  std::free(line);
}

}  // namespace

int l_InstallDriver(lua_State* L) {
  RunSection(kInstall, luaL_checkstring(L, 1));
  return 0;
}

int l_UninstallDriver(lua_State* L) {
  RunSection(kUninstall, luaL_checkstring(L, 1));
  return 0;
}

}  // namespace acdc::ac
