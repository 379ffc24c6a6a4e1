// Events through the channel against a bare SOCK_SEQPACKET ping-pong.
//
// Two processes: this one plays the host (the library in Lua states, each handle
// waiting in get on a thread of its own), a forked child plays the driver (the
// simulator's driver core). The child sends event messages and waits for their
// replies; the library decides them natively (event number 13 has no handler, so the
// fast path answers REPLY_ERROR without a lookup) and replies. The baseline is the
// same exchange without the library: the child sends the same 3176 bytes on a socket
// pair, a thread here answers 32 bytes.
//
// Figures, each the median over interleaved rounds of its ratio to the baseline
// measured right beside it: one message outstanding (one handle, one pair); four
// handles on four threads (four outstanding) against four pairs on four threads; and
// cached executions (an EVENT_EXEC_PRE of a file the execution cache approves, by a
// process of ours whose image is looked up), one outstanding, with the share of their
// time that the image lookup takes; and the recorded mix, one outstanding, with the
// share of its time inside the image lookups it makes.
//
// The recorded mix is the event mix of the public recordings: rows of the agent's
// generator, which follows their statistics (or the first rows of a recording given
// with --workload FILE), laid out as the driver simulator does, so that every event
// names a live placeholder process at its image's path under drive C and files that
// exist. The image lookups and the handlers run for real, and the events that reach
// Lua get REPLY_ALLOW from a Lua loop, as a minimal agent answers them. The same
// rows go out in every round. Its lookup share is measured inside the run: a wrapper
// in the services table times every image query the library makes meanwhile.
//
// With --one-cpu, both processes run on one CPU (see PinToOneCpu); bench/run prints
// the figures both ways.
//
//   channel_bench [--one-cpu] [--workload FILE] [--mix-events N]
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "bench/image_lookup_timer.h"
#include "bench/recorded_mix.h"
#include "event/process_image.h"
#include "event/records.h"
#include "sim/driver_core.h"

extern "C" int luaopen_acdc(lua_State* L);

