// Camera Lens Blur on a UHD float RGBA frame with all cores: whole renders through fm::render
// on the CPU backend, one radius for the frame and a radius per pixel from a blur map, at the
// effect's default iris, fringe and linear light. Each line reports milliseconds per frame and
// the reduction factor the plan chose, the median of repetitions after an untimed warm-up
// render; the summary at the end repeats them side by side.
#include <benchmark/benchmark.h>

#include "bench/BenchImages.h"
#include "bench/BenchRuns.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

#include "blurs/CameraLensPlan.h"
#include "engine/cpu/CpuBackend.h"
#include "blurs/Render.h"
#include "engine/RenderSettings.h"
#include "engine/ThreadParallel.h"

namespace {

constexpr int kW = 3840, kH = 2160;
const fm::Rect kImageRect{0, 0, kW, kH};

struct Frame {
  fm::ThreadParallel par{0};
  fm::CpuBackend be{&par, nullptr, nullptr};
  fm::Buffer src, depth;

  Frame() {
    if (!be.allocImage(src, kW, kH) || !be.allocImage(depth, kW, kH)) {
      std::fprintf(stderr, "fm_bench_lens: cannot allocate two %dx%d images\n", kW, kH);
      std::exit(1);
    }
    // Pseudo-random pixels so that no sum can be shortcut; the blur map is a grey depth ramp
    // with ripples, so that radii vary from pixel to pixel.
    fmbench::fillTestCard(src, 0x2545f491u);
    float* d = static_cast<float*>(depth.data);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const float v = 0.8f * float(y) / kH + 0.2f * float(((x / 97) + (y / 61)) % 5) / 4.0f;
        float* m = d + (size_t(y) * depth.pitch + x) * 4;
        m[0] = m[1] = m[2] = v;
        m[3] = 1.0f;
      }
  }
  ~Frame() {
    be.freeImage(src);
    be.freeImage(depth);
  }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
};

Frame& frame() {
  static Frame f;
  return f;
}

constexpr int kRepetitions = 3;

// The reduction factor per benchmark name, for the summary.
std::map<std::string, int>& factors() {
  static std::map<std::string, int> m;
  return m;
}

void runLens(benchmark::State& state, const std::string& name, double radius, bool withMap) {
  Frame& f = frame();
  RenderSettings s;
  s.blurType = fm::kCameraLensBlur;
  s.blurRadius = radius;
  s.hasBlurMap = withMap;
  s.blurFocalDistance = 0.5;
  const double scale[3] = {1, 1, 1};
  const int factor = fm::makeLensPlan(s, scale).factor;
  fm::PlacedImage input{&f.src, kImageRect};
  fm::MapImage map;
  map.buffer = &f.depth;
  map.rect = kImageRect;
  map.bounds = kImageRect;
  std::string message;
  auto render = [&] {
    fm::Buffer out;
    const bool ok = fm::render(f.be, s, scale, input, kImageRect, kImageRect, withMap ? &map : nullptr, kImageRect,
                               out, &message);
    f.be.freeImage(out);
    return ok;
  };
  if (!render()) return state.SkipWithError(("render failed: " + message).c_str());  // warm-up
  for (auto _ : state)
    if (!render()) return state.SkipWithError(("render failed: " + message).c_str());
  state.counters["factor"] = factor;
  state.counters["threads"] = f.par.threadCount();
  state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
  factors()[name] = factor;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  fmbench::printMachine("fm_bench_lens", frame().par.threadCount());
  for (bool withMap : {false, true})
    for (double radius : {20.0, 60.0, 300.0}) {
      const std::string name = std::string(withMap ? "lens_map" : "lens_constant") + "/r:" + std::to_string(int(radius));
      benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) { runLens(st, name, radius, withMap); })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MinTime(1.0)
          ->Repetitions(kRepetitions);
    }
  fmbench::MedianReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  benchmark::Shutdown();

  std::printf("\nCamera Lens Blur, %dx%d, %d threads (median ms per frame of %d repetitions, reduction factor)\n", kW,
              kH, frame().par.threadCount(), kRepetitions);
  std::printf("%-8s %22s %22s\n", "radius", "constant", "blur map");
  for (int radius : {20, 60, 300}) {
    std::printf("%-8d", radius);
    for (const char* kind : {"lens_constant", "lens_map"}) {
      const std::string name = std::string(kind) + "/r:" + std::to_string(radius);
      const double ms = rep.ms(name);
      if (ms < 0)
        std::printf(" %22s", "-");
      else
        std::printf(" %13.1f ms  f=%-3d", ms, factors()[name]);
    }
    std::printf("\n");
  }
  return 0;
}
