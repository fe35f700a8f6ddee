// Benchmark support: a console reporter that also remembers each run's rows/s, so that
// a program can print ratios against a baseline measured in the same run.
#ifndef TQ_BENCH_BENCH_SUPPORT_H
#define TQ_BENCH_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

class RateReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("rows/s");
      if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
      auto peak = run.counters.find("peakMB");
      if (peak != run.counters.end()) peaks_[run.benchmark_name()] = peak->second.value;
      for (const auto& c : run.counters) counters_[run.benchmark_name() + "#" + c.first] = c.second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double rate(const std::string& name) const {
    auto it = rates_.find(name);
    return it == rates_.end() ? 0.0 : it->second;
  }
  double peak(const std::string& name) const {
    auto it = peaks_.find(name);
    return it == peaks_.end() ? 0.0 : it->second;
  }
  const std::map<std::string, double>& rates() const { return rates_; }
  // Any counter of a run (0 when the run had none).
  double counter(const std::string& name, const std::string& counter) const {
    auto it = counters_.find(name + "#" + counter);
    return it == counters_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> rates_;
  std::map<std::string, double> peaks_;
  std::map<std::string, double> counters_;
};

// The common command line: --rows=N adds a row count to the default 1M, --dir=DIR
// chooses where temporary files go; the rest is for Google Benchmark.
struct BenchArgs {
  std::vector<int64_t> sizes{1000000};
  std::string dir = "/tmp";
  std::vector<char*> rest;
};

inline BenchArgs parseBenchArgs(int argc, char** argv) {
  BenchArgs a;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--rows=", 7) == 0) {
      a.sizes.push_back(std::atoll(argv[i] + 7));
    } else if (std::strncmp(argv[i], "--dir=", 6) == 0) {
      a.dir = argv[i] + 6;
    } else {
      a.rest.push_back(argv[i]);
    }
  }
  return a;
}

// Runs the registered benchmarks with the arguments Google Benchmark was left; the
// reporter keeps their rates for the ratios printed afterwards.
inline void runBenchmarks(BenchArgs& args, RateReporter* reporter) {
  int count = static_cast<int>(args.rest.size());
  benchmark::Initialize(&count, args.rest.data());
  benchmark::RunSpecifiedBenchmarks(reporter);
}

// Prints "name: N rows/s, ratio R to baseline" for each pair.
inline void printRatio(const RateReporter& r, const std::string& name, const std::string& base) {
  double a = r.rate(name), b = r.rate(base);
  if (a <= 0 || b <= 0) return;
  std::printf("%-60s %12.0f rows/s  %5.2fx of %s\n", name.c_str(), a, a / b, base.c_str());
}

#endif
