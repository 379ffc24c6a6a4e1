// The processes behind a workload's pids: placeholder processes, one per image, and
// the binding of the recording's pids to images.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace acdc::sim {

// Placeholder processes. Each is started from the calling thread and dies when that
// thread ends (the placeholder asks the kernel for it), so start them from the main
// thread; KillAll, or the destructor, kills and reaps them earlier.
class Placeholders {
 public:
  Placeholders() = default;
  ~Placeholders() { KillAll(); }
  Placeholders(const Placeholders&) = delete;
  Placeholders& operator=(const Placeholders&) = delete;

  // Starts the executable at `path` with /dev/null as its standard descriptors, no
  // other descriptor and an empty environment. Returns its pid, or -1 and the
  // reason.
  pid_t Start(const std::string& path, std::string* why);

  // The highest descriptor number that any of them holds, or -1.
  int HighestDescriptor() const;

  // Whether every one still runs.
  bool AllRunning() const;

  size_t size() const { return pids_.size(); }
  void KillAll();

 private:
  std::vector<pid_t> pids_;
};

// The recording's pids and the images they stand for. An exec row binds the new
// pid to the executed image; an exit row ends the binding, so that the pid may come
// back as another image; any other row binds its pid to its image. A row whose pid
// is bound to another image with no exit between is counted: the row's own image
// is what the recording says acted, and it wins.
class PidBindings {
 public:
  // A row acting as `image` (a key; "" for no image). Returns the image the row
  // acts as: its own, or, when it names none, the one its pid is bound to.
  std::string Acting(uint32_t pid, const std::string& image);
  void Started(uint32_t pid, const std::string& image);  // exec: the new process
  void Exited(uint32_t pid);

  uint64_t reused_after_exit() const { return reused_after_exit_; }
  uint64_t reused_without_exit() const { return reused_without_exit_; }
  size_t distinct() const { return seen_.size(); }

 private:
  void Bind(uint32_t pid, const std::string& image);

  std::unordered_map<uint32_t, std::string> bound_;
  std::unordered_map<uint32_t, std::string> exited_;  // the image a pid last had
  std::unordered_map<uint32_t, bool> seen_;
  uint64_t reused_after_exit_ = 0;    // a pid that came back as another image after its exit
  uint64_t reused_without_exit_ = 0;  // a pid that changed image without an exit
};

}  // namespace acdc::sim
