// Box and Gaussian Blur on a UHD float RGBA frame with all cores: whole renders through
// fm::render on the CPU backend, each 1D pass kernel launched alone, and memcpy of the same
// image, next to OpenCV's GaussianBlur and blur when the build found OpenCV. The summary at
// the end is computed from this run's own numbers.
//
// Bytes counted for the single passes and for memcpy: bytes read + bytes written, that is
// 2 x image bytes per iteration (a pass ideally reads its source once and writes its
// destination once). Whole renders count pixels (items) instead.
#include <benchmark/benchmark.h>

#include "bench/BenchImages.h"
#include "bench/BenchRuns.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/cpu/CpuBackend.h"
#include "blurs/Render.h"
#include "engine/RenderSettings.h"
#include "engine/ThreadParallel.h"

#ifdef FM_BENCH_WITH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kW = 3840, kH = 2160;
constexpr double kSigmaPerBlurriness = 0.2777777777777778;
constexpr int kIterations = 3;  // box repeats, for Fogmill and OpenCV alike
// The direct pass of Gaussian blurriness 10: 19 taps.
constexpr int kConvTaps = 9;
constexpr double kConvSigma = 10 * kSigmaPerBlurriness;
// OpenCV's GaussianBlur convolves directly, so its time grows with the kernel length; longer
// kernels than this would take far more than a few seconds per iteration.
constexpr int kMaxOpenCvGaussianTaps = 1000;
// Shared machines are noisy; the summary uses the median of this many repetitions.
constexpr int kRepetitions = 3;
// Alternating pass/memcpy pairs timed for each pass's paired ratio (an odd count: a true median).
constexpr int kPairs = 15;
constexpr int kRenderPairs = 7;  // whole renders are long: fewer pairs

// ------------------------------------------------------------------ the shared frame

struct Frame {
  fm::ThreadParallel par{0};
  fm::CpuBackend be{&par, nullptr, nullptr};
  fm::Buffer src, dst, mid;  // mid: between the two passes of a direct pair

  Frame() {
    if (!be.allocImage(src, kW, kH) || !be.allocImage(dst, kW, kH) || !be.allocImage(mid, kW, kH)) {
      std::fprintf(stderr, "fm_bench_separable: cannot allocate three %dx%d images\n", kW, kH);
      std::exit(1);
    }
    // Premultiplied pseudo-random pixels over a smooth gradient: fixed for every run, and
    // varied enough that no pass can shortcut constant input.
    fmbench::fillTestCard(src, 0x9e3779b9u);
    std::memset(dst.data, 0, imageBytes());
  }
  ~Frame() {
    be.freeImage(src);
    be.freeImage(dst);
    be.freeImage(mid);
  }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  size_t imageBytes() const { return size_t(src.pitch) * kH * 16; }
  int threads() { return par.threadCount(); }
};

Frame& frame() {
  static Frame f;
  return f;
}

const fm::Rect kImageRect{0, 0, kW, kH};

// Failures by benchmark name, so that the summary never uses the time of a failed run.
std::map<std::string, std::string>& failures() {
  static std::map<std::string, std::string> m;
  return m;
}

void fail(benchmark::State& state, const std::string& name, const std::string& why) {
  failures()[name] = why;
  state.SkipWithError(why.c_str());
}

// ------------------------------------------------------------------ benchmark bodies

void runMemcpy(benchmark::State& state) {
  Frame& f = frame();
  for (auto _ : state) {
    std::memcpy(f.dst.data, f.src.data, f.imageBytes());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * int64_t(f.imageBytes()));
}

// memcpy spread over the same threads as the kernels, in bands of rows.
struct CopyBands {
  const char* src;
  char* dst;
  size_t bandBytes, totalBytes;
};

void copyBand(void* ctx, int i) {
  const CopyBands& c = *static_cast<const CopyBands*>(ctx);
  const size_t begin = size_t(i) * c.bandBytes;
  if (begin >= c.totalBytes) return;
  std::memcpy(c.dst + begin, c.src + begin, std::min(c.bandBytes, c.totalBytes - begin));
}

void runMemcpyThreads(benchmark::State& state) {
  Frame& f = frame();
  const int bands = 4 * f.threads();
  const size_t rowBytes = size_t(f.src.pitch) * 16;
  const size_t rowsPerBand = (size_t(kH) + bands - 1) / bands;
  CopyBands c{static_cast<const char*>(f.src.data), static_cast<char*>(f.dst.data),
              rowsPerBand * rowBytes, f.imageBytes()};
  for (auto _ : state) {
    f.par.run(bands, &c, copyBand);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * int64_t(f.imageBytes()));
  state.counters["threads"] = f.threads();
}

