// Module ac's drive, device and error functions driven from C++ with the services
// substituted: every row of the file-system table, drives whose folder is missing or
// cannot be asked, device names, and failure texts that are never cut.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "ac/functions.h"
#include "platform/services.h"

extern "C" int luaopen_ac(lua_State* L);

namespace {

namespace platform = acdc::platform;

// The file system each drive's folder reports, or the failure of the query.
struct FakeFolders {
  uint64_t c_type = 0xEF53, z_type = 0xEF53;
  platform::Win32Error c_error = 0, z_error = 0;
};
FakeFolders g_folders;

platform::Win32Error FakeFileSystemType(const char* path, uint64_t* type) {
  bool c = std::strcmp(path, ACDC_DRIVE_C) == 0;
  if (!c && std::strcmp(path, "/") != 0) return platform::kErrorPathNotFound;
  platform::Win32Error e = c ? g_folders.c_error : g_folders.z_error;
  if (e == 0) *type = c ? g_folders.c_type : g_folders.z_type;
  return e;
}

// Code 2's text, and a long one for 3, 300 characters and the line break.
size_t FakeSystemMessage(platform::Win32Error code, char16_t* out, size_t cap) {
  std::string text = code == 2 ? "The system cannot find the file specified.\r\n"
                     : code == 3 ? std::string(300, 'x') + "\r\n"
                     : code == 0x80092009 ? "Cannot find the requested object.\r\n"
                                          : "";
  if (text.empty() || text.size() + 1 > cap) return 0;
  for (size_t i = 0; i <= text.size(); ++i) out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
  return text.size();
}

class AcGlue : public testing::Test {
 protected:
  void SetUp() override {
    g_folders = FakeFolders{};
    platform::g_services.file_system_type = FakeFileSystemType;
    platform::g_services.system_message = FakeSystemMessage;
    L_ = luaL_newstate();
    luaL_openlibs(L_);
    luaL_requiref(L_, "ac", luaopen_ac, 1);
    lua_settop(L_, 0);
  }
  void TearDown() override {
    lua_close(L_);
    platform::g_services = platform::kOsServices;
  }

  // Runs `chunk` and gives its results joined by "|" (nil as "nil").
  std::string Run(const std::string& chunk) {
    lua_settop(L_, 0);
    if (luaL_dostring(L_, chunk.c_str()) != 0) return std::string("error: ") + lua_tostring(L_, -1);
    std::string out;
    for (int i = 1; i <= lua_gettop(L_); ++i) {
      if (i > 1) out += "|";
      out += lua_isnil(L_, i) ? "nil" : lua_tostring(L_, i);
    }
    return out;
  }

