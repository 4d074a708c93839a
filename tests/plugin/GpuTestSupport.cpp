#include "tests/plugin/GpuTestSupport.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "gpu/CudaLoader.h"

namespace fm::test {
namespace {

constexpr int32_t kWidth = 61, kHeight = 48;

std::shared_ptr<const host::Layer> movingSquare(int32_t depth) {
  std::map<int32_t, host::Image> frames;
  for (int32_t t = -1; t <= 1; ++t) frames[t] = movingSquareFrame(kWidth, kHeight, depth, t, 3, 1);
  return host::Layer::sequence(std::move(frames));
}

}  // namespace

const std::vector<GpuKind>& gpuKinds() {
  static const std::vector<GpuKind> kinds = {
      {"Vector Blur", {{"Blur Type", "Vector Blur"}, {"Amount", "9"}, {"Map Softness", "2"}}, "Vector Map",
       false, 2e-4f},
      {"Gaussian Blur", {{"Blur Type", "Gaussian Blur"}, {"Blurriness", "7.5"}}, nullptr, false, 2e-4f},
      {"Gaussian Blur reduced", {{"Blur Type", "Gaussian Blur"}, {"Blurriness", "300"}}, nullptr, false, 2e-4f},
      {"Camera Lens Blur",
       {{"Blur Type", "Camera Lens Blur"}, {"Blur Radius", "5"}, {"Shape", "Pentagon"}, {"Gain", "20"}},
       "Layer", false, 2e-4f},
      {"Box Blur", {{"Blur Type", "Box Blur"}, {"Blur Radius", "3"}, {"Iterations", "2"}}, nullptr, false, 2e-4f},
      {"Radial Blur", {{"Blur Type", "Radial Blur"}, {"Amount", "15"}, {"Type", "Zoom"}, {"Center", "20,15"}},
       nullptr, false, 2e-4f},
      {"Directional Motion Blur", {{"Blur Type", "Motion Blur"}, {"Direction", "30"}, {"Blur Length", "9"}},
       nullptr, false, 2e-4f},
      {"Tracked Motion Blur",
       {{"Blur Type", "Motion Blur"}, {"Motion Blur Type", "Tracked Motion Blur"}, {"Blur Amount", "1"},
        {"Motion Sensitivity", "100"}, {"Output", "Motion Blur"}, {"Max Displacement", "8"}},
       nullptr, true, 2e-3f},
      // Vectors are motion scaled by the largest displacement: 0.1 pixels of it.
      {"Motion Vectors",
       {{"Blur Type", "Motion Blur"}, {"Motion Blur Type", "Tracked Motion Blur"}, {"Blur Amount", "1"},
        {"Motion Sensitivity", "100"}, {"Output", "Motion Vectors"}, {"Max Displacement", "8"}},
       nullptr, true, 0.1f / 8},
  };
  return kinds;
}

const GpuKind& gpuKind(const std::string& name) {
  for (const GpuKind& k : gpuKinds()) {
    if (name == k.name) return k;
  }
  throw std::invalid_argument(name);
}

double toleranceAt(float tolerance, int32_t depth) {
  if (depth == 32) return tolerance;
  return std::ceil(double(tolerance) * (depth == 8 ? 255.0 : 32768.0));
}

std::unique_ptr<host::HeadlessHost> layerHost(bool tracked, int32_t depth, host::HostProfile profile,
                                              const char* module) {
  profile.privateModuleCopy = true;
  std::string error;
  std::unique_ptr<host::HeadlessHost> h = host::HeadlessHost::open(module, profile, &error);
  EXPECT_TRUE(h) << error;
  if (!h) return h;
  const auto layer = tracked ? movingSquare(depth) : host::Layer::still(testFrame(kWidth, kHeight, depth, 5));
  EXPECT_TRUE(h->attachLayer(0, layer, &error)) << error;
  return h;
}

void applyKind(host::HeadlessHost& host, const GpuKind& kind, int32_t depth) {
  setParams(host, kind.params);
  if (!kind.mapParam) return;
  std::string error;
  const auto map = host::Layer::still(testFrame(kWidth - 9, kHeight + 6, depth, 33));
  EXPECT_TRUE(host.attachLayer(kind.mapParam, map, &error)) << error;
}

host::FrameRequest kindRequest(int32_t depth) {
  host::FrameRequest request;
  request.depth = depth;
  request.request = PF_Rect{-24, -24, kWidth + 24, kHeight + 24};
  return request;
}

ModuleLog::ModuleLog() {
  if (const char* old = std::getenv("TMPDIR")) {
    previous_ = old;
    hadPrevious_ = true;
  }
  char pattern[] = "/tmp/fm-gpu-log-XXXXXX";
  folder_ = mkdtemp(pattern) ? pattern : "/tmp";
  setenv("TMPDIR", folder_.c_str(), 1);
}

ModuleLog::~ModuleLog() {
  if (hadPrevious_) {
    setenv("TMPDIR", previous_.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  std::error_code ignored;
  if (folder_ != "/tmp") std::filesystem::remove_all(folder_, ignored);
}

std::string ModuleLog::text() const {
  std::ifstream in(folder_ + "/Fogmill.log", std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

int ModuleLog::count(const std::string& needle) const {
  std::istringstream lines(text());
  int n = 0;
  for (std::string line; std::getline(lines, line);) n += line.find(needle) != std::string::npos;
  return n;
}

fakecu::Control* fakeCuda() {
  if (!loadCuda()) return nullptr;
  auto control = reinterpret_cast<fakecu::Control* (*)()>(cudaSymbol("fmFakeCuda"));
  return control ? control() : nullptr;
}

}  // namespace fm::test
