// Figures beside their baselines. Each benchmark binary registers Google Benchmark
// cases, runs them, and prints one line per figure: name, value, baseline, ratio and
// which direction is better, all measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace acdc::bench {

// Keeps the time per iteration (ns) of every case that ran.
class CaptureReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && run.iterations > 0)
        ns_[run.benchmark_name()] = run.GetAdjustedRealTime();
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

// Runs all registered cases and prints the figure lines, lower time being better.
inline int RunFigures(int argc, char** argv, const std::vector<Figure>& figures) {
  benchmark::Initialize(&argc, argv);
  CaptureReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  for (const Figure& f : figures) {
    double value = reporter.ns(f.measured), base = reporter.ns(f.baseline);
    if (value <= 0 || base <= 0) continue;
    std::printf("FIGURE %s\t%.1f ns\t%.1f ns\t%.2fx\tlower is better", f.name.c_str(), value, base, value / base);
    if (f.goal > 0) std::printf(" (goal <= %.1fx)", f.goal);
    std::printf("\n");
  }
  return 0;
}

}  // namespace acdc::bench
