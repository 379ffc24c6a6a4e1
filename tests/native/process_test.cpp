// The posix process, path and file-status services against real processes and
// files: the Windows shapes callers rely on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "event/process_image.h"
#include "event/records.h"
#include "platform/posix/drive_map.h"
#include "platform/services.h"

namespace acdc::platform {
namespace {

std::string DriveC() { return ACDC_DRIVE_C; }

// Image path of `pid` as the core sees it, or the error and step.
struct Lookup {
  Win32Error error;
  ImageQueryStep step;
  std::string path;
};
Lookup LookUp(uint32_t pid) {
  char out[event::kTextCapacity] = {};
  Lookup l{};
  l.error = event::LookupProcessImage(pid, out, &l.step);
  l.path = out;
  return l;
}

TEST(ProcessImage, OwnProcessComesBackInWin32Form) {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  exe[n] = '\0';
  std::string expected = "Z:";
  for (const char* p = exe; *p; ++p) expected += *p == '/' ? '\\' : *p;
  Lookup l = LookUp(CurrentProcessId());
  EXPECT_EQ(l.error, kErrorSuccess);
  EXPECT_EQ(l.path, expected);
  EXPECT_EQ(CurrentProcessId(), static_cast<uint32_t>(getpid()));
}

TEST(ProcessImage, IdsThatAreNotProcessesFailToOpenWith87) {
  pthread_t thread;
  static pid_t tid;
  static int ready;
  ready = 0;
  ASSERT_EQ(pthread_create(&thread, nullptr, [](void*) -> void* {
              tid = static_cast<pid_t>(syscall(SYS_gettid));
              __atomic_store_n(&ready, 1, __ATOMIC_SEQ_CST);
              while (__atomic_load_n(&ready, __ATOMIC_SEQ_CST) != 2) usleep(1000);
              return nullptr;
            }, nullptr), 0);
  while (__atomic_load_n(&ready, __ATOMIC_SEQ_CST) != 1) usleep(1000);
  for (uint32_t pid : {0u, static_cast<uint32_t>(tid), 0x7FFFFFF0u, 0xFFFFFFFFu}) {
    Lookup l = LookUp(pid);
    EXPECT_EQ(l.error, kErrorInvalidParameter) << pid;
    EXPECT_EQ(l.step, ImageQueryStep::kOpenProcess) << pid;
    EXPECT_FALSE(IsProcessRunning(pid)) << pid;
  }
  __atomic_store_n(&ready, 2, __ATOMIC_SEQ_CST);
  pthread_join(thread, nullptr);
}

TEST(ProcessImage, ZombieHasNoImageAndIsNotRunning) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  // Wait until it has exited without reaping it.
  siginfo_t info;
  ASSERT_EQ(waitid(P_PID, child, &info, WEXITED | WNOWAIT), 0);
  Lookup l = LookUp(static_cast<uint32_t>(child));
  EXPECT_EQ(l.error, kErrorGenFailure);
  EXPECT_EQ(l.step, ImageQueryStep::kQueryImageName);
  EXPECT_FALSE(IsProcessRunning(static_cast<uint32_t>(child)));
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(IsProcessRunning(static_cast<uint32_t>(child)));
  EXPECT_EQ(LookUp(static_cast<uint32_t>(child)).error, kErrorInvalidParameter);
}

// A copy of a small program placed under drive C, started, then deleted while it
// runs: it keeps the name it started from. File status finds it by lower-cased path
// and tells a missing file from a missing folder.
TEST(ImageUnderDriveC, ShowsAsCEvenDeletedAndFileStatusFindsItInAnyCase) {
  const std::string dir = DriveC() + "/Program Files/Test App", image = dir + "/Sleeper.EXE";
  mkdir(DriveC().c_str(), 0755);
  mkdir((DriveC() + "/Program Files").c_str(), 0755);
  mkdir(dir.c_str(), 0755);
  {
    std::ifstream src("/bin/sleep", std::ios::binary);
    std::ofstream(image, std::ios::binary | std::ios::trunc) << src.rdbuf();
  }
  chmod(image.c_str(), 0755);
  pid_t child = fork();
  if (child == 0) {
    execl(image.c_str(), "Sleeper.EXE", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Until exec has happened the image is this test binary.
  for (int i = 0; i < 500 && LookUp(static_cast<uint32_t>(child)).path.find("Sleeper") == std::string::npos; ++i)
    usleep(2000);
  Lookup l = LookUp(static_cast<uint32_t>(child));
  EXPECT_EQ(l.error, kErrorSuccess);
  EXPECT_EQ(l.path, "C:\\Program Files\\Test App\\Sleeper.EXE");
  EXPECT_TRUE(IsProcessRunning(static_cast<uint32_t>(child)));

  FileStatus st{};
  EXPECT_EQ(GetFileStatus("c:\\program files\\test app\\sleeper.exe", &st), kErrorSuccess);
  EXPECT_EQ(st.type, FileType::kRegular);
  EXPECT_GT(st.size, 0u);
  EXPECT_GT(st.modification_time, 1'500'000'000);
  EXPECT_GT(st.creation_time, 1'500'000'000);
  EXPECT_EQ(GetFileStatus("C:\\PROGRAM FILES", &st), kErrorSuccess);
  EXPECT_EQ(st.type, FileType::kDirectory);
  EXPECT_EQ(GetFileStatus("c:\\program files\\test app\\missing.exe", &st), kErrorFileNotFound);
  EXPECT_EQ(GetFileStatus("c:\\program files\\no such dir\\x.exe", &st), kErrorPathNotFound);
  EXPECT_EQ(GetFileStatus("Q:\\x", &st), kErrorPathNotFound);
  EXPECT_EQ(GetFileStatus("relative\\x", &st), kErrorPathNotFound);
  std::string too_long = "C:\\" + std::string(5000, 'a');
  EXPECT_EQ(GetFileStatus(too_long.c_str(), &st), kErrorFilenameExcedRange);

  EXPECT_EQ(unlink(image.c_str()), 0);
  EXPECT_EQ(LookUp(static_cast<uint32_t>(child)).path, "C:\\Program Files\\Test App\\Sleeper.EXE");
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST(DriveMap, LongestDriveWinsAndSlashPathsStayAsTheyAre) {
  char out[4096];
  ASSERT_EQ(ToWin32Path((DriveC() + "/Windows/cmd.exe").c_str(), out, sizeof out), kErrorSuccess);
  EXPECT_STREQ(out, "C:\\Windows\\cmd.exe");
  ASSERT_EQ(ToWin32Path(DriveC().c_str(), out, sizeof out), kErrorSuccess);
  EXPECT_STREQ(out, "C:\\");
  ASSERT_EQ(ToWin32Path((DriveC() + "x/y").c_str(), out, sizeof out), kErrorSuccess);  // a sibling, not drive C
  EXPECT_EQ(out[0], 'Z');
  ASSERT_EQ(ToWin32Path("/usr/bin/env", out, sizeof out), kErrorSuccess);
  EXPECT_STREQ(out, "Z:\\usr\\bin\\env");
  ASSERT_EQ(MapWin32Path("z:\\usr\\bin", out, sizeof out), kErrorSuccess);
  EXPECT_STREQ(out, "/usr/bin");
  ASSERT_EQ(MapWin32Path("/tmp/x", out, sizeof out), kErrorSuccess);
  EXPECT_STREQ(out, "/tmp/x");
  EXPECT_EQ(ToWin32Path("/usr", out, 5), kErrorInsufficientBuffer);
}

}  // namespace
}  // namespace acdc::platform
