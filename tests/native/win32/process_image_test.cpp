// The Windows process services against real processes: this test program and a child
// it starts.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "event/process_image.h"
#include "event/records.h"
#include "platform/process.h"

namespace acdc::platform {
namespace {

std::string Utf8(const wchar_t* w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  s.pop_back();  // the NUL
  return s;
}

struct Lookup {
  Win32Error error;
  ImageQueryStep step;
  std::string path;
};

Lookup LookUp(uint32_t pid) {
  char out[event::kTextCapacity] = {};
  Lookup l{kErrorSuccess, ImageQueryStep::kOpenProcess, ""};
  l.error = event::LookupProcessImage(pid, out, &l.step);
  l.path = out;
  return l;
}

TEST(ProcessImage, OwnImageIsTheModuleFileName) {
  wchar_t exe[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
  EXPECT_EQ(OsCurrentProcessId(), GetCurrentProcessId());
  Lookup l = LookUp(OsCurrentProcessId());
  EXPECT_EQ(l.error, kErrorSuccess);
  EXPECT_EQ(l.path, Utf8(exe));
  EXPECT_TRUE(OsIsProcessRunning(OsCurrentProcessId()));
}

// Ids that name no process fail at the first step, as OpenProcess fails for them.
TEST(ProcessImage, IdsOfNoProcessFailToOpen) {
  for (uint32_t pid : {0u, 0x7FFFFFF0u, 0xFFFFFFFCu}) {
    SetLastError(0);
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    ASSERT_EQ(h, nullptr) << pid;
    const Win32Error expected = GetLastError();
    EXPECT_NE(expected, kErrorSuccess) << pid;
    Lookup l = LookUp(pid);
    EXPECT_EQ(l.error, expected) << pid;
    EXPECT_EQ(l.step, ImageQueryStep::kOpenProcess) << pid;
    EXPECT_EQ(l.path, "") << pid;
    EXPECT_FALSE(OsIsProcessRunning(pid)) << pid;
  }
  EXPECT_EQ(LookUp(0).error, kErrorInvalidParameter);
}

// A process that opens but whose name does not fit fails at the second step, with the
// error of the query and nothing written.
TEST(ProcessImage, NameThatDoesNotFitFailsTheQueryStep) {
  char16_t out[4] = {u'#', u'#', u'#', u'#'};
  uint32_t len = 4;
  ImageQueryStep step = ImageQueryStep::kOpenProcess;
  EXPECT_EQ(OsQueryProcessImage(GetCurrentProcessId(), out, &len, &step), kErrorInsufficientBuffer);
  EXPECT_EQ(step, ImageQueryStep::kQueryImageName);
  EXPECT_EQ(len, 0u);
}

// Another process: its image while it runs; gone from the list once it has exited.
TEST(ProcessImage, ChildIsFoundWhileItRunsAndNotAfter) {
  wchar_t system[MAX_PATH];
  UINT n = GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_GT(n, 0u);
  std::wstring image = std::wstring(system, n) + L"\\cmd.exe";
  std::wstring command = L"\"" + image + L"\" /c exit 7";
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  ASSERT_TRUE(CreateProcessW(image.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                             nullptr, &si, &pi))
      << GetLastError();
  Lookup l = LookUp(pi.dwProcessId);
  EXPECT_EQ(l.error, kErrorSuccess);
  EXPECT_EQ(l.path, Utf8(image.c_str()));
  EXPECT_TRUE(OsIsProcessRunning(pi.dwProcessId));
  ResumeThread(pi.hThread);
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 7u);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_FALSE(OsIsProcessRunning(pi.dwProcessId));
}

}  // namespace
}  // namespace acdc::platform