namespace {

constexpr int kRounds = 25;
constexpr uint64_t kMessages = 2000;  // per measurement
constexpr int kPairs = 4;

// Phases, as the child asks for them over the control socket.
enum Phase : uint8_t { kChannel1 = 1, kChannel4, kPingPong1, kPingPong4, kCached1, kMix1, kDone };

int Threads(Phase p) { return p == kChannel4 || p == kPingPong4 ? 4 : 1; }
bool IsChannel(Phase p) { return p == kChannel1 || p == kChannel4 || p == kCached1 || p == kMix1; }

// The recorded mix, prepared before the fork; both processes hold it.
const acdc::bench::RecordedMix* g_mix = nullptr;
std::string g_mix_source;  // where its rows came from, for the report
const char* g_where = "";    // " (one CPU)" when both processes share one

// What the host saw during one pass of the mix, sent to the driver after it.
struct MixTally {
  uint64_t lookup_ns;  // inside image queries
  uint64_t lookups;
  uint64_t failed;     // image queries that found no process
  uint64_t to_lua;     // events that get handed to Lua
};

// The process that acts in the cached executions (a sleep of ours, so that its image
// can be looked up), and what one lookup of it costs, measured before the fork.
pid_t g_actor = 0;
double g_lookup_ns = 0;

void SendByte(int fd, uint8_t b) {
  if (send(fd, &b, 1, MSG_NOSIGNAL) != 1) _exit(10);
}
uint8_t RecvByte(int fd) {
  uint8_t b = 0;
  if (recv(fd, &b, 1, 0) != 1) _exit(11);
  return b;
}

// The message is built once; each one sent is a copy with its own ids, on both sides
// of the comparison, so that building it costs neither side anything.
// Event 13 has no handler: decided without a lookup. The cached execution is an
// EVENT_EXEC_PRE of an approved file by our actor: one image lookup and one cache hit.
struct Template {
  uint8_t bytes[acdc::sim::kEventMessageSize];
  explicit Template(bool cached) {
    acdc::sim::EventFields f;
    f.type = cached ? 18 : 13;
    f.pid = cached ? static_cast<uint32_t>(g_actor) : 1;
    f.name = cached ? "C:\\Apps\\Cached.EXE" : "C:\\Program Files\\Tool\\data.bin";
    acdc::sim::BuildEventMessage(f, 0, bytes);
  }
};

uint64_t MakeEvent(uint64_t i, uint8_t* message, bool cached = false) {
  static const Template kPlain(false);
  static const Template kCached(true);
  const Template& t = cached ? kCached : kPlain;
  std::memcpy(message, t.bytes, sizeof t.bytes);
  uint64_t message_id = i + 1;
  uint32_t id = static_cast<uint32_t>(i);
  std::memcpy(message + 8, &message_id, sizeof message_id);
  std::memcpy(message + 24, &id, sizeof id);
  return message_id;
}

// ---- the driver (child)

// One side of a ping-pong: `count` messages of the event message's size out, each
// waiting for a 32-byte reply.
void PingPong(int fd, uint64_t count) {
  uint8_t message[acdc::sim::kEventMessageSize];
  uint8_t reply[64];
  for (uint64_t i = 0; i < count; ++i) {
    MakeEvent(i, message);
    if (send(fd, message, sizeof message, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof message)) _exit(12);
    if (recv(fd, reply, sizeof reply, 0) != 32) _exit(13);
  }
  send(fd, "", 0, MSG_NOSIGNAL);  // ends the host's responder
}

double EventsPerSecond(uint64_t count, int64_t ns) { return ns > 0 ? count * 1e9 / static_cast<double>(ns) : 0; }

int RunDriver(int control, const int* pairs) {
  acdc::sim::Options o;
  o.hold_ms = 10000;
  acdc::sim::DriverCore driver(o);
  if (driver.Listen() != 0) return 20;
  driver.StartThread();
  SendByte(control, 0);  // listening
  if (RecvByte(control) != 0 || !driver.WaitConnections(1, 1, 5000)) return 21;
  driver.StopThread();  // the streams read the event connection themselves

  // Per round: channel rate and baseline rate, for each of the two figures.
  struct Pair {
    double channel, baseline;
    double ratio() const { return channel / baseline; }
  };
  struct MixRound {
    Pair rates;
    int64_t ns;  // the pass
    MixTally tally;
    double ratio() const { return rates.ratio(); }
  };
  std::vector<Pair> one, four, cached;
  std::vector<MixRound> mix;
  std::vector<uint64_t> cached_from, mix_from;  // first message id of each such phase
  const uint64_t mix_size = g_mix->size();
  uint64_t next_id = 0;
  for (int round = 0; round < kRounds; ++round) {
    double rate[kDone] = {};
    MixRound m = {};
    for (Phase p : {kChannel1, kPingPong1, kChannel4, kPingPong4, kCached1, kMix1}) {
      SendByte(control, p);
      if (RecvByte(control) != p) return 22;  // the host's side is ready
      int64_t start = acdc::sim::NowNs(), ns;
      uint64_t count = p == kMix1 ? mix_size : kMessages;
      if (p == kMix1) {
        uint64_t base = next_id;
        ns = driver.RunStream(count, 1, [base](uint64_t i, uint8_t* msg) { return g_mix->Make(i, base + i + 1, msg); });
        mix_from.push_back(base + 1);
        next_id += count;
        if (ns < 0) return 23;
        m.ns = ns;
      } else if (IsChannel(p)) {
        uint64_t base = next_id;
        bool exec = p == kCached1;
        ns = driver.RunStream(kMessages, Threads(p),
                              [base, exec](uint64_t i, uint8_t* m) { return MakeEvent(base + i, m, exec); });
        if (exec) cached_from.push_back(base + 1);
        next_id += kMessages;
        if (ns < 0) return 23;
      } else {
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads(p); ++t)
          threads.emplace_back([&, t] { PingPong(pairs[t], kMessages / Threads(p)); });
        for (auto& t : threads) t.join();
        ns = acdc::sim::NowNs() - start;
      }
      rate[p] = EventsPerSecond(count, ns);
      SendByte(control, 0);  // done: the host stops its side
      if (p == kMix1 && recv(control, &m.tally, sizeof m.tally, 0) != static_cast<ssize_t>(sizeof m.tally)) return 27;
      if (RecvByte(control) != 0) return 24;
    }
    one.push_back({rate[kChannel1], rate[kPingPong1]});
    four.push_back({rate[kChannel4], rate[kPingPong4]});
    cached.push_back({rate[kCached1], rate[kPingPong1]});
    m.rates = {rate[kMix1], rate[kPingPong1]};
    mix.push_back(m);
    std::printf("round %d: 1 outstanding %.0f/s vs %.0f/s, 4 threads %.0f/s vs %.0f/s, cached executions %.0f/s, "
                "recorded mix %.0f/s (%.0f%% in image lookups)\n",
                round + 1, rate[kChannel1], rate[kPingPong1], rate[kChannel4], rate[kPingPong4], rate[kCached1],
                rate[kMix1], 100.0 * static_cast<double>(m.tally.lookup_ns) / static_cast<double>(m.ns));
    std::fflush(stdout);
    // Every message names a live process: a lookup that found none means the mix
    // measured something other than what it says.
    if (m.tally.failed != 0) {
      std::fprintf(stderr, "channel_bench: %llu of %llu image lookups of the recorded mix found no process\n",
                   (unsigned long long)m.tally.failed, (unsigned long long)m.tally.lookups);
      return 28;
    }
  }
  SendByte(control, kDone);
  acdc::sim::Stats s = driver.stats();
  if (s.answered != next_id || s.duplicates + s.unknown + s.mismatched != 0) {
    std::fprintf(stderr, "channel_bench: %llu of %llu answered, %llu duplicates, %llu unknown, %llu mismatched\n",
                 (unsigned long long)s.answered, (unsigned long long)next_id, (unsigned long long)s.duplicates,
                 (unsigned long long)s.unknown, (unsigned long long)s.mismatched);
    return 25;
  }

