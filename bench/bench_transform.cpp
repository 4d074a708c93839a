// Directional Motion Blur and Radial Blur on a UHD float RGBA frame with all cores, through
// fm::render on the CPU backend, next to references measured in the same run: the copy kernel
// (one read and one write of the frame) and a single translation group pass of 16 taps, through
// the CPU's translation runner and through the kernel's own work items.
//
// "samples/px" is what the render actually computed: bilinear samples of all group launches
// (grid pixels x taps) divided by the output's pixels. Work images are larger than the output
// by the blur's reach, so it exceeds the sum of the pass sizes a little.
#include <benchmark/benchmark.h>

#include "bench/BenchImages.h"
#include "bench/BenchRuns.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/WrappedCpuBackend.h"
#include "engine/cpu/CpuBackend.h"
#include "engine/cpu/CpuKernelTable.h"
#include "blurs/Render.h"
#include "engine/RenderSettings.h"
#include "engine/ThreadParallel.h"

namespace {

constexpr int kW = 3840, kH = 2160;
constexpr int kRepetitions = 3;
const fm::Rect kFrameRect{0, 0, kW, kH};

// The CPU backend, counting the bilinear samples of the group launches it runs.
class SampleCounter final : public fmbench::WrappedCpuBackend {
 public:
  explicit SampleCounter(fm::Parallel* par) : WrappedCpuBackend(par) {}
  bool launch(int k, fm::Buffer* d, const fm::Buffer* a, const fm::Buffer* b, const fm::Table* t, FMParams* p,
              int gw, int gh, double cost) override {
    if (k == FM_K_GROUP) samples += double(gw) * gh * p->count;
    return inner.launch(k, d, a, b, t, p, gw, gh, cost);
  }

  double samples = 0;
};

struct Frame {
  fm::ThreadParallel par{0};
  SampleCounter be{&par};
  fm::Buffer src, dst;

  Frame() {
    if (!be.allocImage(src, kW, kH) || !be.allocImage(dst, kW, kH)) {
      std::fprintf(stderr, "fm_bench_transform: cannot allocate two %dx%d images\n", kW, kH);
      std::exit(1);
    }
    fmbench::fillTestCard(src, 0x2545f491u);
    std::memset(dst.data, 0, size_t(dst.pitch) * kH * 16);
  }
  ~Frame() {
    be.freeImage(src);
    be.freeImage(dst);
  }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
};

Frame& frame() {
  static Frame f;
  return f;
}

// Samples per output pixel of the last measured render or pass, by name, for the summary.
std::map<std::string, double>& samplesPerPixel() {
  static std::map<std::string, double> m;
  return m;
}

void report(benchmark::State& state, const std::string& name, double samples) {
  const double perPixel = samples / (double(kW) * kH);
  samplesPerPixel()[name] = perPixel;
  state.counters["samples/px"] = perPixel;
  state.counters["threads"] = frame().par.threadCount();
}

void runCopy(benchmark::State& state) {
  Frame& f = frame();
  for (auto _ : state) {
    FMParams p;
    fm::makeParams(p, &f.dst, &f.src, nullptr);
    if (!f.be.launch(FM_K_COPY, &f.dst, &f.src, nullptr, nullptr, &p, kW, kH, 2.0))
      return state.SkipWithError("copy failed");
    benchmark::ClobberMemory();
  }
  report(state, "copy", 0);
}

// 16 taps on a diagonal, 1.3 pixels apart: fractional in both axes, so every tap blends four pixels.
FMParams translatePass() {
  Frame& f = frame();
  FMParams p;
  fm::makeParams(p, &f.dst, &f.src, nullptr);
  p.mode = FM_GROUP_TRANSLATE;
  p.count = 16;
  for (int i = 0; i < 16; ++i) {
    p.t[3 * i] = 1.3f * float(i - 8) * 0.6f;
    p.t[3 * i + 1] = 1.3f * float(i - 8) * 0.8f;
    p.t[3 * i + 2] = 1.0f / 16;
  }
  return p;
}

void runTranslatePass(benchmark::State& state) {
  Frame& f = frame();
  const FMParams block = translatePass();
  for (auto _ : state) {
    FMParams p = block;
    if (!f.be.launch(FM_K_GROUP, &f.dst, &f.src, nullptr, nullptr, &p, kW, kH, 64.0))
      return state.SkipWithError("group launch failed");
    benchmark::ClobberMemory();
  }
  report(state, "pass/translate16/runner", 16.0 * kW * kH);
}

// The same pass through the kernel's own work items, in bands of rows on the same threads.
struct ItemBands {
  FMParams p;
  void* dst;
  const void* src;
  int rowsPerBand;
};

void itemBand(void* ctx, int i) {
  const ItemBands& b = *static_cast<const ItemBands*>(ctx);
  const int first = i * b.rowsPerBand, end = std::min(first + b.rowsPerBand, kH);
  fm::cpuItemRunner(FM_K_GROUP)(kW, first, end, b.dst, b.src, nullptr, nullptr, b.p);
}

void runTranslateItems(benchmark::State& state) {
  Frame& f = frame();
  ItemBands bands{translatePass(), f.dst.data, f.src.data, 4};
  const int count = (kH + bands.rowsPerBand - 1) / bands.rowsPerBand;
  for (auto _ : state) {
    f.par.run(count, &bands, &itemBand);
    benchmark::ClobberMemory();
  }
  report(state, "pass/translate16/items", 16.0 * kW * kH);
}

RenderSettings baseSettings(int blurType) {
  RenderSettings s;
  s.blurType = blurType;
  s.inputBounds = s.inputResult = s.layerBounds = s.resultRect = s.maxResultRect = kFrameRect;
  return s;
}

void runRender(benchmark::State& state, const std::string& name, const RenderSettings& s) {
  Frame& f = frame();
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  const fm::PlacedImage input{&f.src, kFrameRect};
  std::string message;
  double samples = 0;
  auto render = [&] {
    fm::Buffer out;
    f.be.samples = 0;
    const bool ok =
        fm::render(f.be, s, scale, input, s.inputBounds, s.layerBounds, nullptr, kFrameRect, out, &message);
    samples = f.be.samples;
    benchmark::DoNotOptimize(out.data);
    f.be.freeImage(out);
    return ok;
  };
  if (!render()) return state.SkipWithError(("fm::render: " + message).c_str());  // warm-up
  for (auto _ : state)
    if (!render()) return state.SkipWithError(("fm::render: " + message).c_str());
  report(state, name, samples);
  state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
}

struct Named {
  std::string name;
  RenderSettings settings;
};

std::vector<Named> renders() {
  std::vector<Named> v;
  for (double direction : {90.0, 45.0}) {
    RenderSettings s = baseSettings(fm::kMotionBlur);
    s.motionBlurType = 1;
    s.direction = direction;
    s.blurLength = 100;
    v.push_back({"render/directional/100px/dir:" + std::to_string(int(direction)), s});
  }
  RenderSettings spin = baseSettings(fm::kRadialBlur);
  spin.radialType = 1;
  spin.radialAmount = 10;
  spin.centerX = kW / 2.0;
  spin.centerY = kH / 2.0;
  v.push_back({"render/radial/spin:10deg", spin});
  RenderSettings zoom = spin;
  zoom.radialType = 2;
  v.push_back({"render/radial/zoom:10pct", zoom});
  return v;
}

void timing(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5)->Repetitions(kRepetitions);
}

