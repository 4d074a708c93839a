// Vector Blur on a UHD frame with all cores: amounts 20 and 100, with the source as its own
// map and with a separate map layer; the median of repetitions after an untimed warm-up render.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "bench/BenchRuns.h"
#include "engine/cpu/CpuBackend.h"
#include "blurs/Render.h"
#include "engine/ThreadParallel.h"

namespace {

constexpr int kW = 3840, kH = 2160;

struct Frames {
  fm::ThreadParallel par{0};
  fm::CpuBackend be{&par, nullptr, nullptr};
  fm::Buffer image, map;
  Frames() {
    if (!be.allocImage(image, kW, kH) || !be.allocImage(map, kW / 4, kH / 4)) std::abort();
    fill(image, 0.013f);
    fill(map, 0.031f);
  }
  ~Frames() {
    be.freeImage(image);
    be.freeImage(map);
  }
  static void fill(fm::Buffer& b, float f) {
    float* px = static_cast<float*>(b.data);
    for (int y = 0; y < b.height; ++y)
      for (int x = 0; x < b.width; ++x) {
        float* q = px + (size_t(y) * b.pitch + x) * 4;
        const float v = 0.5f + 0.5f * std::sin(x * f) * std::cos(y * f * 1.3f);
        q[0] = v;
        q[1] = 1 - v;
        q[2] = 0.5f * v;
        q[3] = 1;
      }
  }
};

Frames& frames() {
  static Frames f;
  return f;
}

void BM_vector(benchmark::State& state) {
  Frames& f = frames();
  const bool withMap = state.range(1) != 0;
  RenderSettings s;
  s.blurType = fm::kVectorBlur;
  s.vectorAmount = double(state.range(0));
  s.vectorType = FM_VEC_NATURAL;
  const double scale[3] = {1, 1, 1};
  const fm::Rect rect{0, 0, kW, kH};
  const fm::PlacedImage input{&f.image, rect};
  const fm::MapImage map{&f.map, fm::Rect{0, 0, kW / 4, kH / 4}, fm::Rect{0, 0, kW / 4, kH / 4}};
  std::string message;
  auto render = [&] {
    fm::Buffer out;
    const bool ok = fm::render(f.be, s, scale, input, rect, rect, withMap ? &map : nullptr, rect, out, &message);
    f.be.freeImage(out);
    return ok;
  };
  if (!render()) return state.SkipWithError(message.c_str());  // warm-up
  for (auto _ : state)
    if (!render()) return state.SkipWithError(message.c_str());
  const double samples = std::min(std::max(std::ceil(std::fabs(s.vectorAmount)), 1.0), 511.0) + 1;
  state.counters["samples_per_px"] = samples;
  state.counters["threads"] = f.par.threadCount();
}

BENCHMARK(BM_vector)
    ->ArgsProduct({{20, 100}, {0, 1}})
    ->ArgNames({"amount", "map"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(0.5)
    ->Repetitions(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  fmbench::printMachine("fm_bench_vector", frames().par.threadCount());
  fmbench::MedianReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  benchmark::Shutdown();
  return 0;
}
