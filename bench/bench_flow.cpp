// Optical flow between two 1920 x 1080 frames with all cores: estimateFlow at "Vector Detail"
// Full and Half with motion sensitivity 70, next to OpenCV's DIS optical flow (presets fast
// and medium, same thread count) when the build found OpenCV's video module. The summary
// gives each method's median time and its mean end-point error on pairs with known motion.
//
// Fogmill is timed twice: estimateFlow alone on prebuilt pyramids, and from the frames
// (both pyramids, the estimation, and the flow brought to full size). OpenCV is timed on 8-bit
// grey frames converted beforehand.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "engine/cpu/CpuBackend.h"
#include "engine/ThreadParallel.h"
#include "tests/support/FlowFrames.h"
#include "tracking/EstimateFlow.h"
#include "tracking/FeaturePyramid.h"
#include "tracking/ScratchPool.h"

#ifdef FM_BENCH_WITH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>
#endif

namespace {

constexpr int kW = 1920, kH = 1080;
constexpr double kSensitivity = 70.0;
constexpr int kRepetitions = 5;
// The tracked driver's limit: a quarter of the larger side at full sensitivity.
const float kMaxFlow = float(std::max(kW, kH) * kSensitivity / 100.0 * 0.25);

struct Pairs {
  fmtest::FlowPair translated = fmtest::translatedPair(kW, kH, 7.3, -3.6, 11);
  fmtest::FlowPair rotated = fmtest::rotatedPair(kW, kH, 2.0, 12);
};

Pairs& pairs() {
  static Pairs p;
  return p;
}

struct Engine {
  fm::ThreadParallel par{0};
  fm::CpuBackend be{&par, nullptr, nullptr};
};

Engine& engine() {
  static Engine e;
  return e;
}

// Pyramids, estimation and enlargement to full size; the full-size flow when `out` is given.
bool fogmillFlow(const fmtest::FlowPair& pr, int detail, fmtest::HostImage* out) {
  const fmtest::TrackResult r = fmtest::trackPair(engine().be, pr.current, pr.other, detail, kMaxFlow);
  if (out) *out = r.flow;
  return r.ok;
}

void runFogmillFromFrames(benchmark::State& state, int detail) {
  for (auto _ : state)
    if (!fogmillFlow(pairs().translated, detail, nullptr)) state.SkipWithError("flow failed");
  state.counters["threads"] = engine().par.threadCount();
}

void runFogmillEstimate(benchmark::State& state, int detail) {
  fm::Backend& be = engine().be;
  const fmtest::FlowPair& pr = pairs().translated;
  const fm::Buffer cb = pr.current.buffer(), ob = pr.other.buffer();
  const fm::Rect rect{0, 0, kW, kH};
  const fm::PyramidRange range = fm::choosePyramidRange(kW, kH, detail, kMaxFlow);
  fm::ScratchPool pool(be);
  fm::FeaturePyramid a, b;
  if (!fm::buildFeaturePyramid(be, pool, {&cb, rect}, rect, range.coarsest, a) ||
      !fm::buildFeaturePyramid(be, pool, {&ob, rect}, rect, range.coarsest, b)) {
    state.SkipWithError("pyramid failed");
    return;
  }
  for (auto _ : state) {
    fm::Buffer *flow = nullptr, *tmpl = nullptr;
    if (!fm::estimateFlow(be, pool, a, b, range, flow, tmpl)) state.SkipWithError("flow failed");
    pool.release(flow);
    pool.release(tmpl);
  }
  state.counters["threads"] = engine().par.threadCount();
  state.counters["levels"] = range.coarsest - range.finest + 1;
}

#ifdef FM_BENCH_WITH_OPENCV
cv::Mat grey8(const fmtest::HostImage& im) {
  cv::Mat m(im.height(), im.width(), CV_8UC1);
  for (int y = 0; y < im.height(); ++y)
    for (int x = 0; x < im.width(); ++x)
      m.at<uint8_t>(y, x) = uint8_t(std::clamp(std::lround(im.at(x, y).r * 255.0f), 0L, 255L));
  return m;
}

struct CvPair {
  cv::Mat current, other;
  explicit CvPair(const fmtest::FlowPair& pr) : current(grey8(pr.current)), other(grey8(pr.other)) {}
};

const CvPair& cvPair(bool rotated) {
  static CvPair t(pairs().translated), r(pairs().rotated);
  return rotated ? r : t;
}

cv::Mat cvFlow(int preset, bool rotated) {
  cv::Ptr<cv::DISOpticalFlow> dis = cv::DISOpticalFlow::create(preset);
  cv::Mat flow;
  dis->calc(cvPair(rotated).current, cvPair(rotated).other, flow);
  return flow;
}

void runCvDis(benchmark::State& state, int preset) {
  cv::Ptr<cv::DISOpticalFlow> dis = cv::DISOpticalFlow::create(preset);
  const CvPair& c = cvPair(false);
  cv::Mat flow;
  for (auto _ : state) {
    dis->calc(c.current, c.other, flow);
    benchmark::ClobberMemory();
  }
  state.counters["threads"] = cv::getNumThreads();
}
#endif

// Mean end-point error over the pixels whose target stays inside the frame.
[[maybe_unused]] double cvEndPointError(const fmtest::FlowPair& pr, const void* flow, size_t step) {
  double sum = 0;
  size_t n = 0;
  for (int y = 0; y < kH; ++y) {
    const float* row = reinterpret_cast<const float*>(static_cast<const char*>(flow) + y * step);
    for (int x = 0; x < kW; ++x) {
      const size_t i = size_t(y) * kW + x;
      if (!pr.inside[i]) continue;
      sum += std::hypot(double(row[2 * x]) - pr.u[i], double(row[2 * x + 1]) - pr.v[i]);
      ++n;
    }
  }
  return n ? sum / double(n) : 0.0;
}

// Median real seconds per iteration by benchmark name: shared machines are noisy, so every
// benchmark is repeated and summarised by its median.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // Only the aggregates are shown; the median of the repetitions is what the summary uses.
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median" && r.iterations > 0 && !r.error_occurred)
        samples[r.run_name.function_name].push_back(r.real_accumulated_time / double(r.iterations));
    benchmark::ConsoleReporter::ReportRuns(runs);
  }
  double ms(const std::string& name) const {
    auto it = samples.find(name);
    if (it == samples.end() || it->second.empty()) return -1.0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return 1e3 * v[v.size() / 2];
  }

 private:
  std::map<std::string, std::vector<double>> samples;
};