void zeroBand(void* ctx, int i) {
  const CopyBands& c = *static_cast<const CopyBands*>(ctx);
  const size_t begin = size_t(i) * c.bandBytes;
  if (begin < c.totalBytes)
    std::memset(c.dst + begin, 0, std::min(c.bandBytes, c.totalBytes - begin));
}

// What a render pays per image it allocates: fresh pages are faulted in and zeroed by the
// system on first write (here by all threads, as the kernels write), which a copy into an
// image allocated once never sees.
void runAllocTouch(benchmark::State& state) {
  Frame& f = frame();
  const int bands = 4 * f.threads();
  const size_t rowsPerBand = (size_t(kH) + bands - 1) / bands;
  for (auto _ : state) {
    fm::Buffer b;
    if (!f.be.allocImage(b, kW, kH)) return fail(state, "alloc_first_touch", "allocImage failed");
    CopyBands c{nullptr, static_cast<char*>(b.data), rowsPerBand * size_t(b.pitch) * 16,
                f.imageBytes()};
    f.par.run(bands, &c, zeroBand);
    benchmark::ClobberMemory();
    f.be.freeImage(b);
  }
  state.counters["threads"] = f.threads();
}

// Normalised Gaussian taps for a direct pass of n taps each side.
void gaussianTaps(FMParams& p, int n, double sigma) {
  double w[FM_T_FLOATS], sum = 0.0;
  for (int k = -n; k <= n; ++k) sum += (w[k + n] = std::exp(-0.5 * k * k / (sigma * sigma)));
  for (int k = 0; k <= 2 * n; ++k) p.t[k] = float(w[k] / sum);
}

// Checks the pass's output at the centre pixel, far from every edge, against a plain sum.
bool centreMatches(Frame& f, const FMParams& p, bool box, bool rows) {
  const int cx = kW / 2, cy = kH / 2;
  const float* s = static_cast<const float*>(f.src.data);
  const float* d = static_cast<const float*>(f.dst.data);
  for (int c = 0; c < 4; ++c) {
    double sum = 0.0;
    for (int k = -p.n; k <= p.n; ++k) {
      const int x = rows ? cx + k : cx, y = rows ? cy : cy + k;
      const double w = box ? 1.0 / (2 * p.n + 1) : p.t[k + p.n];
      sum += w * s[(size_t(y) * f.src.pitch + x) * 4 + c];
    }
    const double got = d[(size_t(cy) * f.dst.pitch + cx) * 4 + c];
    if (!(std::fabs(got - sum) <= 1e-4 * std::max(1.0, std::fabs(sum)))) return false;
  }
  return true;
}

// The same for a direct rows pass followed by a direct column pass: the 2D sum.
bool pairCentreMatches(Frame& f, const FMParams& p) {
  const int cx = kW / 2, cy = kH / 2;
  const float* s = static_cast<const float*>(f.src.data);
  const float* d = static_cast<const float*>(f.dst.data);
  for (int c = 0; c < 4; ++c) {
    double sum = 0.0;
    for (int i = -p.n; i <= p.n; ++i)
      for (int k = -p.n; k <= p.n; ++k)
        sum += double(p.t[i + p.n]) * p.t[k + p.n] * s[(size_t(cy + i) * f.src.pitch + cx + k) * 4 + c];
    const double got = d[(size_t(cy) * f.dst.pitch + cx) * 4 + c];
    if (!(std::fabs(got - sum) <= 1e-4 * std::max(1.0, std::fabs(sum)))) return false;
  }
  return true;
}

// One 1D pass over the whole frame, blocked as the separable runner blocks it on a CPU
// backend: a box pass slides over a whole row (or column) as one segment.
struct PassLaunch {
  int kernel = 0;
  FMParams block;
  int gridW = kW, gridH = kH;
  double cost = 1.0;
  bool rows = false, box = false;

  PassLaunch(Frame& f, int k, int n, int mode) : kernel(k) {
    rows = kernel == FM_K_BOX_ROWS || kernel == FM_K_CONV_ROWS;
    box = kernel == FM_K_BOX_ROWS || kernel == FM_K_BOX_COLS;
    fm::makeParams(block, &f.dst, &f.src, nullptr);
    block.mode = mode;
    block.n = n;
    block.lo = 0;
    block.hi = rows ? kW : kH;
    cost = 2.0 * n + 1.0;
    if (box) {
      block.segLen = rows ? kW : kH;
      block.frac = 0.0f;
      cost += 4.0 * block.segLen;
      if (rows) {
        gridW = 1;  // one segment per row
      } else {
        gridH = 1;  // one segment per column
        block.y1 = 1;
      }
    } else if (2 * n + 1 <= FM_T_FLOATS) {
      gaussianTaps(block, n, kConvSigma);
    }
  }
  bool valid() const { return box || 2 * block.n + 1 <= FM_T_FLOATS; }
  bool run(Frame& f) const {
    FMParams p = block;
    return f.be.launch(kernel, &f.dst, &f.src, nullptr, nullptr, &p, gridW, gridH, cost);
  }
};

