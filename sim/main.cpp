// acdc-sim: plays the filter driver for a host over the Filter Manager emulation and
// replays a workload file through it. See `acdc-sim --help` and the README.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/simulator.h"

#ifndef ACDC_DRIVE_C
#define ACDC_DRIVE_C "/var/lib/acdc/drive_c"
#endif

namespace {

const char kUsage[] =
    "usage: acdc-sim [options] WORKLOAD.csv [-- HOST COMMAND...]\n"
    "\n"
    "Plays the filter driver \"acdc\" with its port \"\\vorpex\" and sends one event\n"
    "message per row of WORKLOAD (CSV with the header\n"
    "time_ms,op,pid,ppid,image,path,new_path,cmdline). It first creates the files the\n"
    "rows name under drive C and starts one placeholder process per image there.\n"
    "With a host command it starts the host once the driver listens; otherwise it\n"
    "waits for one. When every message has its reply or has timed out, it closes the\n"
    "port and reports; the exit status is 0 when every message got exactly one reply.\n"
    "\n"
    "  --drive-c DIR         the folder behind drive C (default %s)\n"
    "  --placeholder FILE    the placeholder program (default: acdc-placeholder beside\n"
    "                        this program)\n"
    "  --hold-ms N           how long a message waits for its reply (default %d)\n"
    "  --wait-ms N           how long to wait for the host to connect, and for a host\n"
    "                        started here to exit once the port has closed (default %d)\n"
    "  --outstanding N       messages awaiting a reply at once (default %u)\n"
    "  --speed X             replay at X times the recording's pace (default 0: as\n"
    "                        fast as the host answers)\n"
    "  --events N            send at most N messages\n"
    "  --message-id-base N   the first message id (default 1); one more per message\n"
    "  --records FILE        write one CSV line per message: what was sent, its\n"
    "                        replies and latency\n"
    "  --placeholders FILE   write \"pid<TAB>image\" per placeholder once they run\n"
    "  -h, --help            show this help\n";

[[noreturn]] void Usage(const char* problem) {
  std::fprintf(stderr, "acdc-sim: %s (try --help)\n", problem);
  std::exit(2);
}

uint64_t Number(const char* name, const char* text, uint64_t min, uint64_t max) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (text[0] == '-' || end == text || *end != '\0' || errno != 0 || v < min || v > max) {
    std::string problem = std::string(name) + " wants a whole number from " + std::to_string(min) + " to " +
                          std::to_string(max) + ", got '" + text + "'";
    Usage(problem.c_str());
  }
  return v;
}

std::string BesideThisProgram(const char* name) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return name;
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + name;
}

}  // namespace

int main(int argc, char** argv) {
  acdc::sim::SimConfig config;
  config.drive_c = ACDC_DRIVE_C;
  config.placeholder = BesideThisProgram("acdc-placeholder");
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "-h" || arg == "--help") {
      std::printf(kUsage, ACDC_DRIVE_C, acdc::sim::kDefaultHoldMs, acdc::sim::kDefaultWaitMs,
                  acdc::sim::kDefaultOutstanding);
      return 0;
    }
    if (arg.rfind("--", 0) != 0) {
      if (!config.workload.empty()) Usage("one workload file only");
      config.workload = arg;
      continue;
    }
    if (i + 1 >= argc) Usage((arg + " needs a value").c_str());
    const char* value = argv[++i];
    if (arg == "--drive-c") config.drive_c = value;
    else if (arg == "--placeholder") config.placeholder = value;
    else if (arg == "--hold-ms") config.hold_ms = static_cast<int>(Number("--hold-ms", value, 1, 3600000));
    else if (arg == "--wait-ms") config.wait_ms = static_cast<int>(Number("--wait-ms", value, 1, 3600000));
    else if (arg == "--outstanding") config.outstanding = static_cast<uint32_t>(Number("--outstanding", value, 1, 4096));
    else if (arg == "--events") config.max_events = Number("--events", value, 1, UINT64_MAX);
    else if (arg == "--message-id-base") config.message_id_base = Number("--message-id-base", value, 1, UINT64_MAX);
    else if (arg == "--records") config.records_path = value;
    else if (arg == "--placeholders") config.placeholders_path = value;
    else if (arg == "--speed") {
      char* end = nullptr;
      config.speed = std::strtod(value, &end);
      if (end == value || *end != '\0' || !(config.speed >= 0) || config.speed > 1e6)
        Usage("--speed wants a number from 0 to 1000000");
    } else {
      Usage(("unknown option '" + arg + "'").c_str());
    }
  }
  for (; i < argc; ++i) config.host.push_back(argv[i]);
  if (config.workload.empty()) Usage("no workload file");

  acdc::sim::Simulator sim(config);
  std::string why;
  if (!sim.Prepare(&why)) {
    std::fprintf(stderr, "acdc-sim: %s\n", why.c_str());
    return 1;
  }
  return sim.Run();
}
