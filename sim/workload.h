// Workload files for the simulator: CSV in the recordings' format (RFC 4180, header
// time_ms,op,pid,ppid,image,path,new_path,cmdline), read into rows, and the event
// each row's op becomes. The op table is the reference agent's, so that a recording
// replayed through the driver and through the agent's in-process replay means the
// same events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace acdc::sim {

constexpr char kWorkloadHeader[] = "time_ms,op,pid,ppid,image,path,new_path,cmdline";
constexpr size_t kWorkloadColumns = 8;

// One record: its fields, or why it is malformed. `line` is its first physical
// line, counting from 1.
struct CsvRecord {
  size_t line = 0;
  std::vector<std::string> fields;
  std::string error;  // empty for a well-formed record
};

// Reads records from text held in memory. A malformed record costs that record
// only: reading goes on after the physical line where the fault was found, or,
// for a quote that never closes, after the record's first line.
class CsvReader {
 public:
  explicit CsvReader(std::string_view text) : text_(text) {}
  bool Next(CsvRecord* out);  // false at the end of the text

 private:
  bool NextLine(size_t* begin, size_t* end);  // one physical line without its line end

  std::string_view text_;
  size_t pos_ = 0;
  size_t line_ = 0;
};

// Which of a row's texts the event names.
enum class NameColumn { kPath, kImage, kNewPath };

struct OpEvent {
  const char* op;
  uint32_t type;    // event number sent
  int32_t dirty;
  NameColumn name;  // `name`; a rename also sends `oldname` = path
};

// The op's event, or null for an op the table does not know.
const OpEvent* FindOp(std::string_view op);

struct WorkloadRow {
  size_t line = 0;
  uint64_t time_ms = 0;
  const OpEvent* op = nullptr;
  bool has_pid = false;  // the source may lack one
  bool has_ppid = false;
  uint32_t pid = 0;
  uint32_t ppid = 0;
  std::string image;     // the acting process's image (for exec, the parent's)
  std::string path;
  std::string new_path;

  const std::string& name() const;   // the text the event names
  bool is_exec() const;
  bool is_exit() const;
};

// A well-formed record to a row; false and the reason otherwise: a wrong field
// count, a time or pid that is not a decimal number in range, an unknown op, a
// rename without new_path, or a name that does not fit the message's name field.
bool ParseRow(const CsvRecord& record, WorkloadRow* row, std::string* why);

}  // namespace acdc::sim