void runPass(benchmark::State& state, const std::string& name, int kernel, int n, int mode) {
  Frame& f = frame();
  const PassLaunch pass(f, kernel, n, mode);
  if (!pass.valid()) return fail(state, name, "too many taps");
  std::memset(f.dst.data, 0, f.imageBytes());  // so that a launch that writes nothing shows
  for (auto _ : state) {
    if (!pass.run(f)) {
      fail(state, name, std::string("launch of ") + fm::kernelName(kernel) + " failed");
      return;
    }
    benchmark::ClobberMemory();
  }
  if (!centreMatches(f, pass.block, pass.box, pass.rows))
    return fail(state, name, "wrong result at the centre pixel: these timings mean nothing");
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * int64_t(f.imageBytes()));
  state.counters["threads"] = f.threads();
}

// A direct rows pass and the column pass after it, launched as the Gaussian launches them: one
// chain, which the CPU runs in tiles without writing the image between them.
struct PairLaunch {
  PassLaunch rows, cols;
  explicit PairLaunch(Frame& f)
      : rows(f, FM_K_CONV_ROWS, kConvTaps, FM_EDGE_ZERO), cols(f, FM_K_CONV_COLS, kConvTaps, FM_EDGE_ZERO) {
    fm::makeParams(rows.block, &f.mid, &f.src, nullptr);
    fm::makeParams(cols.block, &f.dst, &f.mid, nullptr);
    for (PassLaunch* l : {&rows, &cols}) {
      l->block.mode = FM_EDGE_ZERO;
      l->block.n = kConvTaps;
      l->block.lo = 0;
      l->block.hi = l == &rows ? kW : kH;
      gaussianTaps(l->block, kConvTaps, kConvSigma);
    }
  }
  bool run(Frame& f) const {
    fm::ChainLink links[2] = {{FM_K_CONV_ROWS, &f.mid, &f.src, rows.block, kW, kH, rows.cost},
                              {FM_K_CONV_COLS, &f.dst, &f.mid, cols.block, kW, kH, cols.cost}};
    return f.be.launchChain(links, 2);
  }
};

const char* const kPairName = "pass/fm_conv_rows+cols/n:9/zero";

void runPair(benchmark::State& state) {
  Frame& f = frame();
  const PairLaunch pair(f);
  std::memset(f.dst.data, 0, f.imageBytes());
  for (auto _ : state) {
    if (!pair.run(f)) return fail(state, kPairName, "launch of the direct pair failed");
    benchmark::ClobberMemory();
  }
  if (!pairCentreMatches(f, pair.rows.block))
    return fail(state, kPairName, "wrong result at the centre pixel: these timings mean nothing");
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * int64_t(f.imageBytes()));
  state.counters["threads"] = f.threads();
}

// The pass and memcpy on the same threads timed in alternation, one ratio per pair: a
// neighbour on a shared machine that slows memory for a while slows both sides of a pair alike,
// where medians taken minutes apart can catch one side in a slow spell and the other not.
struct PairedRatio {
  double median = -1.0, low = -1.0, high = -1.0;
};