  // Each was decided as meant: REPLY_ALLOW from the cache, REPLY_ERROR without a
  // handler. A row of the mix gets the same reply in every round.
  std::vector<uint32_t> mix_codes(mix_size, UINT32_MAX);
  uint64_t mix_replies[7] = {};  // REPLY_TIMEOUT to REPLY_TRACKFILE, then any other
  for (const acdc::sim::MessageRecord& m : driver.records()) {
    bool exec = false, in_mix = false;
    for (uint64_t from : cached_from) exec = exec || (m.message_id >= from && m.message_id < from + kMessages);
    for (uint64_t from : mix_from) {
      if (m.message_id < from || m.message_id >= from + mix_size) continue;
      in_mix = true;
      uint32_t& code = mix_codes[m.message_id - from];
      if (code != UINT32_MAX && code != m.first.code) {
        std::fprintf(stderr, "channel_bench: row %llu of the mix answered %u, in an earlier round %u\n",
                     (unsigned long long)(m.message_id - from), m.first.code, code);
        return 29;
      }
      code = m.first.code;
      ++mix_replies[m.first.code < 6 ? m.first.code : 6];
    }
    if (in_mix) continue;
    if (m.first.code != (exec ? 2u : 1u)) {
      std::fprintf(stderr, "channel_bench: message %llu answered %u\n", (unsigned long long)m.message_id,
                   m.first.code);
      return 26;
    }
  }