  std::string Drives() {
    return Run(R"(local t, keys = ac.GetLogicalDriveStrings(), {}
                  for k, v in pairs(t) do keys[#keys + 1] = k .. "=" .. v end
                  table.sort(keys) return table.concat(keys, " "))");
  }

  lua_State* L_ = nullptr;
};

TEST_F(AcGlue, EachFileSystemTypesItsDrive) {
  struct Row {
    uint64_t type;
    const char* name;
  };
  const Row rows[] = {
      {0xEF53, "fixed"},      {0x58465342, "fixed"},   {0x9123683E, "fixed"},    {0x794C7630, "fixed"},
      {0x6969, "remote"},     {0xFF534D42, "remote"},  {0xFE534D42, "remote"},   {0x01021997, "remote"},
      {0x65735546, "remote"}, {0x9660, "cdrom"},       {0x15013346, "cdrom"},    {0x01021994, "ramdisk"},
      {0x858458F6, "ramdisk"}, {0x73717368, "unknown"}, {0, "unknown"},
  };
  for (const Row& r : rows) {
    g_folders.c_type = r.type;
    g_folders.z_type = r.type;
    std::string name = r.name;
    EXPECT_EQ(Drives(), "c:\\=" + name + " z:\\=" + name) << std::hex << r.type;
  }
}

TEST_F(AcGlue, MissingFolderLeavesTheDriveOutAndAFailedQueryIsUnknown) {
  g_folders.z_type = 0x01021994;
  g_folders.c_error = platform::kErrorPathNotFound;
  EXPECT_EQ(Drives(), "z:\\=ramdisk");
  g_folders.c_error = platform::kErrorFileNotFound;
  EXPECT_EQ(Drives(), "z:\\=ramdisk");
  EXPECT_EQ(Run("return ac.QueryDosDevice('C:')"), "nil|2|The system cannot find the file specified.");
  g_folders.c_error = platform::kErrorAccessDenied;
  EXPECT_EQ(Drives(), "c:\\=unknown z:\\=ramdisk");
  g_folders.z_error = platform::kErrorFileNotFound;
  EXPECT_EQ(Drives(), "c:\\=unknown");
}

// Roots too long for the buffer give nothing but the length needed.
TEST_F(AcGlue, DriveRootsAndTheirTypes) {
  char16_t small[4] = {u'x', u'x', u'x', u'x'};
  platform::Win32Error e = 1;
  EXPECT_EQ(platform::LogicalDriveStrings(small, 4, &e), 9u);  // two roots and the final NUL
  EXPECT_EQ(e, 0u);
  EXPECT_EQ(small[0], u'x');
  char16_t roots[9];
  EXPECT_EQ(platform::LogicalDriveStrings(roots, 9, &e), 8u);
  EXPECT_EQ(std::u16string(roots, 9), std::u16string(u"C:\\\0Z:\\\0\0", 9));
  for (const char16_t* root : {u"C:", u"C:\\x", u"D:\\", u"", u"c:\\\\"})
    EXPECT_EQ(platform::DriveTypeOf(root), platform::kDriveNoRootDir);
  EXPECT_EQ(platform::DriveTypeOf(u"c:\\"), platform::kDriveFixed);
}

TEST_F(AcGlue, DeviceNamesOfTheTwoDrives) {
  EXPECT_EQ(Run("return ac.QueryDosDevice('C:')"), "\\Device\\HarddiskVolume1");
  EXPECT_EQ(Run("return ac.QueryDosDevice('c:')"), "\\Device\\HarddiskVolume1");
  EXPECT_EQ(Run("return ac.QueryDosDevice('z:')"), "\\Device\\HarddiskVolume2");
  for (const char* name : {"D:", "C:\\", "CC:", "C", "PhysicalDrive0", ""})
    EXPECT_EQ(Run(std::string("return ac.QueryDosDevice([[") + name + "]])"),
              "nil|2|The system cannot find the file specified.")
        << name;
  EXPECT_EQ(Run("return ac.QueryDosDevice()"),
            "error: [string \"return ac.QueryDosDevice()\"]:1: "
            "bad argument #1 to 'QueryDosDevice' (string expected, got no value)");
}

// A pushing helper called from Lua, so that the results come back as Lua values.
int l_triple(lua_State* L) {
  return acdc::ac::PushSystemError(L, "CryptQueryObject", static_cast<uint32_t>(lua_tonumber(L, 1)));
}

TEST_F(AcGlue, ErrorTriplesCarryTheWhole32BitCodeAndTheWholeText) {
  lua_register(L_, "triple", l_triple);
  EXPECT_EQ(Run("return triple(0x80092009)"),
            "nil|2148081673|CryptQueryObject() failed: 0x80092009 (Cannot find the requested object.)");
  EXPECT_EQ(Run("return triple(3)"), "nil|3|CryptQueryObject() failed: 0x3 (" + std::string(300, 'x') + ")");
  EXPECT_EQ(Run("return triple(498)"), "nil|498|CryptQueryObject() failed: 0x1F2 ()");
  EXPECT_EQ(Run("return select('#', triple(2))"), "3");
  // The bare text is never cut either.
  lua_register(L_, "text", [](lua_State* L) { return acdc::ac::PushSystemText(L, 3); });
  EXPECT_EQ(Run("return text()"), "nil|3|" + std::string(300, 'x'));
}

}  // namespace