double secondsOf(const std::function<bool()>& body) {
  const auto t0 = std::chrono::steady_clock::now();
  if (!body()) return -1.0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The median ratio of body's time to reference's, timed in turn `pairs` times after a pair that
// warms both up: both see the same clock speed and the same neighbours on the machine.
PairedRatio pairedTimes(const std::function<bool()>& reference, const std::function<bool()>& body,
                        int pairs = kPairs) {
  PairedRatio r;
  std::vector<double> ratios;
  for (int i = 0; i < pairs + 1; ++i) {
    const double c = secondsOf(reference), t = secondsOf(body);
    if (c <= 0 || t <= 0) return r;
    if (i > 0) ratios.push_back(t / c);
  }
  std::sort(ratios.begin(), ratios.end());
  r.median = ratios[ratios.size() / 2];
  r.low = ratios.front();
  r.high = ratios.back();
  return r;
}

PairedRatio pairedRatio(int kernel, int n, int mode) {
  Frame& f = frame();
  const PassLaunch pass(f, kernel, n, mode);
  if (!pass.valid()) return PairedRatio{};
  // memcpy on the pass's own threads, in bands of rows as the pass is cut.
  const int bands = 4 * f.threads();
  const size_t rowsPerBand = (size_t(kH) + bands - 1) / bands;
  CopyBands bandsOfRows{static_cast<const char*>(f.src.data), static_cast<char*>(f.dst.data),
                        rowsPerBand * size_t(f.src.pitch) * 16, f.imageBytes()};
  return pairedTimes(
      [&] {
        f.par.run(bands, &bandsOfRows, copyBand);
        benchmark::ClobberMemory();
        return true;
      },
      [&f, &pass] { return pass.run(f); });
}

// One whole render of the frame, its output released as a caller would.
bool renderOnce(const RenderSettings& s, std::string* message) {
  Frame& f = frame();
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  const fm::PlacedImage input{&f.src, kImageRect};
  fm::Buffer out;
  if (!fm::render(f.be, s, scale, input, s.inputBounds, s.layerBounds, nullptr, kImageRect, out, message))
    return false;
  benchmark::DoNotOptimize(out.data);
  f.be.freeImage(out);
  return true;
}

void runRender(benchmark::State& state, const std::string& name, const RenderSettings& s) {
  Frame& f = frame();
  std::string message;
  for (auto _ : state) {
    if (!renderOnce(s, &message)) {
      fail(state, name, "fm::render: " + message);
      break;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
  state.counters["threads"] = f.threads();
}

RenderSettings baseSettings(int blurType) {
  RenderSettings s;
  s.blurType = blurType;
  s.inputBounds = kImageRect;
  s.inputResult = kImageRect;
  s.layerBounds = kImageRect;
  s.resultRect = kImageRect;
  s.maxResultRect = kImageRect;
  return s;
}

RenderSettings gaussianSettings(int blurriness) {
  RenderSettings s = baseSettings(fm::kGaussianBlur);
  s.blurriness = blurriness;
  s.gaussianRepeatEdgePixels = true;
  s.lowBitDepth = false;
  return s;
}

RenderSettings boxSettings(int radius) {
  RenderSettings s = baseSettings(fm::kBoxBlur);
  s.boxBlurRadius = radius;
  s.iterations = kIterations;
  return s;
}

#ifdef FM_BENCH_WITH_OPENCV
struct CvFrame {
  cv::Mat src, a, b;
  CvFrame() {
    Frame& f = frame();
    // Wraps the engine image: OpenCV reads exactly the pixels Fogmill reads.
    src = cv::Mat(kH, kW, CV_32FC4, f.src.data, size_t(f.src.pitch) * 16);
    a.create(kH, kW, CV_32FC4);
    b.create(kH, kW, CV_32FC4);
    a.setTo(cv::Scalar::all(0));
    b.setTo(cv::Scalar::all(0));
  }
};

CvFrame& cvFrame() {
  static CvFrame c;
  return c;
}

// The kernel length OpenCV chooses for a float image when asked with ksize 0.
int openCvGaussianTaps(double sigma) { return cvRound(sigma * 4 * 2 + 1) | 1; }

void cvGaussianOnce(double sigma) {
  CvFrame& c = cvFrame();
  cv::GaussianBlur(c.src, c.a, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
  benchmark::ClobberMemory();
}

void runCvGaussian(benchmark::State& state, double sigma) {
  for (auto _ : state) cvGaussianOnce(sigma);
  state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
  state.counters["threads"] = cv::getNumThreads();
  state.counters["taps"] = openCvGaussianTaps(sigma);
}

void cvBlurOnce(int radius) {
  CvFrame& c = cvFrame();
  const cv::Size k(2 * radius + 1, 2 * radius + 1);
  const cv::Mat* in = &c.src;
  cv::Mat* out = &c.a;
  for (int i = 0; i < kIterations; ++i) {
    cv::blur(*in, *out, k, cv::Point(-1, -1), cv::BORDER_REPLICATE);
    in = out;
    out = out == &c.a ? &c.b : &c.a;
  }
  benchmark::ClobberMemory();
}

void runCvBlur(benchmark::State& state, int radius) {
  for (auto _ : state) cvBlurOnce(radius);
  state.SetItemsProcessed(int64_t(state.iterations()) * kW * kH);
  state.counters["threads"] = cv::getNumThreads();
}
#endif

// ------------------------------------------------------------------ registration

const int kGaussianBlurriness[] = {10, 100, 1000};
const int kBoxRadii[] = {10, 100};
const int kBoxTaps[] = {10, 100};

std::string gaussianName(const char* who, int b) {
  return std::string(who) + "_gaussian/blurriness:" + std::to_string(b);
}
std::string boxName(const char* who, int r) {
  return std::string(who) + "_box/r:" + std::to_string(r) + "/x" + std::to_string(kIterations);
}
const char* modeName(int mode) { return mode == FM_EDGE_INSIDE ? "inside" : "zero"; }
std::string passName(int kernel, int n, int mode) {
  return std::string("pass/") + fm::kernelName(kernel) + "/n:" + std::to_string(n) + "/" +
         modeName(mode);
}

// What the OpenCV side leaves out, printed before and after the run.
std::vector<std::string> openCvNotes;

// Single passes and memcpy take milliseconds: half a second gives dozens of iterations.
// Renders take up to seconds: one second, or one iteration when that takes longer.
void passTiming(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5)->Repetitions(kRepetitions);
}
void renderTiming(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(kRepetitions);
}

void registerAll() {
  benchmark::RegisterBenchmark("memcpy", runMemcpy)->Apply(passTiming);
  benchmark::RegisterBenchmark("memcpy_threads", runMemcpyThreads)->Apply(passTiming);
  benchmark::RegisterBenchmark("alloc_first_touch", runAllocTouch)->Apply(passTiming);
  for (int kernel : {FM_K_BOX_ROWS, FM_K_BOX_COLS}) {
    for (int n : kBoxTaps) {
      for (int mode : {FM_EDGE_ZERO, FM_EDGE_INSIDE}) {
        const std::string name = passName(kernel, n, mode);
        benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
          runPass(st, name, kernel, n, mode);
        })->Apply(passTiming);
      }
    }
  }
  for (int kernel : {FM_K_CONV_ROWS, FM_K_CONV_COLS}) {
    const std::string name = passName(kernel, kConvTaps, FM_EDGE_ZERO);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
      runPass(st, name, kernel, kConvTaps, FM_EDGE_ZERO);
    })->Apply(passTiming);
  }
  benchmark::RegisterBenchmark(kPairName, runPair)->Apply(passTiming);

  for (int b : kGaussianBlurriness) {
    const RenderSettings s = gaussianSettings(b);
    const std::string name = gaussianName("fm", b);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
      runRender(st, name, s);
    })->Apply(renderTiming);
  }
  for (int r : kBoxRadii) {
    const RenderSettings s = boxSettings(r);
    const std::string name = boxName("fm", r);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) {
      runRender(st, name, s);
    })->Apply(renderTiming);
  }