  // The round of the median ratio gives the figure's two rates.
  auto median = [](std::vector<Pair> v) {
    std::sort(v.begin(), v.end(), [](const Pair& a, const Pair& b) { return a.ratio() < b.ratio(); });
    return v[v.size() / 2];
  };
  Pair m1 = median(one), m4 = median(four), mc = median(cached);
  std::vector<MixRound> by_ratio = mix;
  std::sort(by_ratio.begin(), by_ratio.end(), [](const MixRound& a, const MixRound& b) { return a.ratio() < b.ratio(); });
  const MixRound& mm = by_ratio[by_ratio.size() / 2];
  std::printf("FIGURE channel events decided natively, 1 outstanding, vs ping-pong%s\t%.0f /s\t%.0f /s\t%.2fx\t"
              "higher is better (goal >= 0.7x)\n",
              g_where, m1.channel, m1.baseline, m1.ratio());
  std::printf("FIGURE channel events decided natively, 4 handles on 4 threads, vs 4 ping-pong pairs%s\t%.0f /s\t"
              "%.0f /s\t%.2fx\thigher is better\n",
              g_where, m4.channel, m4.baseline, m4.ratio());
  std::printf("FIGURE channel cached executions (image lookup and cache hit), 1 outstanding, vs ping-pong%s\t%.0f /s\t"
              "%.0f /s\t%.2fx\thigher is better\n",
              g_where, mc.channel, mc.baseline, mc.ratio());
  // The share of a cached execution's time that its one image lookup takes.
  double event_ns = 1e9 / mc.channel;
  std::printf("FIGURE share of a cached execution in the process image lookup%s\t%.1f us\t%.1f us\t%.2fx\t"
              "lower is better\n",
              g_where, g_lookup_ns / 1000, event_ns / 1000, g_lookup_ns / event_ns);

  // The recorded mix: what it was, then its figures from the round of the median ratio.
  std::printf("recorded mix: %llu events, %s; %zu acting processes;", (unsigned long long)mix_size,
              g_mix_source.c_str(), g_mix->ActingProcesses());
  for (const auto& [op, n] : g_mix->OpCounts()) std::printf(" %s %llu", op.c_str(), (unsigned long long)n);
  double per_event = static_cast<double>(mix_size);
  std::printf("\nrecorded mix, per pass: %.2f image lookups per event, %.1f%% of events handed to Lua; replies:",
              static_cast<double>(mm.tally.lookups) / per_event, 100.0 * static_cast<double>(mm.tally.to_lua) / per_event);
  const char* const kCodes[7] = {"TIMEOUT", "ERROR", "ALLOW", "BLOCK", "IGNORE", "TRACKFILE", "other"};
  for (int c = 0; c < 7; ++c)
    if (mix_replies[c] != 0) std::printf(" %s %.1f%%", kCodes[c], 100.0 * static_cast<double>(mix_replies[c]) /
                                                           static_cast<double>(mix_size * mix.size()));
  std::printf("\n");
  std::printf("FIGURE channel recorded mix (image lookups, handlers, Lua replies), 1 outstanding, vs ping-pong%s\t"
              "%.0f /s\t%.0f /s\t%.2fx\thigher is better\n",
              g_where, mm.rates.channel, mm.rates.baseline, mm.ratio());
  double mix_lookup_ns = static_cast<double>(mm.tally.lookup_ns) / per_event;
  double mix_event_ns = static_cast<double>(mm.ns) / per_event;
  std::printf("FIGURE share of the recorded mix in the process image lookup%s\t%.1f us\t%.1f us\t%.2fx\t"
              "lower is better\n",
              g_where, mix_lookup_ns / 1000, mix_event_ns / 1000, mix_lookup_ns / mix_event_ns);
  std::fflush(stdout);  // the child leaves with _exit
  return 0;
}

// ---- the host (this process)

struct Host {
  lua_State* L;
  std::thread thread;
};

lua_State* NewState(int exit_fd) {
  lua_State* L = luaL_newstate();
  luaL_openlibs(L);
  luaL_requiref(L, "acdc", luaopen_acdc, 1);
  lua_pop(L, 1);
  lua_pushlightuserdata(L, reinterpret_cast<void*>(static_cast<intptr_t>(exit_fd)));
  lua_setglobal(L, "exit");
  return L;
}

// Waits in get until its handle is stopped; every event is decided natively.
const char kServe[] =
    "local h = assert(acdc.open(exit)) "
    "while true do local ev, code = h:get(-1, 1, 0, 0, '', 0, 0) if not ev then return code, 0 end end";

