// fm::OpenCLBackend next to the CPU backend (all cores) in the same run, on the OpenCL device the
// tests use (a GPU where there is one, else PoCL on the processor): whole renders of a UHD frame
// (Gaussian "Blurriness" 10 and 100, Box radius 10 x 3, Camera Lens radius 20) and one tracked
// Motion Blur frame at 1920 x 1080, with every image resident on each side; and on the device
// alone, each separable pass of Gaussian 10 and Box 10 next to a device-to-device copy of the
// image. Each workload is rendered once untimed on both sides first (kernel compilation, first
// touch) and the two outputs compared. Times are wall-clock per render, queue finished; the
// summary gives medians of this run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchImages.h"
#include "blurs/BoxBlur.h"
#include "blurs/GaussianBlur.h"
#include "blurs/Render.h"
#include "engine/ThreadParallel.h"
#include "engine/cpu/CpuBackend.h"
#include "gpu/OpenCLBackend.h"
#include "gpu/OpenCLLoader.h"
#include "tests/support/OpenCLDevice.h"
#include "tests/support/OpenCLTarget.h"
#include "tests/support/TestImage.h"
#include "tests/support/TrackedSequence.h"
#include "tracking/TrackedMotion.h"

namespace {

constexpr int kW = 3840, kH = 2160;
constexpr int kTrackedW = 1920, kTrackedH = 1080;
const fm::Rect kUhd{0, 0, kW, kH}, kHd{0, 0, kTrackedW, kTrackedH};

struct Workload {
  std::string name;
  RenderSettings s;
  bool tracked() const { return s.frameMode == fm::kFrameTracked; }
};

std::vector<Workload> workloads() {
  std::vector<Workload> out;
  RenderSettings s;
  s.blurType = fm::kGaussianBlur;
  s.blurriness = 10;
  out.push_back({"gaussian_10", s});
  s.blurriness = 100;
  out.push_back({"gaussian_100", s});
  s = RenderSettings();
  s.blurType = fm::kBoxBlur;
  s.boxBlurRadius = 10;
  s.iterations = 3;
  out.push_back({"box_10x3", s});
  s = RenderSettings();
  s.blurType = fm::kCameraLensBlur;
  s.blurRadius = 20;
  out.push_back({"camera_lens_20", s});
  s = fmtest::trackedSettings(fm::kOutputMotionBlur, 0.5, 70.0);
  out.push_back({"tracked_1080p", s});
  return out;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return -1.0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// Every timed iteration by benchmark name, for the summary.
std::map<std::string, std::vector<double>>& samples() {
  static std::map<std::string, std::vector<double>> m;
  return m;
}
std::map<std::string, std::string>& notes() {
  static std::map<std::string, std::string> m;
  return m;
}

std::string cpuModel() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos)
      return line.substr(line.find(':') + 2);
  return "unknown";
}

// One frame's inputs on one side.
struct Inputs {
  fm::Buffer card;               // the UHD test card
  fm::Buffer prev, cur, next;    // the tracked sequence
};

// The two sides with their inputs, made once.
class Rig {
 public:
  static Rig& get() {
    static Rig rig;
    return rig;
  }

  fm::ThreadParallel par{0};
  fm::CpuBackend cpu{&par, nullptr, nullptr};
  fmtest::HostImage card{kW, kH};
  fmtest::SquareSequence sequence = fmtest::squareSequence(kTrackedW, kTrackedH, 700, 400, 360, 8.0, 0.0, 3);
  Inputs onCpu;

  fmtest::OpenCLDevice* device = fmtest::OpenCLDevice::get();
  std::unique_ptr<fmtest::OpenCLTarget> target;
  fm::OpenCLBackend* gpu = nullptr;
  Inputs onGpu;
  fm::Buffer scratch;  // the device destination of single passes and copies
  std::string why;     // when there is no device side

 private:
  Rig() {
    fm::Buffer c = card.buffer();
    fmbench::fillTestCard(c, 0x9e3779b9u);
    onCpu = {card.buffer(), sequence.previous.buffer(), sequence.current.buffer(), sequence.next.buffer()};
    target = fmtest::OpenCLTarget::create(&why);
    if (!target) return;
    gpu = &target->backend;
    if (!target->upload(onGpu.card, card) || !target->upload(onGpu.prev, sequence.previous) ||
        !target->upload(onGpu.cur, sequence.current) || !target->upload(onGpu.next, sequence.next) ||
        !gpu->allocImage(scratch, kW, kH)) {
      why = "cannot place the inputs on the device: " + gpu->lastError;
      gpu = nullptr;
    }
  }
};

