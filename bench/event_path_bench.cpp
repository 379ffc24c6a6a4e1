// Native work per event, from a driver message in memory to a chosen reply, for the
// events decided without I/O: the agent's own events and types without a handler.
// Baseline: copying the message and lower-casing its path, at the median (34) and
// 99th-percentile (185) path lengths of the recorded workloads.
//
// The record lives in reused storage, as a channel handle's buffer does. Two ways
// to bring it back to zero are measured: the reset that clears only what the last
// event wrote (what the library does), and a clear of the whole record.
#include <cstring>
#include <memory>

#include "event/dispatcher.h"
#include "event/driver_message.h"
#include "event/records.h"
#include "figures.h"
#include "platform/services.h"

namespace {

using namespace acdc::event;

struct Workload {
  alignas(8) uint8_t message[kDriverEventMessageSize];
};

// A message naming a path of `length` bytes under C:\Windows\System32, like most of
// the recorded paths.
Workload MakeMessage(size_t length, uint32_t type, uint32_t pid) {
  Workload w = {};
  const char* prefix = "C:\\Windows\\System32\\";
  char16_t name[512];
  for (size_t i = 0; i < length; ++i) {
    char c = i < std::strlen(prefix) ? prefix[i] : static_cast<char>('A' + i % 26);
    name[i] = static_cast<char16_t>(c);
  }
  std::memcpy(w.message + msg::kName, name, length * 2);
  uint32_t bytes = static_cast<uint32_t>(length * 2);
  std::memcpy(w.message + msg::kNameSize, &bytes, 4);
  std::memcpy(w.message + msg::kType, &type, 4);
  std::memcpy(w.message + msg::kPid, &pid, 4);
  uint32_t id = 77;
  std::memcpy(w.message + msg::kId, &id, 4);
  return w;
}

void Baseline(benchmark::State& state) {
  Workload w = MakeMessage(static_cast<size_t>(state.range(0)), 13, 4);
  alignas(8) uint8_t copy[kDriverEventMessageSize];
  for (auto _ : state) {
    std::memcpy(copy, w.message, sizeof copy);
    benchmark::DoNotOptimize(copy);
    char16_t* name = reinterpret_cast<char16_t*>(copy + msg::kName);
    uint32_t units;
    std::memcpy(&units, copy + msg::kNameSize, 4);
    units /= 2;
    for (uint32_t i = 0; i < units; ++i)
      if (name[i] >= u'A' && name[i] <= u'Z') name[i] = static_cast<char16_t>(name[i] + 32);
    benchmark::DoNotOptimize(copy);
    benchmark::ClobberMemory();
  }
}

template <bool kFullClear>
void Decide(benchmark::State& state, uint32_t type, bool own) {
  uint32_t pid = own ? acdc::platform::CurrentProcessId() : 4;
  Workload w = MakeMessage(static_cast<size_t>(state.range(0)), type, pid);
  auto record = std::make_unique<EventRecord>();
  ClearEventRecord(record.get());
  DecodeInputs in = {1, 0, "", 0, 0, nullptr};
  for (auto _ : state) {
    if (kFullClear) ClearEventRecord(record.get());
    FillEventRecord(w.message, in, record.get());
    int result = DispatchEvent(&record->reply, &record->event);
    benchmark::DoNotOptimize(result);
    benchmark::DoNotOptimize(record->reply);
  }
}

void OwnEvent(benchmark::State& s) { Decide<false>(s, 18, true); }
void NoHandler(benchmark::State& s) { Decide<false>(s, 13, false); }
void OwnEventFullClear(benchmark::State& s) { Decide<true>(s, 18, true); }
void NoHandlerFullClear(benchmark::State& s) { Decide<true>(s, 13, false); }

BENCHMARK(Baseline)->Arg(34)->Arg(185);
BENCHMARK(OwnEvent)->Arg(34)->Arg(185);
BENCHMARK(NoHandler)->Arg(34)->Arg(185);
BENCHMARK(OwnEventFullClear)->Arg(34)->Arg(185);
BENCHMARK(NoHandlerFullClear)->Arg(34)->Arg(185);

}  // namespace

int main(int argc, char** argv) {
  using acdc::bench::Figure;
  std::vector<Figure> figures;
  for (const char* len : {"34", "185"}) {
    std::string base = std::string("Baseline/") + len;
    figures.push_back({std::string("event path: own event, path ") + len + " B", std::string("OwnEvent/") + len, base, 3});
    figures.push_back({std::string("event path: no handler, path ") + len + " B", std::string("NoHandler/") + len, base, 3});
    figures.push_back({std::string("event path: own event, full clear, path ") + len + " B",
                       std::string("OwnEventFullClear/") + len, base, 0});
    figures.push_back({std::string("event path: no handler, full clear, path ") + len + " B",
                       std::string("NoHandlerFullClear/") + len, base, 0});
  }
  return acdc::bench::RunFigures(argc, argv, figures);
}
