// Side-by-side measurement: a baseline and Kavrel's way of doing the same
// work take turns, round after round (the order swapped every round), so
// that whatever else the machine is doing falls on both. Each round gives one
// ratio; the report is the median ratio with its range, in wall-clock and in
// CPU time, and whether the goal set for it is met.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace kavrel::bench {

// What one side's share of a round cost, in seconds.
struct Cost {
  double wall = 0;
  double cpu = 0;
  bool failed = false;  // the work did not complete or its data did not verify
};

inline double Seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Measures from construction to Stop(); CPU time of the calling thread, or
// of the whole process where the work spans threads.
class Stopwatch {
 public:
  explicit Stopwatch(clockid_t cpuClock = CLOCK_THREAD_CPUTIME_ID)
      : cpuClock_(cpuClock), wall_(Seconds(CLOCK_MONOTONIC)), cpu_(Seconds(cpuClock)) {}
  Cost Stop() const { return {Seconds(CLOCK_MONOTONIC) - wall_, Seconds(cpuClock_) - cpu_}; }

 private:
  clockid_t cpuClock_;
  double wall_;
  double cpu_;
};

// Adds up many short timed sections (the untimed set-up between them left out).
struct Accumulated {
  Cost total;
  void Add(const Cost& c) {
    total.wall += c.wall;
    total.cpu += c.cpu;
    total.failed = total.failed || c.failed;
  }
};

// A goal on the ratio: Speed is baseline time / Kavrel time (a throughput
// ratio, higher is better, met when >= limit); Cost is Kavrel time /
// baseline time (lower is better, met when <= limit); None only reports.
enum class Goal { None, Speed, Cost };

struct Summary {
  double median = 0, low = 0, high = 0;
};

inline Summary Summarise(std::vector<double> ratios) {
  std::sort(ratios.begin(), ratios.end());
  const size_t n = ratios.size();
  Summary s;
  s.low = ratios.front();
  s.high = ratios.back();
  s.median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
  return s;
}

class PairedRuns {
 public:
  explicit PairedRuns(int rounds) : rounds_(rounds) {}

  // Returns false when a round failed (reported, no ratio).
  bool Compare(const std::string& name, Goal goal, double limit,
               const std::function<Cost()>& baseline, const std::function<Cost()>& kavrel) {
    return CompareTogether(name, goal, limit, [&](bool baselineFirst, Cost& b, Cost& k) {
      if (baselineFirst) {
        b = baseline();
        k = kavrel();
      } else {
        k = kavrel();
        b = baseline();
      }
    });
  }

  // As Compare, for work whose two sides take turns within a round (in
  // short stretches, so that both meet the same conditions): `round` fills
  // in both sides' costs, starting with the baseline when told to.
  bool CompareTogether(const std::string& name, Goal goal, double limit,
                       const std::function<void(bool baselineFirst, Cost& b, Cost& k)>& round) {
    if (!Selected(name)) return true;
    std::vector<double> wall, cpu;
    for (int r = 0; r < rounds_; ++r) {
      Cost b, k;
      round(r % 2 == 0, b, k);
      if (b.failed || k.failed) {
        std::printf("%-62s FAILED (%s side did not complete or verify)\n", name.c_str(),
                    b.failed ? "baseline" : "kavrel");
        std::fflush(stdout);
        ++failures_;
        return false;
      }
      wall.push_back(Ratio(goal, b.wall, k.wall));
      cpu.push_back(Ratio(goal, b.cpu, k.cpu));
    }
    const Summary w = Summarise(wall), c = Summarise(cpu);
    const char* unit = goal == Goal::Cost ? "x the baseline's time" : "x the baseline's speed";
    std::string verdict;
    if (goal != Goal::None) {
      const bool met = goal == Goal::Speed ? w.median >= limit : w.median <= limit;
      verdict =
          std::string(met ? "PASS" : "short") + (goal == Goal::Speed ? " (goal >= " : " (goal <= ");
      char number[32];
      std::snprintf(number, sizeof number, "%.2f)", limit);
      verdict += number;
      if (!met) ++short_;
    }
    char cpuText[64] = "cpu n/a";
    if (c.low > 0)
      std::snprintf(cpuText, sizeof cpuText, "cpu %.3f [%.3f..%.3f]", c.median, c.low, c.high);
    std::printf("%-62s wall %.3f [%.3f..%.3f]  %-26s %s  %s\n", name.c_str(), w.median, w.low,
                w.high, cpuText, unit, verdict.c_str());
    std::fflush(stdout);
    return true;
  }

  // The process's exit status: a failed round fails the run; a goal not met
  // is reported, not failed (a loaded machine moves ratios).
  int Finish() const {
    std::printf("\n%d comparison(s) failed, %d goal(s) short; medians of %d paired rounds\n",
                failures_, short_, rounds_);
    return failures_ ? 1 : 0;
  }

 private:
  // KAVREL_BENCH_LINES, when set, runs only the lines whose names contain it.
  static bool Selected(const std::string& name) {
    const char* only = std::getenv("KAVREL_BENCH_LINES");
    return only == nullptr || name.find(only) != std::string::npos;
  }

  static double Ratio(Goal goal, double baseline, double kavrel) {
    if (baseline <= 0 || kavrel <= 0) return 0;
    return goal == Goal::Cost ? kavrel / baseline : baseline / kavrel;
  }

  int rounds_;
  int failures_ = 0;
  int short_ = 0;
};

}  // namespace kavrel::bench
