// What the benchmarks share: the line naming the processor and the instruction-set level the
// CPU kernels run at, a warm-up before anything is timed, and the median of repetitions.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/cpu/CpuIsa.h"

namespace fmbench {

inline std::string processorName() {
  std::ifstream info("/proc/cpuinfo");
  std::string line;
  while (std::getline(info, line))
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
    }
  return "unknown processor";
}

// "fm_bench_x: <processor>, <n> threads, CPU kernels at <level>".
inline void printMachine(const char* bench, int threads) {
  std::printf("%s: %s, %d threads, CPU kernels at %s (FM_CPU_ISA=baseline|avx2|avx512 forces a level)\n", bench,
              processorName().c_str(), threads, fm::cpuIsaName(fm::cpuIsa()));
}

// Real seconds per iteration of each repetition, by benchmark name, and CPU seconds (of the
// whole process, for benchmarks that measure it: on a shared machine a sturdier yardstick
// than real time); shows the aggregates only when there are repetitions.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && r.iterations > 0 && !r.error_occurred) {
        samples[r.run_name.function_name].push_back(r.real_accumulated_time / double(r.iterations));
        cpuSamples[r.run_name.function_name].push_back(r.cpu_accumulated_time / double(r.iterations));
      }
      if (r.run_type == Run::RT_Aggregate || r.repetitions <= 1) shown.push_back(r);
    }
    if (!shown.empty()) benchmark::ConsoleReporter::ReportRuns(shown);
  }
  // The median in milliseconds, or a negative value when the benchmark failed or did not run.
  double ms(const std::string& name) const { return median(samples, name); }
  double cpuMs(const std::string& name) const { return median(cpuSamples, name); }
  // The lowest and highest repetition in milliseconds.
  std::pair<double, double> range(const std::string& name) const {
    auto it = samples.find(name);
    if (it == samples.end() || it->second.empty()) return {-1.0, -1.0};
    const auto mm = std::minmax_element(it->second.begin(), it->second.end());
    return {1e3 * *mm.first, 1e3 * *mm.second};
  }

 private:
  static double median(const std::map<std::string, std::vector<double>>& all, const std::string& name) {
    auto it = all.find(name);
    if (it == all.end() || it->second.empty()) return -1.0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return 1e3 * (v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]));
  }
  std::map<std::string, std::vector<double>> samples, cpuSamples;
};

}  // namespace fmbench
