#include "sim/processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace acdc::sim {

pid_t Placeholders::Start(const std::string& path, std::string* why) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // Descriptors this program inherited without close-on-exec would pass on too.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::string parent = std::to_string(getpid());
  char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(parent.c_str()), nullptr};
  char* envp[] = {nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    *why = "cannot start " + path + ": " + std::strerror(rc);
    return -1;
  }
  pids_.push_back(pid);
  return pid;
}

int Placeholders::HighestDescriptor() const {
  int highest = -1;
  for (pid_t pid : pids_) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) continue;
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      int fd = std::atoi(e->d_name);
      if (fd > highest) highest = fd;
    }
    closedir(d);
  }
  return highest;
}

bool Placeholders::AllRunning() const {
  for (pid_t pid : pids_) {
    siginfo_t info = {};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0)
      return false;
  }
  return true;
}

void Placeholders::KillAll() {
  for (pid_t pid : pids_) kill(pid, SIGKILL);
  for (pid_t pid : pids_) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  pids_.clear();
}

void PidBindings::Bind(uint32_t pid, const std::string& image) {
  seen_[pid] = true;
  auto bound = bound_.find(pid);
  if (bound != bound_.end()) {
    if (bound->second != image) ++reused_without_exit_;
    bound->second = image;
    return;
  }
  auto exited = exited_.find(pid);
  if (exited != exited_.end()) {
    if (exited->second != image) ++reused_after_exit_;
    exited_.erase(exited);
  }
  bound_.emplace(pid, image);
}

std::string PidBindings::Acting(uint32_t pid, const std::string& image) {
  if (!image.empty()) {
    Bind(pid, image);
    return image;
  }
  auto bound = bound_.find(pid);
  return bound == bound_.end() ? "" : bound->second;
}

void PidBindings::Started(uint32_t pid, const std::string& image) { Bind(pid, image); }

void PidBindings::Exited(uint32_t pid) {
  auto bound = bound_.find(pid);
  if (bound == bound_.end()) return;
  exited_[pid] = bound->second;
  bound_.erase(bound);
}

}  // namespace acdc::sim
