// The simulator's processes: pid bindings and placeholder processes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "sim/processes.h"

namespace acdc::sim {
namespace {

// Gone, or a zombie that its new parent has not reaped yet.
bool Alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  size_t close = line.rfind(')');
  return close != std::string::npos && line.size() > close + 2 && line[close + 2] != 'Z';
}

bool GoneWithin(pid_t pid, int ms) {
  for (int waited = 0; waited < ms && Alive(pid); waited += 10)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return !Alive(pid);
}

std::string Exe(pid_t pid) {
  char target[4096];
  ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

TEST(PidBindings, ExitLetsAPidComeBackAsAnotherImage) {
  PidBindings b;
  EXPECT_EQ(b.Acting(10, "a"), "a");
  EXPECT_EQ(b.Acting(10, ""), "a");  // a row without an image acts as its pid's
  b.Exited(10);
  EXPECT_EQ(b.Acting(10, ""), "");
  EXPECT_EQ(b.Acting(10, "b"), "b");
  EXPECT_EQ(b.reused_after_exit(), 1u);
  EXPECT_EQ(b.Acting(10, "c"), "c");  // the row's own image wins
  EXPECT_EQ(b.reused_without_exit(), 1u);
  b.Started(20, "x");
  EXPECT_EQ(b.Acting(20, ""), "x");
  b.Exited(20);
  EXPECT_EQ(b.Acting(20, "x"), "x");  // back as the same image
  EXPECT_EQ(b.reused_after_exit(), 1u);
  EXPECT_EQ(b.reused_without_exit(), 1u);
  EXPECT_EQ(b.distinct(), 2u);
}

TEST(Placeholders, RunFromTheirPathWithOnlyTheStandardDescriptors) {
  // Inherited without close-on-exec, so only the spawn's own closing keeps it out.
  int leaked = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  Placeholders p;
  std::string why;
  pid_t pid = p.Start(ACDC_PLACEHOLDER, &why);
  close(leaked);
  ASSERT_GT(pid, 0) << why;
  EXPECT_EQ(Exe(pid), ACDC_PLACEHOLDER);
  EXPECT_EQ(p.HighestDescriptor(), 2);
  EXPECT_TRUE(p.AllRunning());
  p.KillAll();
  EXPECT_EQ(p.size(), 0u);
  EXPECT_FALSE(Alive(pid));

  EXPECT_EQ(p.Start("/nonexistent/placeholder", &why), -1);
  EXPECT_EQ(why, "cannot start /nonexistent/placeholder: No such file or directory");
}

TEST(Placeholders, DieWithTheirParent) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Placeholders p;
    std::string why;
    pid_t pid = p.Start(ACDC_PLACEHOLDER, &why);
    ssize_t n = write(fds[1], &pid, sizeof pid);
    _exit(n == sizeof pid && pid > 0 ? 0 : 1);  // no destructor: nothing kills it but the kernel
  }
  pid_t pid = -1;
  ASSERT_EQ(read(fds[0], &pid, sizeof pid), static_cast<ssize_t>(sizeof pid));
  close(fds[0]);
  close(fds[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(GoneWithin(pid, 2000));
  if (Alive(pid)) kill(pid, SIGKILL);
}

TEST(Placeholders, LeaveAtOnceWhenStartedForAnotherParent) {
  char* argv[] = {const_cast<char*>(ACDC_PLACEHOLDER), const_cast<char*>("1"), nullptr};
  char* envp[] = {nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, ACDC_PLACEHOLDER, nullptr, nullptr, argv, envp), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace acdc::sim
