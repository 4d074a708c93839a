// Every blur kind through the module at 3840 x 2160 in 32 bits: on the CPU, on a CUDA device and
// on an OpenCL device, in one run, as frames per second of the render command (on a GPU the
// frames are already in device memory, as a GPU host keeps them) and of the whole frame with the
// host's uploads and downloads. A side without a device prints "-". Warm-up, then the median.
//   fm_bench_module_gpu [--runs R] [--opencl-gpu-only]
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/HeadlessHost.h"

namespace {

using fm::host::GpuChoice;
constexpr int32_t kW = 3840, kH = 2160;

struct Kind {
  const char* name;
  std::vector<std::pair<std::string, std::string>> params;
  bool tracked;
};

const Kind kKinds[] = {
    {"vector", {{"Blur Type", "Vector Blur"}, {"Amount", "10"}}, false},
    {"gaussian_10", {{"Blur Type", "Gaussian Blur"}, {"Blurriness", "10"}}, false},
    {"gaussian_100", {{"Blur Type", "Gaussian Blur"}, {"Blurriness", "100"}}, false},
    {"camera_lens", {{"Blur Type", "Camera Lens Blur"}, {"Blur Radius", "15"}}, false},
    {"box", {{"Blur Type", "Box Blur"}, {"Blur Radius", "10"}, {"Iterations", "3"}}, false},
    {"radial_zoom", {{"Blur Type", "Radial Blur"}, {"Amount", "20"}, {"Type", "Zoom"}}, false},
    {"directional", {{"Blur Type", "Motion Blur"}, {"Direction", "30"}, {"Blur Length", "40"}}, false},
    {"tracked",
     {{"Blur Type", "Motion Blur"}, {"Motion Blur Type", "Tracked Motion Blur"}, {"Blur Amount", "1"}},
     true},
    {"motion_vectors",
     {{"Blur Type", "Motion Blur"}, {"Motion Blur Type", "Tracked Motion Blur"}, {"Output", "Motion Vectors"}},
     true},
};

fm::host::Image frameAt(int32_t t) {
  fm::host::Image image(kW, kH, 32);
  for (int32_t y = 0; y < kH; ++y) {
    for (int32_t x = 0; x < kW; ++x) {
      const int32_t u = x - 9 * t, v = y - 4 * t;
      const float px[4] = {0.5f + 0.5f * float(((u >> 5) ^ (v >> 5)) & 1), float((u * 7 + v * 3) & 255) / 255.0f,
                           float(v & 127) / 127.0f, 1.0f};
      image.set(x, y, px);
    }
  }
  return image;
}

struct Side {
  const char* label;
  GpuChoice choice;
  std::unique_ptr<fm::host::HeadlessHost> still, sequence;
  std::string device;
};

struct Fps {
  double command = 0, whole = 0;
};

Fps measure(fm::host::HeadlessHost& host, const Kind& kind, int runs, bool gpu, std::string* problem) {
  std::string error;
  for (const auto& [name, value] : kind.params) {
    if (!host.setParam(name, value, &error)) {
      *problem = error;
      return {};
    }
  }
  fm::host::FrameRequest request;
  fm::host::Image out;
  std::vector<double> command, whole;
  for (int i = 0; i <= runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    const fm::host::FrameReport r = host.renderFrame(request, &out);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!r.ok() || r.onGpu != gpu) {
      *problem = r.ok() ? "rendered on the CPU (see the module's log)" : r.message;
      return {};
    }
    if (i == 0) continue;  // warm-up
    command.push_back(r.renderSeconds);
    whole.push_back(s);
  }
  std::sort(command.begin(), command.end());
  std::sort(whole.begin(), whole.end());
  return Fps{1 / command[command.size() / 2], 1 / whole[whole.size() / 2]};
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
  }
  std::map<int32_t, fm::host::Image> frames;
  for (int32_t t = -1; t <= 1; ++t) frames[t] = frameAt(t);
  const auto still = fm::host::Layer::still(frames[0]);
  const auto sequence = fm::host::Layer::sequence(frames);

  Side sides[] = {{"cpu", GpuChoice::Off, nullptr, nullptr, "CPU"},
                  {"cuda", GpuChoice::Cuda, nullptr, nullptr, ""},
                  {"opencl", GpuChoice::OpenCL, nullptr, nullptr, ""}};
  for (Side& side : sides) {
    fm::host::HostProfile profile;
    profile.gpu = side.choice;
    // Each host its own copy of the module, so that no side shares process-wide state with another.
    profile.privateModuleCopy = true;
    profile.layerWidth = kW;
    profile.layerHeight = kH;
    std::string error;
    side.still = fm::host::HeadlessHost::open(FM_MODULE_PATH, profile, &error);
    side.sequence = fm::host::HeadlessHost::open(FM_MODULE_PATH, profile, &error);
    if (!side.still || !side.sequence) {
      std::fprintf(stderr, "fm_bench_module_gpu: %s\n", error.c_str());
      return 1;
    }
    side.still->attachLayer(0, still, &error);
    side.sequence->attachLayer(0, sequence, &error);
    if (side.choice != GpuChoice::Off) {
      side.device = side.still->gpuDeviceName().empty() ? "none (" + side.still->gpuWhy() + ")"
                    : side.still->gpuAccepted()         ? side.still->gpuDeviceName()
                                                        : side.still->gpuDeviceName() + ", refused by the module";
    }
    std::printf("%s_device: %s\n", side.label, side.device.c_str());
  }
  std::printf("\nSummary: frames per second at %dx%d, 32 bits, median of %d (render command / whole frame)\n", kW,
              kH, runs);
  std::printf("%-16s %17s %17s %17s\n", "kind", "cpu", "cuda", "opencl");
  int failures = 0;
  for (const Kind& kind : kKinds) {
    std::printf("%-16s", kind.name);
    for (Side& side : sides) {
      fm::host::HeadlessHost& host = kind.tracked ? *side.sequence : *side.still;
      const bool gpu = side.choice != GpuChoice::Off;
      if (gpu && !host.gpuAccepted()) {
        std::printf(" %17s", "-");
        continue;
      }
      std::string problem;
      const Fps fps = measure(host, kind, runs, gpu, &problem);
      if (!problem.empty()) {
        ++failures;
        std::printf(" %17s", "failed");
        std::fprintf(stderr, "%s on %s: %s\n", kind.name, side.label, problem.c_str());
        continue;
      }
      char cell[32];
      std::snprintf(cell, sizeof cell, "%.2f / %.2f", fps.command, fps.whole);
      std::printf(" %17s", cell);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  return failures ? 1 : 0;
}
