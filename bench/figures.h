// Figures beside their baselines. Each benchmark binary registers Google Benchmark
// cases, runs them, and prints one line per figure: name, value, baseline, ratio and
// which direction is better, all measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace acdc::bench {

// Keeps the CPU time per iteration (ns) of every case that ran; of a case run
// several times (Repetitions), the fastest. Both because the machines are shared:
// wall time would also measure the neighbours' work, and the fastest run is the one
// they disturbed least.
class CaptureReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations <= 0) continue;
      double t = run.GetAdjustedCPUTime();
      std::string name = run.benchmark_name();
      size_t repeats = name.find("/repeats:");
      if (repeats != std::string::npos) name.erase(repeats);
      auto it = ns_.find(name);
      if (it == ns_.end() || t < it->second) ns_[name] = t;
    }
    benchmark::ConsoleReporter::ReportRuns(runs);
  }
  double ns(const std::string& name) const {
    auto it = ns_.find(name);
    return it == ns_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> ns_;
};

struct Figure {
  std::string name;      // what is measured
  std::string measured;  // benchmark case of the figure
  std::string baseline;  // benchmark case of its baseline
  double goal;           // the ratio it should stay under (0: none)
};

// One figure line: name, value, baseline, ratio and which direction is better.
inline void PrintFigure(const std::string& name, double value_ns, double base_ns, double goal) {
  std::printf("FIGURE %s\t%.1f ns\t%.1f ns\t%.2fx\tlower is better", name.c_str(), value_ns, base_ns,
              value_ns / base_ns);
  if (goal > 0) std::printf(" (goal <= %.1fx)", goal);
  std::printf("\n");
}

// Runs all registered cases and prints the figure lines, lower time being better.
inline int RunFigures(int argc, char** argv, const std::vector<Figure>& figures) {
  benchmark::Initialize(&argc, argv);
  CaptureReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  for (const Figure& f : figures) {
    double value = reporter.ns(f.measured), base = reporter.ns(f.baseline);
    if (value <= 0 || base <= 0) continue;
    PrintFigure(f.name, value, base, f.goal);
  }
  return 0;
}

// Mean wall time of one call of `op(t)` as each of `threads` threads sees it, all
// starting together, thread t making `per_thread` calls.
template <typename Op>
double ConcurrentNs(int threads, int per_thread, Op op) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<double> ns(threads);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      ++ready;
      while (!go.load()) std::this_thread::yield();
      auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < per_thread; ++i) op(t);
      ns[t] = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / per_thread;
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  go = true;
  for (std::thread& th : pool) th.join();
  double sum = 0;
  for (double v : ns) sum += v;
  return sum / threads;
}

}  // namespace acdc::bench
