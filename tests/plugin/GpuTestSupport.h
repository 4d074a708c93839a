// GPU rendering through the module: the kinds rendered on both sides, hosts that offer a device,
// the module's log in a folder of the test's own, and the stand-in CUDA driver's controls.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/HeadlessHost.h"
#include "tests/gpu/FakeCuda.h"
#include "tests/plugin/RenderTestSupport.h"

namespace fm::test {

// Every kind with the layers it reads. `tolerance` is what a GPU render may differ from the CPU
// render in floats: the device's compiler may fuse and reorder, and flow estimates differ in
// their last bits between targets.
struct GpuKind {
  const char* name;
  ParamTexts params;
  const char* mapParam;  // a map layer parameter to attach, or null
  bool tracked;          // the layer is a moving sequence
  float tolerance;
};
const std::vector<GpuKind>& gpuKinds();
const GpuKind& gpuKind(const std::string& name);

// The tolerance of difference() at a depth: integer worlds round the float difference to at
// most the next code value.
double toleranceAt(float tolerance, int32_t depth);

// A host of `module` (a private copy) with a layer at `depth`: a moving sequence for the tracked
// kinds, else a still frame. The profile says which device it offers.
std::unique_ptr<host::HeadlessHost> layerHost(bool tracked, int32_t depth, host::HostProfile profile,
                                              const char* module = FM_MODULE_PATH);
// The kind's parameters, and its map layer.
void applyKind(host::HeadlessHost& host, const GpuKind& kind, int32_t depth);

// The frame the kinds render: the layer and room around it.
host::FrameRequest kindRequest(int32_t depth);

// The module's log: TMPDIR points at a fresh folder while this lives.
class ModuleLog {
 public:
  ModuleLog();
  ~ModuleLog();
  ModuleLog(const ModuleLog&) = delete;
  ModuleLog& operator=(const ModuleLog&) = delete;
  std::string text() const;
  // Lines holding `needle`.
  int count(const std::string& needle) const;

 private:
  std::string folder_, previous_;
  bool hadPrevious_ = false;
};

// The stand-in driver the module and the host opened under the driver's name; null (the test is
// then skipped or failed) when this process has none.
fakecu::Control* fakeCuda();

// Skips the running test where the stand-in CUDA driver is not on the library path.
#define FM_REQUIRE_FAKE_CUDA()                                                             \
  do {                                                                                     \
    if (!::fm::test::fakeCuda()) {                                                         \
      if (std::getenv("FM_FAKE_CUDA")) FAIL() << "the stand-in CUDA driver did not load";  \
      GTEST_SKIP() << "run with the stand-in CUDA driver on LD_LIBRARY_PATH";              \
    }                                                                                      \
  } while (0)

// Skips the running test where there is no OpenCL device (fails in CI).
#define FM_REQUIRE_OPENCL_DEVICE()                                                  \
  do {                                                                              \
    std::string fmWhy;                                                              \
    if (!::fm::host::GpuDevice::open(::fm::host::GpuChoice::OpenCL, &fmWhy)) {      \
      if (std::getenv("CI")) FAIL() << "no OpenCL device in CI: " << fmWhy;         \
      GTEST_SKIP() << "no OpenCL device: " << fmWhy;                                \
    }                                                                               \
  } while (0)

}  // namespace fm::test
