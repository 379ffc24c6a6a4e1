// The recorded event mix for the channel benchmark: rows of a workload file (a
// recording's CSV, or rows of the agent's generator, which follows the recordings'
// statistics), laid out by the driver simulator's pieces (files under drive C, one
// live placeholder process per image, the recording's pids mapped onto them), and
// each row's event message built once, so that sending one costs a copy and two
// stores, as the ping-pong it is compared with pays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/simulator.h"

namespace acdc::bench {

struct MixSource {
  std::string workload;      // a CSV file in the recordings' format; empty: generate one
  std::string examples_dir;  // where the agent's workload.lua and csv.lua live
  uint32_t seed = 17;        // the generator's seed
  uint64_t events = 1000;    // rows taken (the first ones of the file)
  std::string drive_c;       // the folder behind C:, as the library was built with
  std::string placeholder;   // the placeholder program
};

// Writes `rows` rows of the agent's generator (seed `seed`) with the header to
// `path`. Returns false and the reason in `why` (NUL-terminated, at most why_size
// bytes) when Lua reports an error.
bool WriteGeneratedWorkload(const char* examples_dir, uint32_t seed, uint64_t rows, const char* path, char* why,
                            size_t why_size);

class RecordedMix {
 public:
  RecordedMix();
  ~RecordedMix();
  RecordedMix(const RecordedMix&) = delete;
  RecordedMix& operator=(const RecordedMix&) = delete;

  // Reads or generates the rows, lays out drive C and starts the placeholders (from
  // the calling thread: they die when it ends). False with the reason otherwise.
  bool Prepare(const MixSource& source, std::string* why);

  size_t size() const { return events_ == nullptr ? 0 : events_->size(); }
  const std::vector<sim::PlannedEvent>& events() const { return *events_; }

  // Message `i` of the mix (taken modulo its size) into `out` (kEventMessageSize
  // bytes), carrying `message_id` and the event id of its low 32 bits. Returns
  // `message_id`.
  uint64_t Make(uint64_t i, uint64_t message_id, uint8_t* out) const;

  // Rows per op, and the distinct pids the messages carry (the placeholders that act).
  std::map<std::string, uint64_t> OpCounts() const;
  size_t ActingProcesses() const;

 private:
  std::unique_ptr<sim::Simulator> sim_;  // owns the placeholders
  const std::vector<sim::PlannedEvent>* events_ = nullptr;
  std::vector<uint8_t> messages_;  // size() messages of kEventMessageSize bytes
};

}  // namespace acdc::bench
