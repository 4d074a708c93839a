// A full tracked render of a 1920 x 1080 frame with both neighbours on the CPU backend with all
// cores, "Motion Blur" and "Motion Vectors" output, on two sequences: a frame whose whole
// texture moves, and a textured square moving over a still background. Besides the total per
// render, the counters split the time between flow estimation (pyramids, patch search,
// refinement, match statistics, enlargement) and reconstruction (velocity, tiles, gather or
// vector image, copies), measured around each launch. When the build found OpenCV's video
// module, one DIS medium flow between the same frames, same thread count, is the yardstick.
// Every line is the median of repetitions after an untimed warm-up render.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "bench/BenchRuns.h"
#include "bench/WrappedCpuBackend.h"
#include "engine/cpu/CpuBackend.h"
#include "engine/ThreadParallel.h"
#include "tests/support/FlowFrames.h"
#include "tests/support/TrackedSequence.h"
#include "tracking/TrackedMotion.h"

#ifdef FM_BENCH_WITH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>
#endif

namespace {

constexpr int kW = 1920, kH = 1080;
constexpr int kRepetitions = 5;

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
  // Chains go to the CPU backend whole, as a render's backend gets them: link by link through
  // launch() above, they would not run fused.
  bool launchChain(fm::ChainLink* links, int count) override {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = inner.launchChain(links, count);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    (count > 0 && isReconstruction(links[0].kernel) ? reconstruction : flow) += s;
    return ok;
  }

  static bool isReconstruction(int k) {
    return k == FM_K_MVEL || k == FM_K_TILEMAX || k == FM_K_NEIGHBORMAX || k == FM_K_MBLUR || k == FM_K_MVVIEW ||
           k == FM_K_COPY || k == FM_K_CLEAR;
  }

  double flow = 0.0, reconstruction = 0.0;
};

struct Sequence {
  const char* name;
  fmtest::HostImage previous, current, next;
};

// The whole texture moving by (6.3, -2.4) px per frame, and the square of the tests.
const Sequence& sequence(bool texture) {
  static const Sequence moving = [] {
    const fmtest::FlowPair forward = fmtest::translatedPair(kW, kH, 6.3, -2.4, 21);
    const fmtest::FlowPair backward = fmtest::translatedPair(kW, kH, -6.3, 2.4, 21);
    return Sequence{"texture", backward.other, forward.current, forward.other};
  }();
  static const Sequence square = [] {
    const fmtest::SquareSequence s = fmtest::squareSequence(kW, kH, 700, 400, 360, 8.0, 0.0, 3);
    return Sequence{"square", s.previous, s.current, s.next};
  }();
  return texture ? moving : square;
}

fm::ThreadParallel& threads() {
  static fm::ThreadParallel par(0);
  return par;
}

void trackedRender(benchmark::State& state, bool texture, int output) {
  const Sequence& s = sequence(texture);
  StageTimer be(&threads());
  const fm::Buffer cb = s.current.buffer(), pb = s.previous.buffer(), nb = s.next.buffer();
  const fm::Rect rect{0, 0, kW, kH};
  const fm::PlacedImage prev{&pb, rect}, next{&nb, rect};
  fm::TrackedFrames frames;
  frames.current = {&cb, rect};
  frames.previous = &prev;
  frames.next = &next;
  const RenderSettings st = fmtest::trackedSettings(output, 0.5, 70.0);
  fm::Buffer out;
  if (!be.allocImage(out, kW, kH)) return state.SkipWithError("no output image");
  std::string msg;
  if (!fm::renderTrackedMotion(be, st, frames, rect, out, &msg)) {  // warm-up
    be.freeImage(out);
    return state.SkipWithError(("render failed: " + msg).c_str());
  }
  be.flow = be.reconstruction = 0.0;
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
  state.counters["threads"] = threads().threadCount();
  state.SetLabel(output == fm::kOutputMotionBlur ? "Motion Blur" : "Motion Vectors");
}

std::string renderName(bool texture, int output) {
  return std::string("trackedRender/") + sequence(texture).name +
         (output == fm::kOutputMotionBlur ? "/blur" : "/vectors");
}

#ifdef FM_BENCH_WITH_OPENCV
cv::Mat grey8(const fmtest::HostImage& im) {
  cv::Mat m(im.height(), im.width(), CV_8UC1);
  for (int y = 0; y < im.height(); ++y)
    for (int x = 0; x < im.width(); ++x)
      m.at<uint8_t>(y, x) = uint8_t(std::clamp(std::lround(im.at(x, y).r * 255.0f), 0L, 255L));
  return m;
}

void disMedium(benchmark::State& state, bool texture) {
  const Sequence& s = sequence(texture);
  const cv::Mat a = grey8(s.current), b = grey8(s.next);
  cv::Ptr<cv::DISOpticalFlow> dis = cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM);
  cv::Mat flow;
  dis->calc(a, b, flow);  // warm-up
  for (auto _ : state) {
    dis->calc(a, b, flow);
    benchmark::ClobberMemory();
  }
  state.counters["threads"] = cv::getNumThreads();
}
#endif

void configure(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->MinTime(1.0)->Repetitions(kRepetitions);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  fmbench::printMachine("fm_bench_tracked", threads().threadCount());
  std::printf("%dx%d frames, both neighbours, blur amount 0.5, motion sensitivity 70\n", kW, kH);
#ifdef FM_BENCH_WITH_OPENCV
  cv::setNumThreads(threads().threadCount());
#endif
  std::fflush(stdout);
  for (bool texture : {true, false}) {
    for (int output : {fm::kOutputMotionBlur, fm::kOutputMotionVectors})
      benchmark::RegisterBenchmark(renderName(texture, output).c_str(), trackedRender, texture, output)
          ->Apply(configure);
#ifdef FM_BENCH_WITH_OPENCV
    benchmark::RegisterBenchmark((std::string("opencv_dis_medium/") + sequence(texture).name).c_str(), disMedium,
                                 texture)
        ->Apply(configure);
#endif
  }
  fmbench::MedianReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);

  std::printf("\nSummary (median real ms per frame; in brackets the process's CPU ms, all threads):\n");
  for (bool texture : {true, false}) {
    const char* name = sequence(texture).name;
    const std::string blurName = renderName(texture, fm::kOutputMotionBlur);
    const std::string vectorsName = renderName(texture, fm::kOutputMotionVectors);
    const std::string disName = std::string("opencv_dis_medium/") + name;
    const double blur = rep.ms(blurName), dis = rep.ms(disName);
    std::printf("  %-8s Motion Blur %7.1f ms [%7.1f]   Motion Vectors %7.1f ms [%7.1f]   one DIS medium flow %7.1f ms [%7.1f]\n",
                name, blur, rep.cpuMs(blurName), rep.ms(vectorsName), rep.cpuMs(vectorsName), dis, rep.cpuMs(disName));
    if (blur > 0 && dis > 0) {
      std::printf("           blur / DIS medium = %.2fx [CPU %.2fx]", blur / dis, rep.cpuMs(blurName) / rep.cpuMs(disName));
      if (texture) std::printf(" (target <= 2.5): %s", blur / dis <= 2.5 ? "meets target" : "misses target");
      std::printf("\n");
    }
  }
#ifndef FM_BENCH_WITH_OPENCV
  std::printf("  OpenCV's video module was not found: no DIS yardstick (scripts/bootstrap --bench)\n");
#endif
  benchmark::Shutdown();
  return 0;
}
