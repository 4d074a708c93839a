// Camera Lens Blur on a UHD float RGBA frame with all cores: whole renders through fm::render
// on the CPU backend, one radius for the frame and a radius per pixel from a blur map, at the
// effect's default iris, fringe and linear light. Each line reports milliseconds per frame and
// the reduction factor the plan chose; the summary at the end repeats them side by side.
#include <benchmark/benchmark.h>

#include "bench/BenchImages.h"

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

// Milliseconds (mean of the timed iterations) and factor per benchmark name, for the summary.
std::map<std::string, std::pair<double, int>>& results() {
  static std::map<std::string, std::pair<double, int>> m;
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
  double seconds = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    fm::Buffer out;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = fm::render(f.be, s, scale, input, kImageRect, kImageRect, withMap ? &map : nullptr, kImageRect,
                               out, &message);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++frames;
    f.be.freeImage(out);
    if (!ok) {
      state.SkipWithError(("render failed: " + message).c_str());
      return;
    }
  }
  state.counters["factor"] = factor;
  state.counters["threads"] = f.par.threadCount();
  state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
  results()[name] = {1000 * seconds / double(frames), factor};
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (bool withMap : {false, true})
    for (double radius : {20.0, 60.0, 300.0}) {
      const std::string name = std::string(withMap ? "lens_map" : "lens_constant") + "/r:" + std::to_string(int(radius));
      benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) { runLens(st, name, radius, withMap); })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MinTime(1.0);
    }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  if (!results().empty()) {
    std::printf("\nCamera Lens Blur, %dx%d, %d threads (ms per frame, reduction factor)\n", kW, kH,
                frame().par.threadCount());
    std::printf("%-8s %22s %22s\n", "radius", "constant", "blur map");
    for (int radius : {20, 60, 300}) {
      std::printf("%-8d", radius);
      for (const char* kind : {"lens_constant", "lens_map"}) {
        const auto it = results().find(std::string(kind) + "/r:" + std::to_string(radius));
        if (it == results().end())
          std::printf(" %22s", "-");
        else
          std::printf(" %13.1f ms  f=%-3d", it->second.first, it->second.second);
      }
      std::printf("\n");
    }
  }
  return 0;
}
