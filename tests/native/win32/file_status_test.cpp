// The Windows file status against files this test makes, with times it sets.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/file_status.h"

namespace acdc::platform {
namespace {

std::string Utf8(const std::wstring& w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
  s.pop_back();
  return s;
}

// Seconds since 1970 as a FILETIME (100 ns since 1601), written out independently of
// the library's own conversion.
FILETIME FileTimeOf(int64_t unix_seconds) {
  ULARGE_INTEGER t;
  t.QuadPart = static_cast<ULONGLONG>(unix_seconds + 11644473600LL) * 10000000ULL;
  return FILETIME{t.LowPart, t.HighPart};
}

int64_t UnixSeconds(FILETIME t) {
  ULARGE_INTEGER u;
  u.LowPart = t.dwLowDateTime;
  u.HighPart = t.dwHighDateTime;
  return static_cast<int64_t>(u.QuadPart / 10000000ULL) - 11644473600LL;
}

// A folder of its own under the temporary folder, with one file of known size and
// times whose name needs a surrogate pair and a non-ASCII letter.
class FileStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    dir_ = std::wstring(temp) + L"acdc-status-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr)) << GetLastError();
    file_ = dir_ + L"\\r\u00e9sum\u00e9 \U0001F600.txt";
    HANDLE h = CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    std::string bytes(1234, 'x');
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    FILETIME created = FileTimeOf(kCreated), modified = FileTimeOf(kModified);
    ASSERT_TRUE(SetFileTime(h, &created, nullptr, &modified)) << GetLastError();
    CloseHandle(h);
  }
  void TearDown() override {
    DeleteFileW(file_.c_str());
    RemoveDirectoryW(dir_.c_str());
  }
  static constexpr int64_t kCreated = 1000000000;   // 2001-09-09 01:46:40 UTC
  static constexpr int64_t kModified = 1500000000;  // 2017-07-14 02:40:00 UTC
  std::wstring dir_, file_;
};

// The creation time is the one the file system keeps: Wine cannot set it on Linux
// file systems, so it is compared with what the system reports for the handle.
TEST_F(FileStatusTest, FileHasItsSizeTypeAndTimes) {
  FileStatus st{};
  ASSERT_EQ(OsFileStatus(Utf8(file_).c_str(), &st), kErrorSuccess);
  EXPECT_EQ(st.size, 1234u);
  EXPECT_EQ(st.type, FileType::kRegular);
  EXPECT_EQ(st.modification_time, kModified);
  HANDLE h = CreateFileW(file_.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  CloseHandle(h);
  EXPECT_EQ(st.creation_time, UnixSeconds(info.ftCreationTime));
  EXPECT_GT(st.creation_time, kCreated - 1);
}

TEST_F(FileStatusTest, FolderIsADirectory) {
  FileStatus st{};
  ASSERT_EQ(OsFileStatus(Utf8(dir_).c_str(), &st), kErrorSuccess);
  EXPECT_EQ(st.type, FileType::kDirectory);
}

TEST_F(FileStatusTest, MissingFileAndMissingFolderAreToldApart) {
  FileStatus st{};
  EXPECT_EQ(OsFileStatus(Utf8(dir_ + L"\\missing.txt").c_str(), &st), kErrorFileNotFound);
  EXPECT_EQ(OsFileStatus(Utf8(dir_ + L"\\no such dir\\x.txt").c_str(), &st), kErrorPathNotFound);
}

TEST_F(FileStatusTest, PathLongerThanWindowsTakesIsRefused) {
  FileStatus st{};
  std::string too_long = "C:\\" + std::string(40000, 'a');
  EXPECT_EQ(OsFileStatus(too_long.c_str(), &st), kErrorFilenameExcedRange);
}

}  // namespace
}  // namespace acdc::platform
