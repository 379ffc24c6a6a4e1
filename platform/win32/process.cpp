// Processes through OpenProcess/QueryFullProcessImageNameW and a toolhelp snapshot.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <tlhelp32.h>

#include "platform/process.h"

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

}  // namespace acdc::platform