// The same for the recorded mix, where some events reach Lua: those the library has
// not answered (no bind_action) get REPLY_ALLOW. Returns the events Lua saw.
const char kServeMix[] =
    "local h = assert(acdc.open(exit)) "
    "local seen = 0 "
    "while true do "
    "  local ev, code = h:get(-1, 1, 0, 0, '', 0, 0) "
    "  if not ev then return code, seen end "
    "  seen = seen + 1 "
    "  if ev.bind_action == nil then assert(h:reply(ev, acdc.REPLY_ALLOW)) end "
    "end";

// Runs one serving loop; returns the events that reached Lua, or -1 on a Lua error.
int64_t Serve(lua_State* L, const char* chunk) {
  int64_t seen = -1;
  if (luaL_dostring(L, chunk) != 0) {
    std::fprintf(stderr, "channel_bench: %s\n", lua_tostring(L, -1));
  } else {
    seen = static_cast<int64_t>(lua_tonumber(L, -1));
  }
  lua_settop(L, 0);
  // The phase's handle is garbage now: collect it, so that its exit descriptor is not
  // among those the next phases' waits watch.
  lua_gc(L, LUA_GCCOLLECT, 0);
  return seen;
}

void Respond(int fd) {
  uint8_t message[acdc::sim::kEventMessageSize + 16];
  uint8_t reply[32] = {};
  for (;;) {
    ssize_t n = recv(fd, message, sizeof message, 0);
    if (n <= 0) return;  // an empty packet ends the phase
    if (send(fd, reply, sizeof reply, MSG_NOSIGNAL) != 32) return;
  }
}

int RunHost(int control, const int* pairs) {
  int exit_fd = eventfd(0, EFD_CLOEXEC);
  lua_State* main_state = NewState(exit_fd);
  if (RecvByte(control) != 0) return 30;
  if (luaL_dostring(main_state,
                    "assert(acdc.load()) acdc.ClearCache() assert(acdc.AddToCache('c:\\\\apps\\\\cached.exe', 1))") != 0) {
    std::fprintf(stderr, "%s\n", lua_tostring(main_state, -1));
    return 31;
  }
  SendByte(control, 0);
  std::vector<lua_State*> states;
  for (int i = 0; i < kPairs; ++i) states.push_back(NewState(exit_fd));
  for (;;) {
    Phase p = static_cast<Phase>(RecvByte(control));
    if (p == kDone) break;
    std::vector<std::thread> threads;
    int64_t to_lua = 0;  // of the mix's one thread
    // Only the mix's lookups are timed, so the other figures run the bare query. No
    // thread of the host runs between phases: the table changes hands safely here.
    if (p == kMix1) {
      acdc::bench::ImageLookupTimer::Install();
      acdc::bench::ImageLookupTimer::Reset();
    }
    for (int t = 0; t < Threads(p); ++t) {
      if (p == kMix1) {
        lua_State* L = states[t];
        threads.emplace_back([L, &to_lua] { to_lua = Serve(L, kServeMix); });
      } else if (IsChannel(p)) {
        lua_State* L = states[t];
        threads.emplace_back([L] { Serve(L, kServe); });
      } else {
        threads.emplace_back([pairs, t] { Respond(pairs[t]); });
      }
    }
    SendByte(control, p);
    if (RecvByte(control) != 0) return 32;
    if (IsChannel(p)) {
      uint64_t n = static_cast<uint64_t>(Threads(p));
      if (write(exit_fd, &n, sizeof n) != 8) return 33;
    }
    for (auto& t : threads) t.join();
    if (p == kMix1) {
      acdc::bench::ImageLookupTimer::Remove();
      acdc::bench::ImageLookupTally t = acdc::bench::ImageLookupTimer::Read();
      if (to_lua < 0) return 34;
      MixTally tally = {t.ns, t.lookups, t.failed, static_cast<uint64_t>(to_lua)};
      if (send(control, &tally, sizeof tally, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof tally)) return 35;
    }
    SendByte(control, 0);
  }
  luaL_dostring(main_state, "acdc.unload()");
  for (lua_State* L : states) lua_close(L);
  lua_close(main_state);
  close(exit_fd);
  return 0;
}

}  // namespace