#ifdef FM_BENCH_WITH_OPENCV
  for (int b : kGaussianBlurriness) {
    const double sigma = b * kSigmaPerBlurriness;
    const int taps = openCvGaussianTaps(sigma);
    if (taps > kMaxOpenCvGaussianTaps) {
      char note[256];
      std::snprintf(note, sizeof note,
                    "cv::GaussianBlur at blurriness %d not run: sigma %.1f gives a %d-tap "
                    "kernel per axis, direct convolution too slow for this run (cap %d taps)",
                    b, sigma, taps, kMaxOpenCvGaussianTaps);
      openCvNotes.push_back(note);
      continue;
    }
    benchmark::RegisterBenchmark(gaussianName("cv", b).c_str(), [=](benchmark::State& st) {
      runCvGaussian(st, sigma);
    })->Apply(renderTiming);
  }
  for (int r : kBoxRadii) {
    benchmark::RegisterBenchmark(boxName("cv", r).c_str(), [=](benchmark::State& st) {
      runCvBlur(st, r);
    })->Apply(renderTiming);
  }
#else
  openCvNotes.push_back(
      "built without OpenCV: OpenCV comparisons not run (scripts/bootstrap --bench installs "
      "libopencv-dev; then configure again)");
#endif
}

// ------------------------------------------------------------------ results and summary

// Real seconds per iteration, by registered name; the median when repetitions were asked for.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  CollectingReporter() : benchmark::ConsoleReporter(OO_Tabular) {}

  // Shows one line per benchmark: the median when there are repetitions, else the run; a
  // failure once.
  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> shown;
    for (const Run& r : runs) {
      const std::string& name = r.run_name.function_name;
      if (r.run_type == Run::RT_Aggregate) {
        if (r.aggregate_name == "median") shown.push_back(r);
        continue;
      }
      if (r.iterations > 0) samples[name].push_back(r.real_accumulated_time / double(r.iterations));
      if (r.repetitions <= 1 || (failures().count(name) && shownFailures.insert(name).second))
        shown.push_back(r);
    }
    if (!shown.empty()) benchmark::ConsoleReporter::ReportRuns(shown);
  }

  // Seconds per iteration, or a negative value with the reason in `why`.
  double seconds(const std::string& name, std::string* why) const {
    auto failed = failures().find(name);
    if (failed != failures().end()) {
      *why = failed->second;
      return -1.0;
    }
    auto it = samples.find(name);
    if (it == samples.end() || it->second.empty()) {
      *why = "not run";
      return -1.0;
    }
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    const size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
  }

 private:
  std::map<std::string, std::vector<double>> samples;
  std::set<std::string> shownFailures;
};

