// fm::OpenCLBackend and fm::CudaBackend next to the CPU backend (all cores) in the same run: on
// the OpenCL device the tests use (a GPU where there is one, else PoCL on the processor) and on the
// first CUDA device where there is a driver. Whole renders of a UHD frame (Gaussian "Blurriness"
// 10 and 100, Box radius 10 x 3, Camera Lens radius 20) and one tracked Motion Blur frame at
// 1920 x 1080, with every image resident on each side; and on each device alone, each separable
// pass of Gaussian 10 and Box 10 next to that framework's device-to-device copy of the image.
// Each workload is rendered once untimed on every side first (kernel compilation, first touch)
// and each device's output compared with the CPU's. Times are wall-clock per render, queue
// finished; the summary gives medians of this run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
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
#include "gpu/CUDirectAllocator.h"
#include "gpu/CudaBackend.h"
#include "gpu/OpenCLBackend.h"
#include "gpu/OpenCLLoader.h"
#include "tests/support/CudaDevice.h"
#include "tests/support/GpuUpload.h"
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

// One GPU framework with its inputs resident.
struct DeviceSide {
  explicit DeviceSide(const char* name) : name(name) {}
  const char* name;                  // "opencl" or "cuda"
  std::string device = "none";
  bool isGpu = true;
  fm::GpuBackendBase* be = nullptr;  // null when there is no device side; `why` says why
  std::string why;
  Inputs in;
  fm::Buffer scratch;          // the destination of single passes and copies
  std::function<bool()> copy;  // the framework's own copy of the card into scratch, queue finished
};

