// Names of open descriptors on Linux, in the Win32 form the drift table hands to Lua.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/process.h"

namespace acdc::platform {
namespace {

struct Name {
  Win32Error error;
  std::string text;
};

Name Of(uint32_t pid, int32_t fd, size_t cap = 4096) {
  char out[4096];
  out[0] = 'x';
  Name n;
  n.error = OsDescriptorName(pid, fd, out, cap);
  n.text = n.error == kErrorInsufficientBuffer ? "" : out;
  return n;
}

const std::string kDir = std::string(ACDC_DRIVE_C) + "/Drift Names";
const uint32_t kSelf = static_cast<uint32_t>(getpid());

int OpenFile(const std::string& name) { return open((kDir + "/" + name).c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644); }

// A file under drive C shows as C; a deleted one keeps the name it was opened by,
// while a name that really ends in " (deleted)", and exists, keeps its ending.
TEST(DescriptorName, FilesUnderDriveCShowAsCDeletedOrNot) {
  mkdir(ACDC_DRIVE_C, 0755);
  mkdir(kDir.c_str(), 0755);
  int report = OpenFile("Report.TXT"), gone = OpenFile("Gone.log"), kept = OpenFile("Kept.log (deleted)");
  ASSERT_GE(report, 0);
  ASSERT_GE(gone, 0);
  ASSERT_GE(kept, 0);
  ASSERT_EQ(unlink((kDir + "/Gone.log").c_str()), 0);
  Name n = Of(kSelf, report);
  EXPECT_EQ(n.error, kErrorSuccess);
  EXPECT_EQ(n.text, "C:\\Drift Names\\Report.TXT");
  EXPECT_EQ(Of(kSelf, gone).text, "C:\\Drift Names\\Gone.log");
  EXPECT_EQ(Of(kSelf, kept).text, "C:\\Drift Names\\Kept.log (deleted)");
  EXPECT_EQ(Of(kSelf, report, 16).error, kErrorInsufficientBuffer);  // a name that does not fit
  for (int fd : {report, gone, kept}) close(fd);
  unlink((kDir + "/Report.TXT").c_str());
  unlink((kDir + "/Kept.log (deleted)").c_str());
  rmdir(kDir.c_str());
}

TEST(DescriptorName, FailuresHaveTheirWin32CodesAndLeaveNoText) {
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  int closed = dup(pipe_fds[0]);
  close(closed);
  const struct {
    uint32_t pid;
    int32_t fd;
    Win32Error error;
  } cases[] = {
      {kSelf, pipe_fds[0], kErrorInvalidFunction},  // not a file
      {kSelf, closed, kErrorInvalidHandle},         // not open
      {kSelf, -1, kErrorInvalidHandle},
      {0, 0, kErrorInvalidParameter},               // no such process
      {0x7FFFFFF0u, 0, kErrorInvalidParameter},
  };
  for (const auto& c : cases) {
    Name n = Of(c.pid, c.fd);
    EXPECT_EQ(n.error, c.error) << c.pid << " " << c.fd;
    EXPECT_EQ(n.text, "") << c.pid << " " << c.fd;
  }
  close(pipe_fds[0]);
  close(pipe_fds[1]);
}

}  // namespace
}  // namespace acdc::platform
