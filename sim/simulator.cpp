#include "sim/simulator.h"

#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

extern char** environ;

namespace acdc::sim {

namespace {

constexpr uint64_t kIdLimit = uint64_t{1} << 32;
// Descriptor numbers sent cycle through this many values above the placeholders' own.
constexpr int kDescriptorRange = 4096;

const char* const kReplyNames[] = {"REPLY_TIMEOUT", "REPLY_ERROR", "REPLY_ALLOW",
                                   "REPLY_BLOCK",   "REPLY_IGNORE", "REPLY_TRACKFILE"};

std::string ReplyName(uint32_t code) {
  if (code < sizeof kReplyNames / sizeof kReplyNames[0]) return kReplyNames[code];
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", code);
  return text;
}

std::string CsvField(const std::string& value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// The path the library reports for a process image at `host_path`.
std::string WindowsImage(const std::string& drive_c, const std::string& host_path) {
  std::string out;
  if (host_path.compare(0, drive_c.size() + 1, drive_c + "/") == 0) {
    out = "C:\\" + host_path.substr(drive_c.size() + 1);
  } else {
    out = "Z:" + host_path;
  }
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

std::string ExeOf(pid_t pid) {
  char target[PATH_MAX];
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

void SleepNs(int64_t ns) {
  if (ns <= 0) return;
  struct timespec ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::string Micros(int64_t ns) { return ns < 0 ? "-" : std::to_string((ns + 500) / 1000) + " us"; }

}  // namespace

int64_t Percentile(const std::vector<int64_t>& sorted, double p) {
  if (sorted.empty()) return -1;
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
  return sorted[rank == 0 ? 0 : std::min(rank, sorted.size()) - 1];
}

Summary Summarize(const std::vector<MessageRecord>& records, const Stats& stats) {
  Summary s;
  std::vector<int64_t> latencies;
  for (const MessageRecord& m : records) {
    ++s.sent;
    if (m.replies > 1) ++s.several;
    if (m.replies == 1 && !m.timed_out) ++s.exactly_once;
    if (m.latency_ns < 0) ++s.no_reply;
    if (m.latency_ns >= 0) latencies.push_back(m.latency_ns);
  }
  s.late = stats.late;
  s.unknown = stats.unknown;
  s.mismatched = stats.mismatched;
  s.malformed = stats.malformed;
  std::sort(latencies.begin(), latencies.end());
  s.p50_ns = Percentile(latencies, 50);
  s.p90_ns = Percentile(latencies, 90);
  s.p99_ns = Percentile(latencies, 99);
  s.max_ns = latencies.empty() ? -1 : latencies.back();
  return s;
}

bool Simulator::ReadRows(std::vector<WorkloadRow>* rows, std::string* why) {
  std::ifstream in(config_.workload, std::ios::binary);
  if (!in) {
    *why = "cannot read " + config_.workload + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string all = text.str();
  CsvReader reader(all);
  CsvRecord record;
  while (reader.Next(&record)) {
    if (record.line == 1 && record.error.empty() && record.fields.size() == kWorkloadColumns) {
      std::string joined;
      for (const std::string& f : record.fields) joined += (joined.empty() ? "" : ",") + f;
      if (joined == kWorkloadHeader) continue;
    }
    ++rows_;
    WorkloadRow row;
    std::string reason;
    if (ParseRow(record, &row, &reason)) {
      rows->push_back(std::move(row));
    } else {
      ++malformed_;
      std::fprintf(stderr, "acdc-sim: %s:%zu: malformed, skipped: %s\n", config_.workload.c_str(), record.line,
                   reason.c_str());
    }
  }
  return true;
}

// Path images are known by their key; other images by their text, marked so that no
// key can equal it; no image at all is "".
std::string Simulator::ImageIdentity(const std::string& image_text) const {
  std::string key = drive_.Key(image_text);
  if (!key.empty()) return key;
  return image_text.empty() ? "" : "*" + image_text;
}

bool Simulator::StartPlaceholders(std::string* why) {
  std::set<std::string> keys;
  for (const auto& [key, pid] : placeholder_of_) keys.insert(key);
  for (const std::string& key : keys) {
    std::string path = drive_.HostPath(key);
    pid_t pid = placeholders_.Start(path, why);
    if (pid < 0) return false;
    placeholder_of_[key] = pid;
    placeholder_list_.push_back({pid, drive_.WindowsPath(key)});
  }
  other_placeholder_ = placeholders_.Start(config_.placeholder, why);
  if (other_placeholder_ < 0) return false;
  other_image_ = WindowsImage(config_.drive_c, config_.placeholder);
  placeholder_list_.push_back({other_placeholder_, other_image_});
  // The library finds each image behind its pid only once the program runs there.
  for (const PlaceholderInfo& p : placeholder_list_) {
    std::string exe = ExeOf(p.pid);
    std::string expected = p.pid == other_placeholder_ ? config_.placeholder : drive_.HostPath(drive_.Key(p.image));
    if (exe != expected) {
      *why = "placeholder " + std::to_string(p.pid) + " runs '" + exe + "', not '" + expected + "'";
      return false;
    }
  }
  fd_base_ = std::max(3, placeholders_.HighestDescriptor() + 1);
  if (!config_.placeholders_path.empty()) {
    std::ofstream out(config_.placeholders_path, std::ios::binary);
    for (const PlaceholderInfo& p : placeholder_list_) out << p.pid << '\t' << p.image << '\n';
    if (!out.flush()) {
      *why = "cannot write " + config_.placeholders_path;
      return false;
    }
  }
  return true;
}

void Simulator::PlanEvents(const std::vector<WorkloadRow>& rows) {
  const uint32_t own_pid = static_cast<uint32_t>(getpid());
  for (const WorkloadRow& row : rows) {
    if (events_.size() >= config_.max_events) break;
    // An exec row's pid is the new process; its parent acts.
    bool exec = row.is_exec();
    std::string identity = ImageIdentity(row.image);
    if (exec ? row.has_ppid : row.has_pid) identity = pids_.Acting(exec ? row.ppid : row.pid, identity);
    if (exec && row.has_pid) pids_.Started(row.pid, ImageIdentity(row.path));
    if (row.is_exit() && row.has_pid) pids_.Exited(row.pid);

    PlannedEvent e;
    e.line = row.line;
    e.time_ms = row.time_ms;
    e.op = row.op->op;
    e.image = row.image;
    auto placeholder = placeholder_of_.find(identity);
    bool own = placeholder != placeholder_of_.end();
    e.acting = own ? drive_.WindowsPath(identity) : other_image_;
    EventFields& f = e.fields;
    size_t seq = events_.size();
    f.type = row.op->type;
    f.id = static_cast<uint32_t>(seq + 1);
    f.pid = static_cast<uint32_t>(own ? placeholder->second : other_placeholder_);
    f.ppid = own_pid;  // the placeholders' real parent
    f.fd = fd_base_ + static_cast<int32_t>(seq % kDescriptorRange);
    f.dirty = row.op->dirty;
    f.name = row.name();
    if (row.op->name == NameColumn::kNewPath) f.oldname = row.path;
    events_.push_back(std::move(e));
  }
}

bool Simulator::Prepare(std::string* why) {
  if (config_.outstanding == 0 || config_.hold_ms <= 0 || config_.wait_ms <= 0) {
    *why = "hold time, wait and outstanding messages must be above 0";
    return false;
  }
  mkdir(config_.drive_c.c_str(), 0755);
  config_.drive_c = RealPath(config_.drive_c);
  config_.placeholder = RealPath(config_.placeholder);
  if (access(config_.placeholder.c_str(), X_OK) != 0) {
    *why = "the placeholder program " + config_.placeholder + " cannot be run";
    return false;
  }
  drive_ = DriveTree(config_.drive_c);
  std::vector<WorkloadRow> rows;
  if (!ReadRows(&rows, why)) return false;
  size_t planned = std::min<uint64_t>(rows.size(), config_.max_events);
  if (config_.message_id_base == 0 || config_.message_id_base > UINT64_MAX - planned ||
      (config_.message_id_base < kIdLimit && config_.message_id_base + planned > kIdLimit)) {
    *why = "message ids from " + std::to_string(config_.message_id_base) + " for " + std::to_string(planned) +
           " messages would be 0, wrap, or cross 2^32";
    return false;
  }
  for (size_t i = 0; i < planned; ++i) {
    const WorkloadRow& row = rows[i];
    if (!row.image.empty() && drive_.Add(row.image, DriveTree::Kind::kImage) == DriveTree::Note::kOnDrive)
      placeholder_of_[drive_.Key(row.image)] = -1;
    if (row.is_exec()) {
      if (drive_.Add(row.path, DriveTree::Kind::kImage) == DriveTree::Note::kOnDrive)
        placeholder_of_[drive_.Key(row.path)] = -1;
    } else if (!row.is_exit() && !row.name().empty()) {
      drive_.Add(row.name(), DriveTree::Kind::kFile);
    }
  }
  if (!drive_.Build(config_.placeholder, why)) return false;
  for (auto it = placeholder_of_.begin(); it != placeholder_of_.end();)
    it = drive_.ImagePlaced(it->first) ? std::next(it) : placeholder_of_.erase(it);
  if (!StartPlaceholders(why)) return false;
  PlanEvents(rows);
  return true;
}

pid_t Simulator::StartHost(std::string* why) {
  std::vector<char*> argv;
  for (const std::string& a : config_.host) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    *why = "cannot start the host " + config_.host[0] + ": " + std::strerror(rc);
    return -1;
  }
  return pid;
}

// Waits for both connections, or until the wait is over or the host has gone.
bool Simulator::WaitForHost(DriverCore& core, pid_t host) {
  int64_t deadline = NowNs() + int64_t{config_.wait_ms} * 1000000;
  while (NowNs() < deadline) {
    if (core.WaitConnections(1, 1, 100)) return true;
    siginfo_t info = {};
    if (host > 0 && waitid(P_PID, static_cast<id_t>(host), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid != 0)
      return false;
  }
  return false;
}

uint64_t Simulator::Stream(DriverCore& core) {
  const int64_t start = NowNs();
  const int window_wait = config_.hold_ms + 1000;
  uint64_t sent = 0;
  for (const PlannedEvent& e : events_) {
    if (config_.speed > 0) SleepNs(start + static_cast<int64_t>(e.time_ms * 1e6 / config_.speed) - NowNs());
    // Held messages leave the window by their reply or their hold time.
    if (!core.WaitOutstanding(config_.outstanding - 1, window_wait)) break;
    if (!core.SendEvent(e.fields, config_.message_id_base + sent)) break;
    ++sent;
  }
  return sent;
}

// Lets a started host finish after the port has closed; returns its exit status
// (128 + the signal for one killed), or 0 when none was started.
int Simulator::FinishHost(pid_t host) {
  if (host <= 0) return 0;
  int status = 0;
  int64_t deadline = NowNs() + int64_t{config_.wait_ms} * 1000000;
  bool signalled = false;
  for (;;) {
    pid_t r = waitpid(host, &status, WNOHANG);
    if (r == host) break;
    if (r < 0 && errno != EINTR) return 255;
    if (NowNs() >= deadline) {
      std::fprintf(stderr, "acdc-sim: the host did not exit within %d ms; killing it\n", config_.wait_ms);
      kill(host, signalled ? SIGKILL : SIGTERM);
      signalled = true;
      deadline = NowNs() + 1000000000;
    }
    SleepNs(10000000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Simulator::Run() {
  Options options;
  options.hold_ms = config_.hold_ms;
  DriverCore core(options);
  if (int err = core.Listen(); err != 0) {
    std::fprintf(stderr, "acdc-sim: cannot take the filter endpoint: %s%s\n", std::strerror(err),
                 err == EADDRINUSE ? " (another driver runs in this network namespace)" : "");
    return 1;
  }
  core.StartThread();
  pid_t host = -1;
  if (!config_.host.empty()) {
    std::string why;
    host = StartHost(&why);
    if (host < 0) {
      std::fprintf(stderr, "acdc-sim: %s\n", why.c_str());
      return 1;
    }
  }
  bool connected = WaitForHost(core, host);
  uint64_t sent = 0;
  if (connected) {
    int64_t start = NowNs();
    sent = Stream(core);
    core.WaitIdle(config_.hold_ms + 1000);
    run_ns_ = NowNs() - start;
  } else {
    std::fprintf(stderr, "acdc-sim: no host loaded the driver and connected both ports within %d ms\n",
                 config_.wait_ms);
  }
  core.StopThread();
  std::vector<MessageRecord> records = core.records();
  Stats stats = core.stats();
  // The port closes as when the driver stops: a host's waits end with the broken-port status.
  core.Crash();
  int host_status = FinishHost(host);
  placeholders_.KillAll();

  Summary s = Summarize(records, stats);
  uint64_t unsent = events_.size() - sent;
  Report(stdout, s, core, records, unsent, host_status);
  bool written = WriteRecords(records);
  bool ok = connected && written && unsent == 0 && s.exactly_once == s.sent && s.unknown == 0 &&
            s.mismatched == 0 && s.malformed == 0 && host_status == 0;
  std::printf("result: %s\n", ok ? "every message got exactly one reply" : "FAILED");
  return ok ? 0 : 1;
}

void Simulator::Report(FILE* out, const Summary& s, const DriverCore& core, const std::vector<MessageRecord>& records,
                       uint64_t unsent, int host_status) const {
  const DriveCounts& d = drive_.counts();
  std::fprintf(out, "workload: %s: %llu rows, %llu malformed, %zu messages planned\n", config_.workload.c_str(),
               static_cast<unsigned long long>(rows_), static_cast<unsigned long long>(malformed_), events_.size());
  std::fprintf(out,
               "drive C: %s: %llu files (%llu created, %llu existing, %llu skipped as file and folder, "
               "%llu skipped naming a placeholder); %llu images (%llu placed, %llu skipped); "
               "%llu names not on drive C, %llu unusable\n",
               config_.drive_c.c_str(), static_cast<unsigned long long>(d.files),
               static_cast<unsigned long long>(d.created), static_cast<unsigned long long>(d.existing),
               static_cast<unsigned long long>(d.skipped_folder), static_cast<unsigned long long>(d.skipped_placeholder),
               static_cast<unsigned long long>(d.images), static_cast<unsigned long long>(d.images_placed),
               static_cast<unsigned long long>(d.images_skipped), static_cast<unsigned long long>(d.not_on_drive),
               static_cast<unsigned long long>(d.unusable));
  std::fprintf(out,
               "processes: %zu placeholders (1 for images that are not paths on drive C); %zu pids, "
               "%llu reused after an exit, %llu reused without one\n",
               placeholder_list_.size(), pids_.distinct(), static_cast<unsigned long long>(pids_.reused_after_exit()),
               static_cast<unsigned long long>(pids_.reused_without_exit()));
  std::map<std::string, uint64_t> kinds;
  for (const Command& c : core.commands()) {
    std::string text = c.input.c_str();
    if (c.input.size() == kProgramImageSize && text == "\"program\"") {
      ++kinds["program"];
    } else if (text == "\"beworker\"" || text == "\"getfilefilter\"" || text == "\"setfilefilter\"") {
      ++kinds[text.substr(1, text.size() - 2)];
    } else {
      ++kinds["other"];
    }
  }
  std::fprintf(out, "commands:");
  for (const char* k : {"beworker", "program", "getfilefilter", "setfilefilter", "other"})
    std::fprintf(out, " %llu %s%s", static_cast<unsigned long long>(kinds[k]), k, k[0] == 'o' ? "" : ",");
  std::fprintf(out, "; %zu workers\n", core.workers().size());
  std::fprintf(out,
               "messages: %llu sent, %llu not sent; %llu exactly once, %llu without reply, %llu with several "
               "replies; %llu late replies, %llu unknown ids, %llu mismatched ids, %llu malformed replies\n",
               static_cast<unsigned long long>(s.sent), static_cast<unsigned long long>(unsent),
               static_cast<unsigned long long>(s.exactly_once), static_cast<unsigned long long>(s.no_reply),
               static_cast<unsigned long long>(s.several), static_cast<unsigned long long>(s.late),
               static_cast<unsigned long long>(s.unknown), static_cast<unsigned long long>(s.mismatched),
               static_cast<unsigned long long>(s.malformed));
  std::fprintf(out, "exactly-once violations: %llu\n",
               static_cast<unsigned long long>(s.sent - s.exactly_once + s.unknown));
  std::fprintf(out, "latency: p50 %s, p90 %s, p99 %s, max %s (hold %d ms, %u outstanding at most)\n",
               Micros(s.p50_ns).c_str(), Micros(s.p90_ns).c_str(), Micros(s.p99_ns).c_str(), Micros(s.max_ns).c_str(),
               config_.hold_ms, config_.outstanding);
  double seconds = static_cast<double>(run_ns_) / 1e9;
  std::fprintf(out, "rate: %llu messages in %.3f s, %.0f per second\n", static_cast<unsigned long long>(s.sent),
               seconds, seconds > 0 ? static_cast<double>(s.sent) / seconds : 0.0);
  std::map<std::string, uint64_t> replies;
  for (const MessageRecord& m : records)
    if (m.latency_ns >= 0) ++replies[ReplyName(m.first.code)];
  std::fprintf(out, "replies:");
  for (const auto& [name, count] : replies) std::fprintf(out, " %s %llu", name.c_str(), static_cast<unsigned long long>(count));
  std::fprintf(out, "\n");
  if (!config_.host.empty()) std::fprintf(out, "host: exit status %d\n", host_status);
}

bool Simulator::WriteRecords(const std::vector<MessageRecord>& records) const {
  if (config_.records_path.empty()) return true;
  std::ofstream out(config_.records_path, std::ios::binary);
  out << "seq,line,op,message_id,type,id,pid,fd,dirty,name,oldname,image,acting,replies,timed_out,latency_ns,"
         "reply_message_id,reply_code,reply_id\r\n";
  for (size_t i = 0; i < records.size() && i < events_.size(); ++i) {
    const MessageRecord& m = records[i];
    const PlannedEvent& e = events_[i];
    const EventFields& f = e.fields;
    bool replied = m.latency_ns >= 0;
    out << i + 1 << ',' << e.line << ',' << e.op << ',' << m.message_id << ',' << f.type << ',' << f.id << ','
        << f.pid << ',' << f.fd << ',' << f.dirty << ',' << CsvField(f.name) << ',' << CsvField(f.oldname) << ','
        << CsvField(e.image) << ',' << CsvField(e.acting) << ',' << m.replies << ',' << (m.timed_out ? 1 : 0) << ','
        << m.latency_ns << ',';
    if (replied) out << m.first.message_id << ',' << m.first.code << ',' << m.first.id;
    else out << ",,";
    out << "\r\n";
  }
  out.flush();
  if (!out) {
    std::fprintf(stderr, "acdc-sim: cannot write %s\n", config_.records_path.c_str());
    return false;
  }
  return true;
}

}  // namespace acdc::sim