void summary(const fmbench::MedianReporter& rep) {
  std::printf("\n==== Summary: %dx%d float RGBA, %d threads, median of %d repetitions ====\n", kW, kH,
              frame().par.threadCount(), kRepetitions);
  std::printf("  %-36s %10s %12s %14s\n", "", "ms", "samples/px", "ns/sample/thr");
  auto line = [&](const std::string& name) {
    const double t = rep.ms(name);
    if (t < 0) {
      std::printf("  %-36s failed or not run\n", name.c_str());
      return;
    }
    const double spp = samplesPerPixel()[name];
    if (spp > 0)
      std::printf("  %-36s %10.1f %12.1f %14.2f\n", name.c_str(), t, spp,
                  t * 1e6 * frame().par.threadCount() / (spp * double(kW) * kH));
    else
      std::printf("  %-36s %10.1f %12s %14s\n", name.c_str(), t, "-", "-");
  };
  line("copy");
  line("pass/translate16/runner");
  line("pass/translate16/items");
  for (const Named& r : renders()) line(r.name);
  const double runner = rep.ms("pass/translate16/runner"), items = rep.ms("pass/translate16/items");
  if (runner > 0 && items > 0)
    std::printf("  translation runner vs the kernel's work items: %.2fx faster\n", items / runner);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  fmbench::printMachine("fm_bench_transform", frame().par.threadCount());
  std::printf("%dx%d float RGBA; renders are timed after an untimed warm-up render\n", kW, kH);
  benchmark::RegisterBenchmark("copy", runCopy)->Apply(timing);
  benchmark::RegisterBenchmark("pass/translate16/runner", runTranslatePass)->Apply(timing);
  benchmark::RegisterBenchmark("pass/translate16/items", runTranslateItems)->Apply(timing);
  for (const Named& r : renders()) {
    const Named copy = r;
    benchmark::RegisterBenchmark(r.name.c_str(), [copy](benchmark::State& st) {
      runRender(st, copy.name, copy.settings);
    })->Apply(timing);
  }
  fmbench::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  summary(reporter);
  benchmark::Shutdown();
  return 0;
}