// One render into `out` (allocated by the render); on the device, with the queue finished.
bool renderOnce(fm::Backend& be, const Inputs& in, const Workload& w, fm::Buffer& out, std::string& message) {
  bool ok;
  if (w.tracked()) {
    const fm::PlacedImage prev{&in.prev, kHd}, next{&in.next, kHd};
    fm::TrackedFrames frames;
    frames.current = {&in.cur, kHd};
    frames.previous = &prev;
    frames.next = &next;
    ok = fm::renderTrackedMotion(be, w.s, frames, kHd, out, &message);
  } else {
    const double scale[3] = {1, 1, 1};
    ok = fm::render(be, w.s, scale, fm::PlacedImage{&in.card, kUhd}, kUhd, kUhd, nullptr, kUhd, out, &message);
  }
  if (be.isGpu()) ok = static_cast<fm::GpuBackendBase&>(be).flush() && ok;
  return ok;
}

// The untimed first render on both sides, and how far apart their outputs are; once per workload.
void warmUpAndCompare(const Workload& w) {
  Rig& r = Rig::get();
  if (!notes()[w.name].empty()) return;
  fm::Buffer a, b;
  std::string message;
  if (!renderOnce(r.cpu, r.onCpu, w, a, message) || !renderOnce(*r.gpu, r.onGpu, w, b, message)) {
    notes()[w.name] = "render failed: " + message + " / " + r.gpu->lastError;
  } else {
    std::vector<float> device(size_t(b.pitch) * b.height * 4);
    double worst = 0;
    if (!r.gpu->readImage(b, device.data())) {
      notes()[w.name] = "readImage failed";
    } else {
      const float* host = static_cast<const float*>(a.data);
      for (int y = 0; y < a.height; ++y) {
        const float* h = host + size_t(y) * a.pitch * 4;
        const float* d = device.data() + size_t(y) * b.pitch * 4;
        for (int i = 0; i < a.width * 4; ++i) worst = std::max(worst, double(std::fabs(h[i] - d[i])));
      }
      char text[64];
      std::snprintf(text, sizeof text, "max |device - cpu| %.2g", worst);
      notes()[w.name] = text;
    }
  }
  r.cpu.freeImage(a);
  r.gpu->freeImage(b);
  r.gpu->flush();
}

