// Drives and DOS devices of the POSIX personality: C: and Z: of the drive mapping.
#include <linux/magic.h>
#include <sys/statfs.h>

#include <cerrno>

#include "platform/drives.h"
#include "platform/posix/drive_map.h"
#include "platform/posix/errno_map.h"
#include "platform/services.h"

namespace acdc::platform {

namespace {

struct Drive {
  char16_t letter;      // upper case
  const char16_t* device;  // its QueryDosDevice target
  const char* (*folder)();
};

const char* RootFolder() { return "/"; }

constexpr Drive kDrives[] = {
    {u'C', u"\\Device\\HarddiskVolume1", DriveCFolder},
    {u'Z', u"\\Device\\HarddiskVolume2", RootFolder},
};

struct FileSystemKind {
  uint64_t type;  // statfs's f_type
  uint32_t drive_type;
};

// The one table from a file system to the type of a drive on it; anything else is
// kDriveUnknown. ext4's magic also stands for ext2 and ext3.
constexpr FileSystemKind kFileSystems[] = {
    {EXT4_SUPER_MAGIC, kDriveFixed},  {XFS_SUPER_MAGIC, kDriveFixed},    {BTRFS_SUPER_MAGIC, kDriveFixed},
    {OVERLAYFS_SUPER_MAGIC, kDriveFixed},
    {NFS_SUPER_MAGIC, kDriveRemote},  {CIFS_SUPER_MAGIC, kDriveRemote},  {SMB2_SUPER_MAGIC, kDriveRemote},
    {V9FS_MAGIC, kDriveRemote},       {FUSE_SUPER_MAGIC, kDriveRemote},
    {ISOFS_SUPER_MAGIC, kDriveCdrom}, {UDF_SUPER_MAGIC, kDriveCdrom},
    {TMPFS_MAGIC, kDriveRamdisk},     {RAMFS_MAGIC, kDriveRamdisk},
};

inline char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

inline bool IsMissing(Win32Error e) { return e == kErrorFileNotFound || e == kErrorPathNotFound; }

// The drive `name` starts with ("C:" or "c:..."), or null.
const Drive* DriveOf(const char16_t* name) {
  if (name == nullptr || name[0] == u'\0' || name[1] != u':') return nullptr;
  for (const Drive& d : kDrives) {
    if (d.letter == Upper(name[0])) return &d;
  }
  return nullptr;
}

bool Listed(const Drive& d) {
  uint64_t type = 0;
  return !IsMissing(FileSystemType(d.folder(), &type));
}

size_t Length(const char16_t* s) {
  size_t n = 0;
  while (s[n] != u'\0') ++n;
  return n;
}

}  // namespace

Win32Error OsFileSystemType(const char* path, uint64_t* type) {
  struct statfs st;
  if (statfs(path, &st) != 0) return TranslateErrno(errno);
  *type = static_cast<uint64_t>(st.f_type);
  return kErrorSuccess;
}

uint32_t LogicalDriveStrings(char16_t* out, uint32_t cap, Win32Error* error) {
  *error = kErrorSuccess;
  bool listed[sizeof kDrives / sizeof kDrives[0]];
  uint32_t needed = 1;  // the final NUL
  for (size_t i = 0; i < sizeof kDrives / sizeof kDrives[0]; ++i) {
    listed[i] = Listed(kDrives[i]);
    if (listed[i]) needed += 4;  // "X:\" and its NUL
  }
  if (needed > cap) return needed;
  uint32_t n = 0;
  for (size_t i = 0; i < sizeof kDrives / sizeof kDrives[0]; ++i) {
    if (!listed[i]) continue;
    out[n++] = kDrives[i].letter;
    out[n++] = u':';
    out[n++] = u'\\';
    out[n++] = u'\0';
  }
  out[n] = u'\0';
  return n;
}

uint32_t DriveTypeOf(const char16_t* root) {
  const Drive* d = DriveOf(root);
  if (d == nullptr || root[2] != u'\\' || root[3] != u'\0') return kDriveNoRootDir;
  uint64_t type = 0;
  Win32Error e = FileSystemType(d->folder(), &type);
  if (IsMissing(e)) return kDriveNoRootDir;
  if (e != kErrorSuccess) return kDriveUnknown;
  for (const FileSystemKind& k : kFileSystems) {
    if (k.type == type) return k.drive_type;
  }
  return kDriveUnknown;
}

Win32Error QueryDosDevice(const char16_t* name, char16_t* out, uint32_t cap) {
  const Drive* d = DriveOf(name);
  if (d == nullptr || name[2] != u'\0' || !Listed(*d)) return kErrorFileNotFound;
  size_t n = Length(d->device);
  if (n + 2 > cap) return kErrorInsufficientBuffer;
  for (size_t i = 0; i < n; ++i) out[i] = d->device[i];
  out[n] = u'\0';
  out[n + 1] = u'\0';
  return kErrorSuccess;
}

}  // namespace acdc::platform
