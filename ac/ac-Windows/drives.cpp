// Drives and DOS devices: GetLogicalDriveStrings and QueryDosDevice of module ac.
#include <cstdlib>

#include "ac/functions.h"
#include "platform/drives.h"
#include "platform/services.h"
#include "platform/text.h"

namespace acdc::ac {

namespace {

constexpr uint32_t kDriveStringsUnits = 4096;
constexpr uint32_t kDeviceUnits = 32768;
// UTF-8 room for a device's first target: up to 3 bytes per UTF-16 unit, and the NUL.
constexpr size_t kDeviceUtf8Capacity = 3 * kDeviceUnits + 1;

const char* DriveTypeName(uint32_t type) {
  switch (type) {
    case platform::kDriveRemovable: return "removable";
    case platform::kDriveFixed: return "fixed";
    case platform::kDriveRemote: return "remote";
    case platform::kDriveCdrom: return "cdrom";
    case platform::kDriveRamdisk: return "ramdisk";
    default: return "unknown";
  }
}

size_t Length16(const char16_t* s) {
  size_t n = 0;
  while (s[n] != u'\0') ++n;
  return n;
}

// The root as a key: lower-cased, UTF-8. Drive roots are a few ASCII characters; a
// root that does not fit the key buffer is refused whole (empty key).
size_t RootKey(const char16_t* root, size_t n, char* out, size_t cap) {
  size_t written = 0;
  if (platform::Utf16ToUtf8(root, n, out, cap, &written) != platform::kErrorSuccess) return 0;
  for (size_t i = 0; i < written; ++i) {
    if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] + ('a' - 'A'));
  }
  return written;
}

// The first target of the device `name` (`n` bytes of UTF-8), as UTF-8 in `out`.
platform::Win32Error FirstTarget(const char* name, size_t n, char* out, size_t cap, size_t* len) {
  auto* units = static_cast<char16_t*>(platform::Allocate((n + 1 + kDeviceUnits) * sizeof(char16_t)));
  if (units == nullptr) return platform::kErrorNotEnoughMemory;
  char16_t* name16 = units;
  char16_t* target = units + n + 1;
  size_t name_units = 0;
  platform::Win32Error e = platform::Utf8ToUtf16(name, n, name16, n + 1, &name_units);
  if (e == platform::kErrorSuccess) {
    for (uint32_t i = 0; i < kDeviceUnits; ++i) target[i] = u'\0';
    e = platform::QueryDosDevice(name16, target, kDeviceUnits);
  }
  if (e == platform::kErrorSuccess) e = platform::Utf16ToUtf8(target, Length16(target), out, cap, len);
  std::free(units);
  return e;
}

}  // namespace

int l_GetLogicalDriveStrings(lua_State* L) {
  char16_t roots[kDriveStringsUnits] = {};
  platform::Win32Error error = platform::kErrorSuccess;
  if (platform::LogicalDriveStrings(roots, kDriveStringsUnits, &error) == 0)
    return PushSystemError(L, "GetLogicalDriveStrings", error);
  // Roots that need more room than the buffer leave it empty: an empty table.
  lua_newtable(L);
  for (const char16_t* root = roots; *root != u'\0'; root += Length16(root) + 1) {
    uint32_t type = platform::DriveTypeOf(root);
    if (type == platform::kDriveNoRootDir) continue;
    char key[64];
    size_t key_len = RootKey(root, Length16(root), key, sizeof key);
    if (key_len == 0) continue;
    lua_pushlstring(L, key, key_len);
    lua_pushstring(L, DriveTypeName(type));
    lua_rawset(L, -3);
  }
  return 1;
}

int l_QueryDosDevice(lua_State* L) {
  size_t n = 0;
  const char* name = luaL_checklstring(L, 1, &n);
  // The result's room is Lua's, made before anything else, so a raise frees it.
  luaL_Buffer b;
  char* out = luaL_buffinitsize(L, &b, kDeviceUtf8Capacity);
  size_t len = 0;
  platform::Win32Error e = FirstTarget(name, n, out, kDeviceUtf8Capacity, &len);
  luaL_pushresultsize(&b, e == platform::kErrorSuccess ? len : 0);
  if (e == platform::kErrorSuccess) return 1;
  lua_pop(L, 1);
  return PushSystemText(L, e);
}

}  // namespace acdc::ac