// The three sides with their inputs, made once.
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

  DeviceSide opencl{"opencl"}, cuda{"cuda"};
  std::unique_ptr<fmtest::OpenCLTarget> target;
  fm::CUDirectAllocator cudaMemory;

 private:
  Rig() {
    fm::Buffer c = card.buffer();
    fmbench::fillTestCard(c, 0x9e3779b9u);
    onCpu = {card.buffer(), sequence.previous.buffer(), sequence.current.buffer(), sequence.next.buffer()};
    openOpenCL();
    openCuda();
  }

  void openOpenCL() {
    target = fmtest::OpenCLTarget::create(&opencl.why);
    if (!target) return;
    const fmtest::OpenCLDevice* device = fmtest::OpenCLDevice::get();
    opencl.device = device->name;
    opencl.isGpu = device->isGpu;
    using CopyBuffer = fm::cl_int (*)(fm::cl_command_queue, fm::cl_mem, fm::cl_mem, size_t, size_t, size_t,
                                      fm::cl_uint, const fm::cl_event*, fm::cl_event*);
    const CopyBuffer copy = reinterpret_cast<CopyBuffer>(fm::openCLSymbol("clEnqueueCopyBuffer"));
    opencl.copy = [this, device, copy] {
      const fm::cl_mem from = static_cast<fm::cl_mem>(opencl.in.card.data);
      const fm::cl_mem to = static_cast<fm::cl_mem>(opencl.scratch.data);
      return copy &&
             copy(device->queue, from, to, 0, 0, fm::GpuBackendBase::imageBytes(opencl.scratch), 0, nullptr,
                  nullptr) == fm::kClSuccess &&
             opencl.be->flush();
    };
    place(opencl, target->backend);
  }

  void openCuda() {
    fmtest::CudaDevice* device = fmtest::CudaDevice::get();
    if (!device || !device->module) {
      cuda.why = device ? device->loadError : fmtest::CudaDevice::why();
      return;
    }
    cuda.device = device->name;
    fm::CUstream stream = device->createStream();
    // Kept for the process: at exit the driver may already be gone.
    fm::CudaBackend* be = new fm::CudaBackend(&cudaMemory, device->module, stream);
    if (!stream || !be->enterContext()) {
      cuda.why = "no stream or context: " + be->lastError;
      return;
    }
    cuda.copy = [this, device, stream] {
      const size_t bytes = fm::GpuBackendBase::imageBytes(cuda.scratch);
      return device->copy(cuda.scratch.data, cuda.in.card.data, bytes, stream) && cuda.be->flush();
    };
    place(cuda, *be);
  }

  void place(DeviceSide& side, fm::GpuBackendBase& be) {
    const bool placed = fmtest::uploadImage(be, card, side.in.card) &&
                        fmtest::uploadImage(be, sequence.previous, side.in.prev) &&
                        fmtest::uploadImage(be, sequence.current, side.in.cur) &&
                        fmtest::uploadImage(be, sequence.next, side.in.next) && be.allocImage(side.scratch, kW, kH);
    if (!placed) {
      side.why = "cannot place the inputs on the device: " + be.lastError;
      return;
    }
    side.be = &be;
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

// The untimed first render on the CPU and on `side`, and how far apart their outputs are; once per
// workload and side.
void warmUpAndCompare(const Workload& w, DeviceSide& side) {
  Rig& r = Rig::get();
  std::string& note = notes()[w.name + "/" + side.name];
  if (!note.empty()) return;
  fm::Buffer a, b;
  std::string message;
  if (!renderOnce(r.cpu, r.onCpu, w, a, message) || !renderOnce(*side.be, side.in, w, b, message)) {
    note = "render failed: " + message + " / " + side.be->lastError;
  } else {
    std::vector<float> device(size_t(b.pitch) * b.height * 4);
    double worst = 0;
    if (!side.be->readImage(b, device.data())) {
      note = "readImage failed";
    } else {
      const float* host = static_cast<const float*>(a.data);
      for (int y = 0; y < a.height; ++y) {
        const float* h = host + size_t(y) * a.pitch * 4;
        const float* d = device.data() + size_t(y) * b.pitch * 4;
        for (int i = 0; i < a.width * 4; ++i) worst = std::max(worst, double(std::fabs(h[i] - d[i])));
      }
      char text[64];
      std::snprintf(text, sizeof text, "max |%s - cpu| %.2g", side.name, worst);
      note = text;
    }
  }
  r.cpu.freeImage(a);
  side.be->freeImage(b);
  side.be->flush();
}

// `side` null: on the CPU, after every device side has rendered the workload once.
void timeWorkload(benchmark::State& state, const Workload& w, DeviceSide* side) {
  Rig& r = Rig::get();
  if (side && !side->be) {
    state.SkipWithError(("no " + std::string(side->name) + " device: " + side->why).c_str());
    return;
  }
  for (DeviceSide* s : {&r.opencl, &r.cuda})
    if (s->be && (!side || s == side)) warmUpAndCompare(w, *s);
  fm::Backend& be = side ? static_cast<fm::Backend&>(*side->be) : r.cpu;
  const Inputs& in = side ? side->in : r.onCpu;
  const std::string name = w.name + "/" + (side ? side->name : "cpu");
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
  if (side) side->be->flush();
  const double pixels = w.tracked() ? double(kTrackedW) * kTrackedH : double(kW) * kH;
  state.counters["Mpixel/s"] = benchmark::Counter(pixels * 1e-6, benchmark::Counter::kIsIterationInvariantRate);
}

// ------------------------------------------------------------------ single passes on the device

void timeDeviceWork(benchmark::State& state, const std::string& name, DeviceSide& side,
                    const std::function<bool()>& work) {
  if (!side.be) {
    state.SkipWithError(("no " + std::string(side.name) + " device: " + side.why).c_str());
    return;
  }
  if (!work()) {  // warm-up
    state.SkipWithError("the device refused the work");
    return;
  }
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = work();
    const double t = seconds(start);
    if (!ok) {
      state.SkipWithError("the device refused the work");
      break;
    }
    state.SetIterationTime(t);
    samples()[name].push_back(t);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 2 * int64_t(side.scratch.pitch) * kH * 16);
}

