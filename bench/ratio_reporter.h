// A console reporter that, after the run, prints each benchmark's time as a
// ratio to its baseline: pairs are named "<case>/baseline" and "<case>/kavrel".
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace kavrel::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const std::string name = run.benchmark_name();
      const double ns = run.GetAdjustedRealTime();
      const double bytesPerSecond = run.counters.count("bytes_per_second")
                                        ? double(run.counters.at("bytes_per_second"))
                                        : 0.0;
      times_[name] = {ns, bytesPerSecond};
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf(
        "\nRatios (kavrel time / baseline time; for throughput, kavrel rate / baseline rate):\n");
    for (const auto& [name, kavrel] : times_) {
      const auto slash = name.find("/kavrel");
      if (slash == std::string::npos) continue;
      const std::string base = name.substr(0, slash) + "/baseline" + name.substr(slash + 7);
      const auto it = times_.find(base);
      if (it == times_.end()) continue;
      if (kavrel.bytesPerSecond > 0 && it->second.bytesPerSecond > 0) {
        std::printf("  %-48s throughput %.3fx of baseline (%.1f vs %.1f MiB/s)\n",
                    name.substr(0, slash).c_str(),
                    kavrel.bytesPerSecond / it->second.bytesPerSecond,
                    kavrel.bytesPerSecond / 1048576.0, it->second.bytesPerSecond / 1048576.0);
      } else {
        std::printf("  %-48s %.2fx the baseline's time (%.1f ns vs %.1f ns)\n",
                    name.substr(0, slash).c_str(), kavrel.ns / it->second.ns, kavrel.ns,
                    it->second.ns);
      }
    }
  }

 private:
  struct Figures {
    double ns;
    double bytesPerSecond;
  };
  std::map<std::string, Figures> times_;
};

// main() for a benchmark program that prints the ratios.
inline int RunWithRatios(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace kavrel::bench
