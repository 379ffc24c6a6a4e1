// Processes through OpenProcess/QueryFullProcessImageNameW and a toolhelp snapshot.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cwchar>

#include "platform/process.h"
#include "platform/text.h"

namespace acdc::platform {

uint32_t OsCurrentProcessId() { return GetCurrentProcessId(); }

Win32Error OsQueryProcessImage(uint32_t pid, char16_t* out, uint32_t* len, ImageQueryStep* step) {
  // Limited information is the one right granted on protected and elevated processes
  // too, so the image of any process can be named.
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) {
    Win32Error err = GetLastError();
    *step = ImageQueryStep::kOpenProcess;
    *len = 0;
    return err;
  }
  DWORD size = *len;
  BOOL ok = QueryFullProcessImageNameW(process, 0, reinterpret_cast<wchar_t*>(out), &size);
  // CloseHandle may overwrite the last error, so it is taken first.
  Win32Error err = ok ? kErrorSuccess : GetLastError();
  CloseHandle(process);
  if (!ok) {
    *step = ImageQueryStep::kQueryImageName;
    *len = 0;
    return err;
  }
  *len = size;
  return kErrorSuccess;
}

// A snapshot that cannot be taken reads as "not running": the interface has no third
// answer, and callers treat a missing process as gone.
bool OsIsProcessRunning(uint32_t pid) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
    found = entry.th32ProcessID == pid;
  }
  CloseHandle(snapshot);
  return found;
}

Win32Error OsDescriptorName(uint32_t pid, int32_t fd, char* out, size_t cap) {
  if (cap > 0) out[0] = '\0';
  HANDLE process = OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid);
  if (process == nullptr) return GetLastError();
  // Handle values are 32-bit numbers even in 64-bit processes; the driver reports
  // them as such.
  HANDLE source = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(static_cast<uint32_t>(fd)));
  HANDLE copy = nullptr;
  BOOL ok = DuplicateHandle(process, source, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
  Win32Error err = ok ? kErrorSuccess : GetLastError();
  CloseHandle(process);
  if (!ok) return err;
  wchar_t wide[kMaxPathUnits];
  DWORD units = GetFinalPathNameByHandleW(copy, wide, static_cast<DWORD>(kMaxPathUnits), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  err = units == 0 ? GetLastError() : kErrorSuccess;
  CloseHandle(copy);
  if (units == 0) return err;
  if (units >= kMaxPathUnits) return kErrorInsufficientBuffer;
  // The answer is in the "\\?\" form; callers compare names in the form Windows
  // shows elsewhere: "C:\..." and "\\server\share\..." for "\\?\UNC\server\share\...".
  const wchar_t* name = wide;
  size_t n = units;
  if (n >= 8 && std::wcsncmp(name, L"\\\\?\\UNC\\", 8) == 0) {
    wide[6] = L'\\';
    name = wide + 6;
    n -= 6;
  } else if (n >= 4 && std::wcsncmp(name, L"\\\\?\\", 4) == 0) {
    name += 4;
    n -= 4;
  }
  size_t written = 0;
  return Utf16ToUtf8(reinterpret_cast<const char16_t*>(name), n, out, cap, &written);
}

}  // namespace acdc::platform