void row(const CollectingReporter& rep, const char* label, const std::string& name, double epeT, double epeR) {
  const double t = rep.ms(name);
  if (t < 0) std::printf("  %-34s %10s", label, "not run");
  else std::printf("  %-34s %8.1f ms", label, t);
  std::printf("   EPE translation %.3f px, rotation %.3f px\n", epeT, epeR);
}

void configure(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(kRepetitions);
  b->DisplayAggregatesOnly(true);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("fm_bench_flow: %dx%d frames, motion sensitivity %.0f (largest flow %.1f px), %d threads\n", kW, kH,
              kSensitivity, kMaxFlow, engine().par.threadCount());
  std::printf("pairs: translation (7.3, -3.6) px; rotation 2 degrees about the centre\n");
#ifdef FM_BENCH_WITH_OPENCV
  cv::setNumThreads(engine().par.threadCount());
  std::printf("OpenCV %s DIS optical flow, %d threads\n", CV_VERSION, cv::getNumThreads());
#endif
  // One untimed flow first: the first large allocations of the process are much slower than
  // later ones (the system assembles its huge pages), and would land on the first benchmark.
  if (!fogmillFlow(pairs().translated, 1, nullptr)) std::printf("warning: the warm-up flow failed\n");
  std::fflush(stdout);

  const char* detailName[] = {"", "full", "half"};
  for (int detail : {1, 2}) {
    benchmark::RegisterBenchmark((std::string("fogmill_estimateFlow_") + detailName[detail]).c_str(),
                                 runFogmillEstimate, detail)
        ->Apply(configure);
    benchmark::RegisterBenchmark((std::string("fogmill_from_frames_") + detailName[detail]).c_str(),
                                 runFogmillFromFrames, detail)
        ->Apply(configure);
  }
#ifdef FM_BENCH_WITH_OPENCV
  benchmark::RegisterBenchmark("opencv_dis_fast", runCvDis, int(cv::DISOpticalFlow::PRESET_FAST))
      ->Apply(configure);
  benchmark::RegisterBenchmark("opencv_dis_medium", runCvDis, int(cv::DISOpticalFlow::PRESET_MEDIUM))
      ->Apply(configure);
#endif
  CollectingReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);

  std::printf("\nSummary (median time per flow; end-point error over pixels whose target stays inside):\n");
  for (int detail : {1, 2}) {
    fmtest::HostImage ft, fr;
    const bool ok = fogmillFlow(pairs().translated, detail, &ft) && fogmillFlow(pairs().rotated, detail, &fr);
    const double eT = ok ? fmtest::meanEndPointError(pairs().translated, ft) : -1;
    const double eR = ok ? fmtest::meanEndPointError(pairs().rotated, fr) : -1;
    const std::string d = detailName[detail];
    row(rep, ("Fogmill estimateFlow, " + d).c_str(), "fogmill_estimateFlow_" + d, eT, eR);
    row(rep, ("Fogmill from frames, " + d).c_str(), "fogmill_from_frames_" + d, eT, eR);
  }
#ifdef FM_BENCH_WITH_OPENCV
  for (int preset : {int(cv::DISOpticalFlow::PRESET_FAST), int(cv::DISOpticalFlow::PRESET_MEDIUM)}) {
    const cv::Mat t = cvFlow(preset, false), r = cvFlow(preset, true);
    const bool fast = preset == cv::DISOpticalFlow::PRESET_FAST;
    row(rep, fast ? "OpenCV DIS fast" : "OpenCV DIS medium", fast ? "opencv_dis_fast" : "opencv_dis_medium",
        cvEndPointError(pairs().translated, t.ptr(), t.step), cvEndPointError(pairs().rotated, r.ptr(), r.step));
  }
#else
  std::printf("  OpenCV's video module was not found: no DIS comparison (scripts/bootstrap --bench)\n");
#endif
  benchmark::Shutdown();
  return 0;
}