void timeWorkload(benchmark::State& state, const Workload& w, bool onDevice) {
  Rig& r = Rig::get();
  if (!r.gpu) {
    state.SkipWithError(("no OpenCL device: " + r.why).c_str());
    return;
  }
  warmUpAndCompare(w);
  fm::Backend& be = onDevice ? static_cast<fm::Backend&>(*r.gpu) : r.cpu;
  const Inputs& in = onDevice ? r.onGpu : r.onCpu;
  const std::string name = w.name + (onDevice ? "/opencl" : "/cpu");
  for (auto _ : state) {
    fm::Buffer out;
    std::string message;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = renderOnce(be, in, w, out, message);
    const double t = seconds(start);
    be.freeImage(out);
    if (!ok) {
      state.SkipWithError(("render failed: " + message).c_str());
      break;
    }
    state.SetIterationTime(t);
    samples()[name].push_back(t);
  }
  if (onDevice) r.gpu->flush();
  const double pixels = w.tracked() ? double(kTrackedW) * kTrackedH : double(kW) * kH;
  state.counters["Mpixel/s"] = benchmark::Counter(pixels * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

// ------------------------------------------------------------------ single passes on the device

using CopyBuffer = fm::cl_int (*)(fm::cl_command_queue, fm::cl_mem, fm::cl_mem, size_t, size_t, size_t, fm::cl_uint,
                                  const fm::cl_event*, fm::cl_event*);

// The runtime's own copy of the whole image, the yardstick of a memory-bound pass.
bool copyOnDevice(Rig& r) {
  static const CopyBuffer copy = reinterpret_cast<CopyBuffer>(fm::openCLSymbol("clEnqueueCopyBuffer"));
  if (!copy) return false;
  const size_t bytes = size_t(r.scratch.pitch) * kH * 16;
  return copy(r.device->queue, static_cast<fm::cl_mem>(r.onGpu.card.data), static_cast<fm::cl_mem>(r.scratch.data),
              0, 0, bytes, 0, nullptr, nullptr) == fm::kClSuccess &&
         r.gpu->flush();
}

void timeDeviceWork(benchmark::State& state, const std::string& name, bool (*work)(Rig&, const void*),
                    const void* arg) {
  Rig& r = Rig::get();
  if (!r.gpu) {
    state.SkipWithError(("no OpenCL device: " + r.why).c_str());
    return;
  }
  if (!work(r, arg)) {  // warm-up
    state.SkipWithError("the device refused the work");
    return;
  }
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = work(r, arg);
    const double t = seconds(start);
    if (!ok) {
      state.SkipWithError("the device refused the work");
      break;
    }
    state.SetIterationTime(t);
    samples()[name].push_back(t);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * int64_t(r.scratch.pitch) * kH * 16);
}

bool passOnDevice(Rig& r, const void* arg) {
  const fm::SeparablePass& pass = *static_cast<const fm::SeparablePass*>(arg);
  return fm::launchSeparablePass(*r.gpu, pass, r.scratch, r.onGpu.card, FM_EDGE_CLAMP, 0,
                                 pass.horizontal ? kW : kH) &&
         r.gpu->flush();
}

// The first horizontal and the first vertical pass of a plan.
std::vector<fm::SeparablePass> firstPasses(void (*plan)(const RenderSettings&, const double*, fm::SeparablePlan&),
                                           const RenderSettings& s) {
  const double scale[3] = {1, 1, 1};
  fm::SeparablePlan p;
  plan(s, scale, p);
  std::vector<fm::SeparablePass> out;
  for (bool horizontal : {true, false})
    for (const fm::SeparablePass& pass : p.passes)
      if (pass.horizontal == horizontal) {
        out.push_back(pass);
        break;
      }
  return out;
}

struct NamedPass {
  std::string name;
  fm::SeparablePass pass;
};

std::vector<NamedPass>& passes() {
  static std::vector<NamedPass> all = [] {
    std::vector<NamedPass> out;
    RenderSettings g;
    g.blurType = fm::kGaussianBlur;
    g.blurriness = 10;
    for (const fm::SeparablePass& p : firstPasses(fm::makeGaussianPlan, g))
      out.push_back({std::string("pass/gaussian_10_") + (p.horizontal ? "rows" : "columns"), p});
    RenderSettings b;
    b.blurType = fm::kBoxBlur;
    b.boxBlurRadius = 10;
    for (const fm::SeparablePass& p : firstPasses(fm::makeBoxPlan, b))
      out.push_back({std::string("pass/box_10_") + (p.horizontal ? "rows" : "columns"), p});
    return out;
  }();
  return all;
}

void registerAll() {
  for (const Workload& w : workloads())
    for (bool onDevice : {false, true})
      benchmark::RegisterBenchmark((w.name + (onDevice ? "/opencl" : "/cpu")).c_str(),
                                   [w, onDevice](benchmark::State& s) { timeWorkload(s, w, onDevice); })
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
  for (const NamedPass& p : passes())
    benchmark::RegisterBenchmark(p.name.c_str(),
                                 [&p](benchmark::State& s) { timeDeviceWork(s, p.name, passOnDevice, &p.pass); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("pass/device_copy", [](benchmark::State& s) {
    timeDeviceWork(s, "pass/device_copy", [](Rig& r, const void*) { return copyOnDevice(r); }, nullptr);
  })->UseManualTime()->Unit(benchmark::kMillisecond);
}

void printSummary() {
  Rig& r = Rig::get();
  std::printf("\nSummary (medians of this run; device: %s; CPU: %s, %d threads)\n",
              r.device ? r.device->name.c_str() : "none", cpuModel().c_str(), r.par.threadCount());
  std::printf("%-16s %12s %12s %10s  %s\n", "workload", "cpu ms", "opencl ms", "cpu/opencl", "check");
  for (const Workload& w : workloads()) {
    const double c = median(samples()[w.name + "/cpu"]), g = median(samples()[w.name + "/opencl"]);
    std::printf("%-16s %12.2f %12.2f %10.2f  %s\n", w.name.c_str(), c * 1e3, g * 1e3, g > 0 ? c / g : 0.0,
                notes()[w.name].c_str());
  }
  const double copy = median(samples()["pass/device_copy"]);
  std::printf("%-24s %10s %14s\n", "device pass (UHD)", "ms", "x device copy");
  std::printf("%-24s %10.3f %14s\n", "device_copy", copy * 1e3, "1.00");
  for (const NamedPass& p : passes()) {
    const double t = median(samples()[p.name]);
    std::printf("%-24s %10.3f %14.2f\n", p.name.c_str() + 5, t * 1e3, copy > 0 ? t / copy : 0.0);
  }
  if (r.device && !r.device->isGpu)
    std::printf("The device is not a GPU: these figures check the OpenCL path, they are no GPU speed.\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Medians of a few repetitions unless the command line says otherwise.
  std::vector<char*> args{argv[0], const_cast<char*>("--benchmark_repetitions=3"),
                          const_cast<char*>("--benchmark_report_aggregates_only=true")};
  args.insert(args.end(), argv + 1, argv + argc);
  int count = int(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  Rig& r = Rig::get();
  benchmark::AddCustomContext("opencl_device", r.device ? r.device->name : "none (" + r.why + ")");
  benchmark::AddCustomContext("cpu_model", cpuModel());
  benchmark::AddCustomContext("cpu_threads", std::to_string(r.par.threadCount()));
  registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printSummary();
  return 0;
}
