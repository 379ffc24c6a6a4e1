// Names of open descriptors on Linux, in the Win32 form the drift table hands to Lua.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/process.h"

namespace acdc::platform {
namespace {

struct Name {
  Win32Error error;
  std::string text;
};

Name Of(uint32_t pid, int32_t fd) {
  char out[4096];
  out[0] = 'x';
  Name n;
  n.error = OsDescriptorName(pid, fd, out, sizeof out);
  n.text = out;
  return n;
}

class DescriptorName : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::string(ACDC_DRIVE_C) + "/Drift Names";
    mkdir(ACDC_DRIVE_C, 0755);
    mkdir(dir_.c_str(), 0755);
  }
  int OpenFile(const std::string& name) {
    std::string path = dir_ + "/" + name;
    paths_.push_back(path);
    return open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
  }
  void TearDown() override {
    for (const std::string& p : paths_) unlink(p.c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_;
  std::vector<std::string> paths_;
  const uint32_t self_ = static_cast<uint32_t>(getpid());
};

TEST_F(DescriptorName, FileUnderDriveCShowsAsC) {
  int fd = OpenFile("Report.TXT");
  ASSERT_GE(fd, 0);
  Name n = Of(self_, fd);
  EXPECT_EQ(n.error, kErrorSuccess);
  EXPECT_EQ(n.text, "C:\\Drift Names\\Report.TXT");
  close(fd);
}

TEST_F(DescriptorName, DeletedFileKeepsTheNameItWasOpenedBy) {
  int fd = OpenFile("Gone.log");
  int kept = OpenFile("Kept.log (deleted)");
  ASSERT_GE(fd, 0);
  ASSERT_GE(kept, 0);
  ASSERT_EQ(unlink((dir_ + "/Gone.log").c_str()), 0);
  EXPECT_EQ(Of(self_, fd).text, "C:\\Drift Names\\Gone.log");
  // A name that really ends so, and exists, keeps its ending.
  EXPECT_EQ(Of(self_, kept).text, "C:\\Drift Names\\Kept.log (deleted)");
  close(fd);
  close(kept);
}

TEST_F(DescriptorName, FailuresHaveTheirWin32CodesAndLeaveNoText) {
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  int fd = OpenFile("Closed.bin");
  close(fd);
  const struct {
    uint32_t pid;
    int32_t fd;
    Win32Error error;
  } cases[] = {
      {self_, pipe_fds[0], kErrorInvalidFunction},  // not a file
      {self_, fd, kErrorInvalidHandle},             // not open
      {self_, -1, kErrorInvalidHandle},
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

TEST_F(DescriptorName, NameThatDoesNotFitIsRefused) {
  int fd = OpenFile("Report.TXT");
  char out[16];
  EXPECT_EQ(OsDescriptorName(self_, fd, out, sizeof out), kErrorInsufficientBuffer);
  close(fd);
}

}  // namespace
}  // namespace acdc::platform