const char* verdict(bool met) { return met ? "meets target" : "misses target"; }

// The processor's peak rate of unfused multiply-add pairs at an instruction-set level:
// independent chains of a multiply and an add per vector of the level's width, enough to keep
// every multiplier and adder busy while they and the two constants fit the level's registers
// (16 below AVX-512, 32 with it); a chain spilled to memory would understate the peak. Returns
// a sum so that nothing is optimised away.
#define FM_PEAK_PROBE(name, lanes, chains, ...)                          \
  __VA_ARGS__ float name(long rounds) {                                  \
    typedef float V __attribute__((vector_size(4 * lanes)));            \
    V x[chains];                                                         \
    for (int i = 0; i < chains; ++i) x[i] = V{} + 1e-3f * float(i);      \
    const V m = V{} + 0.999f, c = V{} + 1e-4f;                           \
    for (long r = 0; r < rounds; ++r)                                    \
      for (int i = 0; i < chains; ++i) x[i] = x[i] * m + c;              \
    float t = 0;                                                         \
    for (int i = 0; i < chains; ++i)                                     \
      for (int l = 0; l < lanes; ++l) t += x[i][l];                      \
    return t;                                                            \
  }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
constexpr int kNarrowChains = 14, kWideChains = 16;
FM_PEAK_PROBE(probeBaseline, 4, kNarrowChains)
#if defined(__x86_64__)
FM_PEAK_PROBE(probeAvx2, 8, kNarrowChains, __attribute__((target("arch=x86-64-v3"))))
FM_PEAK_PROBE(probeAvx512, 16, kWideChains, __attribute__((target("arch=x86-64-v4,prefer-vector-width=512"))))
#endif
#pragma GCC diagnostic pop

struct ProbeRun {
  long rounds;
  float sink[64];
};

void probeThread(void* ctx, int i) {
  ProbeRun& r = *static_cast<ProbeRun*>(ctx);
  float (*probe)(long) = &probeBaseline;
#if defined(__x86_64__)
  if (fm::cpuIsa() == fm::CpuIsa::Avx2) probe = &probeAvx2;
  if (fm::cpuIsa() == fm::CpuIsa::Avx512) probe = &probeAvx512;
#endif
  r.sink[i % 64] = probe(r.rounds);
}

// One probe run on every thread: `rounds` rounds, and the pairs they make.
struct PeakProbe {
  long rounds;
  double pairs() const {
    const int lanes = fm::cpuIsa() == fm::CpuIsa::Avx512 ? 16 : fm::cpuIsa() == fm::CpuIsa::Avx2 ? 8 : 4;
    const int chains = fm::cpuIsa() == fm::CpuIsa::Avx512 ? kWideChains : kNarrowChains;
    return double(rounds) * chains * lanes * frame().threads();
  }
  bool run() const {
    Frame& f = frame();
    ProbeRun r{rounds, {}};
    f.par.run(f.threads(), &r, probeThread);
    benchmark::DoNotOptimize(r.sink[0]);
    return true;
  }
};

double peakPairsPerSecond() {
  const PeakProbe probe{20000000};
  double best = 0;
  for (int i = 0; i < 5; ++i) best = std::max(best, probe.pairs() / secondsOf([&] { return probe.run(); }));
  return best;
}

// A launch's share of the peak, from `pairs` pairs per launch, each launch timed next to a
// probe run of about its length: the processor's clock and the machine's load move both alike.
PairedRatio pairedShareOfPeak(const std::function<bool()>& launch, double pairs, double seconds, double peak) {
  const PeakProbe probe{std::max(1L, long(seconds * peak / PeakProbe{1}.pairs()))};
  const PairedRatio t = pairedTimes([&] { return probe.run(); }, launch);
  PairedRatio share;
  if (t.median <= 0) return share;
  // A shorter launch beside the probe is a larger share: the bounds swap.
  share.median = pairs / probe.pairs() / t.median;
  share.low = pairs / probe.pairs() / t.high;
  share.high = pairs / probe.pairs() / t.low;
  return share;
}