bool passOnDevice(DeviceSide& side, const fm::SeparablePass& pass) {
  return fm::launchSeparablePass(*side.be, pass, side.scratch, side.in.card, FM_EDGE_CLAMP, 0,
                                 pass.horizontal ? kW : kH) &&
         side.be->flush();
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
  Rig& r = Rig::get();
  for (const Workload& w : workloads()) {
    benchmark::RegisterBenchmark((w.name + "/cpu").c_str(),
                                 [w](benchmark::State& s) { timeWorkload(s, w, nullptr); })
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    for (DeviceSide* side : {&r.opencl, &r.cuda})
      benchmark::RegisterBenchmark((w.name + "/" + side->name).c_str(),
                                   [w, side](benchmark::State& s) { timeWorkload(s, w, side); })
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
  }
  for (DeviceSide* side : {&r.opencl, &r.cuda}) {
    for (const NamedPass& p : passes()) {
      const std::string name = p.name + "/" + side->name;
      benchmark::RegisterBenchmark(name.c_str(), [name, side, &p](benchmark::State& s) {
        timeDeviceWork(s, name, *side, [side, &p] { return passOnDevice(*side, p.pass); });
      })->UseManualTime()->Unit(benchmark::kMillisecond);
    }
    const std::string copy = std::string("pass/device_copy/") + side->name;
    benchmark::RegisterBenchmark(copy.c_str(), [copy, side](benchmark::State& s) {
      timeDeviceWork(s, copy, *side, side->copy);
    })->UseManualTime()->Unit(benchmark::kMillisecond);
  }
}

double ms(const std::string& name) { return median(samples()[name]) * 1e3; }

// A time or a ratio of two, "-" where a side did not run.
std::string cell(double value, int decimals) {
  if (!(value >= 0)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}
std::string ratio(double a, double b) { return a > 0 && b > 0 ? cell(a / b, 2) : "-"; }

void printSummary() {
  Rig& r = Rig::get();
  std::printf("\nSummary (medians of this run; CPU: %s, %d threads)\n", cpuModel().c_str(), r.par.threadCount());
  for (const DeviceSide* side : {&r.opencl, &r.cuda}) {
    const std::string state = side->be ? "" : " (not run: " + side->why + ")";
    std::printf("%s device: %s%s\n", side->name, side->device.c_str(), state.c_str());
  }
  std::printf("%-16s %10s %10s %10s %11s %9s  %s\n", "workload", "cpu ms", "opencl ms", "cuda ms", "cpu/opencl",
              "cpu/cuda", "check");
  for (const Workload& w : workloads()) {
    const double c = ms(w.name + "/cpu"), o = ms(w.name + "/opencl"), g = ms(w.name + "/cuda");
    std::printf("%-16s %10s %10s %10s %11s %9s  %s %s\n", w.name.c_str(), cell(c, 2).c_str(), cell(o, 2).c_str(),
                cell(g, 2).c_str(), ratio(c, o).c_str(), ratio(c, g).c_str(), notes()[w.name + "/opencl"].c_str(),
                notes()[w.name + "/cuda"].c_str());
  }
  const double copyCl = ms("pass/device_copy/opencl"), copyCu = ms("pass/device_copy/cuda");
  std::printf("%-24s %10s %14s %10s %14s\n", "device pass (UHD)", "opencl ms", "x device copy", "cuda ms",
              "x device copy");
  std::printf("%-24s %10s %14s %10s %14s\n", "device_copy", cell(copyCl, 3).c_str(), ratio(copyCl, copyCl).c_str(),
              cell(copyCu, 3).c_str(), ratio(copyCu, copyCu).c_str());
  for (const NamedPass& p : passes()) {
    const double o = ms(p.name + "/opencl"), g = ms(p.name + "/cuda");
    std::printf("%-24s %10s %14s %10s %14s\n", p.name.c_str() + 5, cell(o, 3).c_str(), ratio(o, copyCl).c_str(),
                cell(g, 3).c_str(), ratio(g, copyCu).c_str());
  }
  if (r.opencl.be && !r.opencl.isGpu)
    std::printf("The OpenCL device is not a GPU: its figures check the OpenCL path, they are no GPU speed.\n");
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
  for (const DeviceSide* side : {&r.opencl, &r.cuda})
    benchmark::AddCustomContext(std::string(side->name) + "_device",
                                side->be ? side->device : "none (" + side->why + ")");
  benchmark::AddCustomContext("cpu_model", cpuModel());
  benchmark::AddCustomContext("cpu_threads", std::to_string(r.par.threadCount()));
  registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printSummary();
  return 0;
}
