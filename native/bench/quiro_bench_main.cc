// quiro-bench: Google Benchmark runner that, after the usual table, prints
// every benchmark's time per frame relative to the bare RNNoise call.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "quiro_bench.h"

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Keeps each benchmark's CPU time per iteration in ns: the median when it
  // ran with repetitions, else its single run.
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.str();
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median) has_median_[name] = true;
      if (median || (run.run_type == Run::RT_Iteration && !has_median_[name])) {
        cpu_ns_[name] = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) *
                        benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    const auto baseline = cpu_ns_.find(quiro_bench::kBaselineName);
    if (baseline == cpu_ns_.end() || baseline->second <= 0.0) return;
    std::printf("\nCPU time per frame relative to %s (%.0f ns):\n", quiro_bench::kBaselineName,
                baseline->second);
    for (const auto& [name, ns] : cpu_ns_) {
      std::printf("  %-40s %10.0f ns  %6.3fx\n", name.c_str(), ns, ns / baseline->second);
    }
  }

 private:
  std::map<std::string, double> cpu_ns_;
  std::map<std::string, bool> has_median_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
