#include "platform/driver_setup.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace acdc::platform {

namespace {

using InstallHinfSectionFn = void(WINAPI*)(HWND window, HINSTANCE instance, const wchar_t* command_line, int show);

}  // namespace

// SETUPAPI is bound when a driver is installed or removed, the rare moment it is
// needed, so the library imports nothing of it at load and the build needs no import
// library for it. A system without it installs nothing, as a failing section does.
void InstallHinfSection(const char16_t* command_line) {
  HMODULE setupapi = LoadLibraryW(L"setupapi.dll");
  if (setupapi == nullptr) return;
  auto install = reinterpret_cast<InstallHinfSectionFn>(
      reinterpret_cast<void*>(GetProcAddress(setupapi, "InstallHinfSectionW")));
  if (install != nullptr) install(nullptr, nullptr, reinterpret_cast<const wchar_t*>(command_line), 0);
  FreeLibrary(setupapi);
}

}  // namespace acdc::platform