// Starts the actor and times lookups of its image.
bool StartActor() {
  g_actor = fork();
  if (g_actor == 0) {
    execl("/bin/sleep", "sleep", "3600", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (g_actor < 0) return false;
  char image[acdc::event::kTextCapacity];
  constexpr int kLookups = 2000;
  int64_t start = acdc::sim::NowNs();
  for (int i = 0; i < kLookups; ++i)
    if (!acdc::event::GetProcessImagePath(static_cast<uint32_t>(g_actor), image)) return false;
  g_lookup_ns = static_cast<double>(acdc::sim::NowNs() - start) / kLookups;
  return true;
}

// A decimal number and nothing else.
bool WholeNumber(const char* text, uint64_t* out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (text[0] < '0' || text[0] > '9' || *end != '\0' || errno != 0) return false;
  *out = v;
  return true;
}

// Both processes and all their threads on the first CPU this one may use: threads and
// forked children inherit the mask. Where waking an idle CPU costs tens of
// microseconds (a virtual machine's halted CPU), every exchange that crosses CPUs pays
// that wake-up, and a reply that takes a few microseconds of work lets the waiting
// side's CPU go idle where a bare ping-pong does not: the ratio then measures the
// machine's wake-up more than the library. On one CPU each exchange is two context
// switches on both sides, and the ratio is the library's own cost.
bool PinToOneCpu() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return false;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return sched_setaffinity(0, sizeof one, &one) == 0;
  }
  return false;
}

int main(int argc, char** argv) {
  acdc::bench::MixSource source;
  source.examples_dir = ACDC_EXAMPLES_DIR;
  source.drive_c = ACDC_DRIVE_C;
  source.placeholder = ACDC_PLACEHOLDER;
  bool one_cpu = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--benchmark_", 0) == 0) continue;  // bench/run hands every benchmark these
    if (arg == "--workload" && i + 1 < argc) {
      source.workload = argv[++i];
    } else if (arg == "--one-cpu") {
      one_cpu = true;
    } else if (arg == "--mix-events" && i + 1 < argc && WholeNumber(argv[i + 1], &source.events) && source.events > 0) {
      ++i;
    } else {
      std::fprintf(stderr, "usage: channel_bench [--one-cpu] [--workload FILE] [--mix-events N (above 0)]\n");
      return 2;
    }
  }
  g_mix_source = source.workload.empty() ? "generated by examples/workload.lua, seed " + std::to_string(source.seed)
                                         : "the first rows of " + source.workload;
  if (one_cpu) {
    if (!PinToOneCpu()) return 1;
    g_where = " (one CPU)";
  }
  // The driver's endpoint names are fixed: keep them to this benchmark where allowed.
  unshare(CLONE_NEWNET);
  if (!StartActor()) return 1;
  // Its placeholders die with this thread, or with `mix` on the way out.
  acdc::bench::RecordedMix mix;
  std::string why;
  if (!mix.Prepare(source, &why)) {
    std::fprintf(stderr, "channel_bench: the recorded mix: %s\n", why.c_str());
    kill(g_actor, SIGKILL);
    waitpid(g_actor, nullptr, 0);
    return 1;
  }
  g_mix = &mix;
  int control[2];
  int pairs[kPairs][2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, control) != 0) return 1;
  for (auto& p : pairs)
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, p) != 0) return 1;
  pid_t child = fork();
  if (child == 0) {
    int driver_side[kPairs];
    for (int i = 0; i < kPairs; ++i) driver_side[i] = pairs[i][1];
    _exit(RunDriver(control[1], driver_side));
  }
  int host_side[kPairs];
  for (int i = 0; i < kPairs; ++i) host_side[i] = pairs[i][0];
  int rc = RunHost(control[0], host_side);
  int status = 0;
  waitpid(child, &status, 0);
  kill(g_actor, SIGKILL);
  waitpid(g_actor, nullptr, 0);
  if (rc != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "channel_bench: host %d, driver %d\n", rc, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 1;
  }
  return 0;
}
