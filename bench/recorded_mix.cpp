#include "bench/recorded_mix.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "sim/driver_core.h"

namespace acdc::bench {

namespace {

// Where the two ids sit in an event message: the header's 64-bit message id and the
// body's 32-bit event id.
constexpr size_t kMessageIdAt = 8;
constexpr size_t kEventIdAt = 24;

// The rows as the agent's --save writes them: its generator through its CSV writer.
const char kGenerate[] =
    "local dir, seed, rows, path = ... "
    "package.path = dir .. '/?.lua;' .. package.path "
    "local workload, csv = require 'workload', require 'csv' "
    "local gen = workload.new(seed) "
    "local out = assert(io.open(path, 'wb')) "
    "out:write('time_ms,op,pid,ppid,image,path,new_path,cmdline\\r\\n') "
    "for _ = 1, rows do out:write(csv.format_record { gen:next() }) end "
    "assert(out:close())";

}  // namespace

// Nothing with a destructor lives in this frame: the pushes run outside a protected
// call, and a failed one ends in Lua's panic.
bool WriteGeneratedWorkload(const char* examples_dir, uint32_t seed, uint64_t rows, const char* path, char* why,
                            size_t why_size) {
  lua_State* L = luaL_newstate();
  if (L == nullptr) {
    std::snprintf(why, why_size, "no memory for a Lua state");
    return false;
  }
  luaL_openlibs(L);
  int rc = luaL_loadbuffer(L, kGenerate, sizeof kGenerate - 1, "=workload generator");
  if (rc == LUA_OK) {
    lua_pushstring(L, examples_dir);
    lua_pushnumber(L, seed);
    lua_pushnumber(L, static_cast<lua_Number>(rows));
    lua_pushstring(L, path);
    rc = lua_pcall(L, 4, 0, 0);
  }
  if (rc != LUA_OK) {
    const char* message = lua_tostring(L, -1);
    std::snprintf(why, why_size, "generating the workload: %s", message != nullptr ? message : "(no message)");
  }
  lua_close(L);
  return rc == LUA_OK;
}

RecordedMix::RecordedMix() = default;
RecordedMix::~RecordedMix() = default;

bool RecordedMix::Prepare(const MixSource& source, std::string* why) {
  sim::SimConfig config;
  config.drive_c = source.drive_c;
  config.placeholder = source.placeholder;
  config.max_events = source.events;
  config.workload = source.workload;
  char generated[] = "/tmp/acdc-mix-XXXXXX.csv";
  if (config.workload.empty()) {
    int fd = mkstemps(generated, 4);
    if (fd < 0) {
      *why = std::string("cannot make a temporary file: ") + std::strerror(errno);
      return false;
    }
    close(fd);
    char reason[512];
    if (!WriteGeneratedWorkload(source.examples_dir.c_str(), source.seed, source.events, generated, reason,
                                sizeof reason)) {
      unlink(generated);
      *why = reason;
      return false;
    }
    config.workload = generated;
  }
  sim_ = std::make_unique<sim::Simulator>(config);
  bool ok = sim_->Prepare(why);
  if (source.workload.empty()) unlink(generated);  // read whole by Prepare
  if (!ok) return false;
  if (sim_->events().empty()) {
    *why = "the workload " + config.workload + " has no event to send";
    return false;
  }
  events_ = &sim_->events();
  messages_.assign(events_->size() * sim::kEventMessageSize, 0);
  for (size_t i = 0; i < events_->size(); ++i)
    sim::BuildEventMessage((*events_)[i].fields, 0, &messages_[i * sim::kEventMessageSize]);
  return true;
}

uint64_t RecordedMix::Make(uint64_t i, uint64_t message_id, uint8_t* out) const {
  std::memcpy(out, &messages_[(i % size()) * sim::kEventMessageSize], sim::kEventMessageSize);
  uint32_t event_id = static_cast<uint32_t>(message_id);
  std::memcpy(out + kMessageIdAt, &message_id, sizeof message_id);
  std::memcpy(out + kEventIdAt, &event_id, sizeof event_id);
  return message_id;
}

std::map<std::string, uint64_t> RecordedMix::OpCounts() const {
  std::map<std::string, uint64_t> counts;
  for (const sim::PlannedEvent& e : *events_) ++counts[e.op];
  return counts;
}

size_t RecordedMix::ActingProcesses() const {
  std::set<uint32_t> pids;
  for (const sim::PlannedEvent& e : *events_) pids.insert(e.fields.pid);
  return pids.size();
}

}  // namespace acdc::bench
