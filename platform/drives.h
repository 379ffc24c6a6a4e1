// Drives and DOS device names, in the terms of the Windows calls they stand for
// (GetLogicalDriveStringsW, GetDriveTypeW, QueryDosDeviceW).
//
// On POSIX the drives are those of the drive mapping: C: (the configured folder) and
// Z: ("/"), each listed only while its folder exists. A drive's type comes from the
// file system of its folder (statfs's f_type, through the file_system_type service
// and one table); its device is \Device\HarddiskVolume1 for C: and
// \Device\HarddiskVolume2 for Z:.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/error.h"

namespace acdc::platform {

// GetDriveTypeW's codes.
enum DriveType : uint32_t {
  kDriveUnknown = 0,
  kDriveNoRootDir = 1,
  kDriveRemovable = 2,
  kDriveFixed = 3,
  kDriveRemote = 4,
  kDriveCdrom = 5,
  kDriveRamdisk = 6,
};

// As GetLogicalDriveStringsW: writes the roots ("C:\", NUL, "Z:\", NUL, ...) and a
// final NUL into `out` (capacity `cap` UTF-16 units) and returns the units written
// without the final NUL. When they do not fit, writes nothing and returns the units
// needed with it. 0 when the call fails, with the code in `*error`.
uint32_t LogicalDriveStrings(char16_t* out, uint32_t cap, Win32Error* error);

// As GetDriveTypeW for the root `root` ("C:\"): kDriveNoRootDir for anything that is
// not the root of a listed drive.
uint32_t DriveTypeOf(const char16_t* root);

// As QueryDosDeviceW: writes the targets of the device `name` ("C:") as a list of
// NUL-terminated texts ended by a second NUL into `out` (capacity `cap` UTF-16
// units). Returns kErrorFileNotFound for a name that is no device,
// kErrorInsufficientBuffer when the targets do not fit.
Win32Error QueryDosDevice(const char16_t* name, char16_t* out, uint32_t cap);

// The file-system type (statfs's f_type) of the folder `path`, the services entry
// behind DriveTypeOf on POSIX. kErrorFileNotFound or kErrorPathNotFound when the
// folder is missing; Windows has no such query and answers kErrorNotSupported.
Win32Error OsFileSystemType(const char* path, uint64_t* type);

}  // namespace acdc::platform