void printPassLines(const CollectingReporter& rep, double imageBytes) {
  std::string why;
  const double mc = rep.seconds("memcpy", &why);
  const std::string mcWhy = why;
  const double mct = rep.seconds("memcpy_threads", &why);
  std::printf("\nSingle passes vs memcpy of the same image (target: pass time <= 2.0 x memcpy)\n");
  std::printf(
      "  bytes per iteration = read + written = 2 x %.1f MB; GB/s here is 1e9 bytes/s (the "
      "bytes_per_second column above counts in 1024s)\n",
      imageBytes / 1e6);
  if (mc > 0)
    std::printf("  %-32s %9.2f ms %7.2f GB/s\n", "memcpy (1 thread)", mc * 1e3,
                2 * imageBytes / mc / 1e9);
  else
    std::printf("  %-32s %s\n", "memcpy (1 thread)", mcWhy.c_str());
  if (mct > 0)
    std::printf("  %-32s %9.2f ms %7.2f GB/s\n", "memcpy (all threads)", mct * 1e3,
                2 * imageBytes / mct / 1e9);
  std::printf(
      "  paired: the pass and a memcpy on the same %d threads timed in turn, %d pairs; the median ratio "
      "[lowest-highest] decides the verdict\n",
      frame().threads(), kPairs);
  std::printf("  %-28s %11s %11s %9s %9s %20s  %s\n", "pass", "time", "bandwidth", "x memcpy",
              "x MT", "paired x MT memcpy", "verdict");
  auto line = [&](int kernel, int n, int mode) {
    const std::string name = passName(kernel, n, mode);
    std::string w;
    const double t = rep.seconds(name, &w);
    const std::string label = name.substr(5);  // drops "pass/"
    if (t <= 0) {
      std::printf("  %-28s %s\n", label.c_str(), w.c_str());
      return;
    }
    char single[32] = "n/a", mt[32] = "n/a", paired[48] = "n/a";
    if (mc > 0) std::snprintf(single, sizeof single, "%.2f", t / mc);
    if (mct > 0) std::snprintf(mt, sizeof mt, "%.2f", t / mct);
    const PairedRatio pr = pairedRatio(kernel, n, mode);
    if (pr.median > 0)
      std::snprintf(paired, sizeof paired, "%.2f [%.2f-%.2f]", pr.median, pr.low, pr.high);
    std::printf("  %-28s %8.2f ms %6.2f GB/s %9s %9s %20s  %s\n", label.c_str(), t * 1e3,
                2 * imageBytes / t / 1e9, single, mt, paired,
                pr.median > 0 ? verdict(pr.median <= 2.0) : "no paired time");
  };
  for (int kernel : {FM_K_BOX_ROWS, FM_K_BOX_COLS})
    for (int n : kBoxTaps)
      for (int mode : {FM_EDGE_ZERO, FM_EDGE_INSIDE}) line(kernel, n, mode);
  for (int kernel : {FM_K_CONV_ROWS, FM_K_CONV_COLS}) line(kernel, kConvTaps, FM_EDGE_ZERO);

  // Direct passes also by their arithmetic: every channel of every pixel takes one multiply
  // and one add per tap, never fused.
  const double peak = peakPairsPerSecond();
  std::printf(
      "\nDirect passes in multiply-add pairs per second against this processor's peak at %s, %d threads "
      "(%.1f G pairs/s, measured)\n"
      "  paired: each launch timed next to a peak probe of about its length, %d pairs; the median share "
      "[lowest-highest] decides the verdict (target >= 40%%)\n",
      fm::cpuIsaName(fm::cpuIsa()), frame().threads(), peak / 1e9, kPairs);
  auto directLine = [&](const char* label, const std::string& name, int passes, const std::function<bool()>& launch) {
    std::string w;
    const double t = rep.seconds(name, &w);
    if (t <= 0) {
      std::printf("  %-28s %s\n", label, w.c_str());
      return;
    }
    const double pairs = double(kW) * kH * 4 * passes * (2 * kConvTaps + 1);
    const PairedRatio share = pairedShareOfPeak(launch, pairs, t, peak);
    std::printf("  %-28s %8.1f G pairs/s = %5.1f%% of peak; paired %5.1f%% [%.1f-%.1f]: %s\n", label,
                pairs / t / 1e9, 100 * pairs / t / peak, 100 * share.median, 100 * share.low, 100 * share.high,
                share.median > 0 ? verdict(share.median >= 0.4) : "no paired time");
  };
  Frame& f = frame();
  for (int kernel : {FM_K_CONV_ROWS, FM_K_CONV_COLS}) {
    const PassLaunch pass(f, kernel, kConvTaps, FM_EDGE_ZERO);
    directLine(fm::kernelName(kernel), passName(kernel, kConvTaps, FM_EDGE_ZERO), 1, [&] { return pass.run(f); });
  }
  // Both passes as one chain, as the direct Gaussian launches them: what lies between them
  // stays in the cache, so the image is read and written once for twice the arithmetic.
  const PairLaunch pair(f);
  directLine("fm_conv_rows + fm_conv_cols", kPairName, 2, [&] { return pair.run(f); });
}

