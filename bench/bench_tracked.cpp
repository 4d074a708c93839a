// A full tracked render of a 1920 x 1080 frame with both neighbours (a textured square moving
// over a still background) on the CPU backend with all cores, "Motion Blur" and "Motion Vectors"
// output. Besides the total per render, the counters split the time between flow estimation
// (pyramids, patch search, refinement, match statistics, enlargement) and reconstruction
// (velocity, tiles, gather or vector image, copies), measured around each launch.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "bench/WrappedCpuBackend.h"
#include "engine/cpu/CpuBackend.h"
#include "engine/ThreadParallel.h"
#include "tests/support/TrackedSequence.h"
#include "tracking/TrackedMotion.h"

namespace {

constexpr int kW = 1920, kH = 1080;

// The CPU backend with the time of every launch summed by stage; CPU launches are synchronous,
// so the time around a launch is its work.
class StageTimer final : public fmbench::WrappedCpuBackend {
 public:
  explicit StageTimer(fm::Parallel* par) : WrappedCpuBackend(par) {}
  bool launch(int k, fm::Buffer* d, const fm::Buffer* a, const fm::Buffer* b, const fm::Table* t, FMParams* p,
              int gw, int gh, double cost) override {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = inner.launch(k, d, a, b, t, p, gw, gh, cost);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    (isReconstruction(k) ? reconstruction : flow) += s;
    return ok;
  }

  static bool isReconstruction(int k) {
    return k == FM_K_MVEL || k == FM_K_TILEMAX || k == FM_K_NEIGHBORMAX || k == FM_K_MBLUR || k == FM_K_MVVIEW ||
           k == FM_K_COPY || k == FM_K_CLEAR;
  }

  double flow = 0.0, reconstruction = 0.0;
};

const fmtest::SquareSequence& sequence() {
  static const fmtest::SquareSequence s = fmtest::squareSequence(kW, kH, 700, 400, 360, 8.0, 0.0, 3);
  return s;
}

void trackedRender(benchmark::State& state) {
  const int output = int(state.range(0));
  const fmtest::SquareSequence& s = sequence();
  fm::ThreadParallel par(0);
  StageTimer be(&par);
  const fm::Buffer cb = s.current.buffer(), pb = s.previous.buffer(), nb = s.next.buffer();
  const fm::Rect rect{0, 0, kW, kH};
  const fm::PlacedImage prev{&pb, rect}, next{&nb, rect};
  fm::TrackedFrames frames;
  frames.current = {&cb, rect};
  frames.previous = &prev;
  frames.next = &next;
  const RenderSettings st = fmtest::trackedSettings(output, 0.5, 70.0);
  fm::Buffer out;
  if (!be.allocImage(out, kW, kH)) {
    state.SkipWithError("no output image");
    return;
  }
  std::string msg;
  for (auto _ : state) {
    if (!fm::renderTrackedMotion(be, st, frames, rect, out, &msg)) {
      state.SkipWithError(("render failed: " + msg).c_str());
      break;
    }
  }
  be.freeImage(out);
  const double n = double(state.iterations());
  state.counters["flow_ms"] = n > 0 ? be.flow * 1e3 / n : 0.0;
  state.counters["reconstruction_ms"] = n > 0 ? be.reconstruction * 1e3 / n : 0.0;
  state.SetLabel(output == 1 ? "Motion Blur" : "Motion Vectors");
}

BENCHMARK(trackedRender)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
