// The driver simulator: plays the filter driver over the Filter Manager emulation
// and sends one event message per row of a workload file, with the files and the
// placeholder processes the events name in place, holds each message until its
// reply or its hold time, and reports per message whether it got exactly one reply
// and how long it took.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/driver_core.h"
#include "sim/drive_tree.h"
#include "sim/processes.h"
#include "sim/workload.h"

namespace acdc::sim {

// How long a message waits for its reply before it counts as timed out, as the
// driver's own time-out settles it. Long enough for a host that decides in Lua on a
// busy machine, short enough that a lost reply shows within a run.
constexpr int kDefaultHoldMs = 5000;
// How long the simulator waits for the host to load the driver and connect both
// ports, and, once it has closed the port, for a host it started to exit.
constexpr int kDefaultWaitMs = 30000;
// Messages awaiting a reply at once, as the completion port admits 8 threads.
constexpr uint32_t kDefaultOutstanding = 8;

struct SimConfig {
  std::string workload;            // the CSV file
  std::string drive_c;             // the folder behind C:
  std::string placeholder;         // the placeholder program
  int hold_ms = kDefaultHoldMs;
  int wait_ms = kDefaultWaitMs;
  uint32_t outstanding = kDefaultOutstanding;
  double speed = 0;                // times the recording's pace; 0 as fast as possible
  uint64_t max_events = UINT64_MAX;
  uint64_t message_id_base = 1;    // the first message id
  std::string records_path;        // one CSV line per message, when set
  std::string placeholders_path;   // "pid<TAB>image" per placeholder, when set
  std::vector<std::string> host;   // a host command to start, when set
};

// One message to send, planned from a row.
struct PlannedEvent {
  size_t line = 0;
  uint64_t time_ms = 0;
  const char* op = nullptr;
  std::string image;   // the row's image text
  std::string acting;  // the image the library finds behind the pid, as a Windows path
  EventFields fields;
};

// The figures of a run, from the messages' records.
struct Summary {
  uint64_t sent = 0;
  uint64_t exactly_once = 0;   // one reply, within the hold time
  uint64_t no_reply = 0;       // none within the hold time
  uint64_t several = 0;        // more than one reply
  uint64_t late = 0;           // replies after the hold time
  uint64_t unknown = 0;        // replies to message ids never sent
  uint64_t mismatched = 0;     // first replies whose event id is another message's
  uint64_t malformed = 0;      // reply packets that are not 32 bytes
  int64_t p50_ns = -1, p90_ns = -1, p99_ns = -1, max_ns = -1;  // latency of the first reply
};

Summary Summarize(const std::vector<MessageRecord>& records, const Stats& stats);

// The latency at percentile `p` (nearest rank) of sorted values; -1 when empty.
int64_t Percentile(const std::vector<int64_t>& sorted, double p);

// One placeholder as written to the placeholders file.
struct PlaceholderInfo {
  pid_t pid;
  std::string image;  // as the library reports it
};

class Simulator {
 public:
  explicit Simulator(SimConfig config) : config_(std::move(config)) {}

  // Reads the workload, lays out drive C, starts the placeholders and plans the
  // messages. False with the reason when the run cannot go ahead.
  bool Prepare(std::string* why);
  // Plays the driver for one host and sends the messages. Returns the exit status:
  // 0 when every message got exactly one reply and the host (if started) succeeded.
  int Run();

  const std::vector<PlannedEvent>& events() const { return events_; }
  const DriveCounts& drive() const { return drive_.counts(); }

 private:
  bool ReadRows(std::vector<WorkloadRow>* rows, std::string* why);
  std::string ImageIdentity(const std::string& image_text) const;
  bool StartPlaceholders(std::string* why);
  void PlanEvents(const std::vector<WorkloadRow>& rows);
  pid_t StartHost(std::string* why);
  bool WaitForHost(DriverCore& core, pid_t host);
  uint64_t Stream(DriverCore& core);
  int FinishHost(pid_t host);
  void Report(FILE* out, const Summary& s, const DriverCore& core, const std::vector<MessageRecord>& records,
              uint64_t unsent, int host_status) const;
  bool WriteRecords(const std::vector<MessageRecord>& records) const;

  SimConfig config_;
  DriveTree drive_{""};
  Placeholders placeholders_;
  PidBindings pids_;
  std::vector<PlaceholderInfo> placeholder_list_;
  std::unordered_map<std::string, pid_t> placeholder_of_;  // image key -> pid
  pid_t other_placeholder_ = -1;  // acts for images that are not paths on drive C
  std::string other_image_;
  int fd_base_ = 3;
  uint64_t rows_ = 0, malformed_ = 0;
  std::vector<PlannedEvent> events_;
  int64_t run_ns_ = 0;
};

}  // namespace acdc::sim