// One Fogmill-vs-OpenCV line; target <= 0 means informational only. Where there is a target,
// the two renders are also timed in turn, so that the verdict rests on a ratio that a change
// in the machine's speed during the run moves alike on both sides.
void printVersusLine(const CollectingReporter& rep, const char* label, const std::string& fmName,
                     const std::string& cvName, double target, const std::function<bool()>& fmOnce,
                     const std::function<bool()>& cvOnce) {
  std::string fmWhy, cvWhy;
  const double f = rep.seconds(fmName, &fmWhy);
  const double c = rep.seconds(cvName, &cvWhy);
  char fmText[64], cvText[64];
  if (f > 0) std::snprintf(fmText, sizeof fmText, "%.1f ms", f * 1e3);
  if (c > 0) std::snprintf(cvText, sizeof cvText, "%.1f ms", c * 1e3);
  std::printf("  %-28s Fogmill %-12s OpenCV %-12s ", label, f > 0 ? fmText : "n/a",
              c > 0 ? cvText : "n/a");
  if (f > 0 && c > 0) {
    const double speedup = c / f;
    if (target > 0) {
      const PairedRatio paired = pairedTimes(fmOnce, cvOnce, kRenderPairs);
      std::printf("speed-up %7.2fx; paired %.2fx [%.2f-%.2f] (target >= %gx): %s\n", speedup, paired.median,
                  paired.low, paired.high, target,
                  paired.median > 0 ? verdict(paired.median >= target) : "no paired time");
    } else {
      std::printf("speed-up %7.2fx (no target)\n", speedup);
    }
  } else {
    std::printf("no ratio: %s%s%s\n", f > 0 ? "" : ("Fogmill " + fmWhy).c_str(),
                (f > 0 || c > 0) ? "" : "; ", c > 0 ? "" : ("OpenCV " + cvWhy).c_str());
  }
}

std::function<bool()> fmRender(const RenderSettings& s) {
  return [s] {
    std::string message;
    return renderOnce(s, &message);
  };
}

// What the OpenCV lines time, for pairing; null where OpenCV is not built in, and then those
// lines have no OpenCV time either.
std::function<bool()> cvGaussian(double sigma) {
#ifdef FM_BENCH_WITH_OPENCV
  return [sigma] { return cvGaussianOnce(sigma), true; };
#else
  return (void)sigma, nullptr;
#endif
}

std::function<bool()> cvBox(int radius) {
#ifdef FM_BENCH_WITH_OPENCV
  return [radius] { return cvBlurOnce(radius), true; };
#else
  return (void)radius, nullptr;
#endif
}

void printSummary(const CollectingReporter& rep) {
  Frame& f = frame();
  std::printf(
      "\n==== Summary: %dx%d float RGBA premultiplied, %d threads, median of %d "
      "repetitions ====\n",
      kW, kH, f.threads(), kRepetitions);
  printPassLines(rep, double(f.imageBytes()));

  std::printf("\nWhole renders, Fogmill (fm::render, CPU backend) vs OpenCV\n");
  for (int b : kGaussianBlurriness) {
    const std::string label = "Gaussian blurriness " + std::to_string(b);
    printVersusLine(rep, label.c_str(), gaussianName("fm", b), gaussianName("cv", b), b == 100 ? 20.0 : 0.0,
                    fmRender(gaussianSettings(b)), cvGaussian(b * kSigmaPerBlurriness));
  }
  for (int r : kBoxRadii) {
    const std::string label = "Box r" + std::to_string(r) + " x" + std::to_string(kIterations);
    printVersusLine(rep, label.c_str(), boxName("fm", r), boxName("cv", r), r == 10 ? 1.3 : 0.0,
                    fmRender(boxSettings(r)), cvBox(r));
  }
  for (const std::string& note : openCvNotes) std::printf("  note: %s\n", note.c_str());
  std::string why;
  const double alloc = rep.seconds("alloc_first_touch", &why);
  char allocText[64] = "";
  if (alloc > 0)
    std::snprintf(allocText, sizeof allocText, " (%.1f ms per image here)", alloc * 1e3);
  std::printf(
      "  note: Fogmill renders allocate and first touch their output and work images on every "
      "call%s; OpenCV writes into images allocated once\n",
      allocText);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  Frame& f = frame();
  fmbench::printMachine("fm_bench_separable", f.threads());
  std::printf("%dx%d float RGBA, %.1f MB per image\n", kW, kH, f.imageBytes() / 1e6);
#ifdef FM_BENCH_WITH_OPENCV
  cv::setNumThreads(f.threads());
  std::printf("OpenCV %s, %d threads\n", CV_VERSION, cv::getNumThreads());
#endif
  registerAll();
  for (const std::string& note : openCvNotes) std::printf("note: %s\n", note.c_str());
  std::fflush(stdout);

  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
