// Drives and DOS devices: the Windows calls themselves.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h names QueryDosDeviceW QueryDosDevice; ours must keep its own name, or the
// definition below would define another function than the one the callers link to.
#undef QueryDosDevice

#include "platform/drives.h"

namespace acdc::platform {

static_assert(kDriveUnknown == DRIVE_UNKNOWN && kDriveNoRootDir == DRIVE_NO_ROOT_DIR &&
              kDriveRemovable == DRIVE_REMOVABLE && kDriveFixed == DRIVE_FIXED && kDriveRemote == DRIVE_REMOTE &&
              kDriveCdrom == DRIVE_CDROM && kDriveRamdisk == DRIVE_RAMDISK);

uint32_t LogicalDriveStrings(char16_t* out, uint32_t cap, Win32Error* error) {
  DWORD n = GetLogicalDriveStringsW(cap, reinterpret_cast<wchar_t*>(out));
  *error = n == 0 ? GetLastError() : kErrorSuccess;
  return n;
}

uint32_t DriveTypeOf(const char16_t* root) { return GetDriveTypeW(reinterpret_cast<const wchar_t*>(root)); }

Win32Error QueryDosDevice(const char16_t* name, char16_t* out, uint32_t cap) {
  if (QueryDosDeviceW(reinterpret_cast<const wchar_t*>(name), reinterpret_cast<wchar_t*>(out), cap) == 0)
    return GetLastError();
  return kErrorSuccess;
}

// Drive types come from GetDriveTypeW here; statfs has no Windows counterpart.
Win32Error OsFileSystemType(const char*, uint64_t*) { return kErrorNotSupported; }

}  // namespace acdc::platform
