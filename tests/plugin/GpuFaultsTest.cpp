// GPU faults through the module: whatever fails on the device is rendered on the CPU instead and
// logged; two failures in a row switch the GPU off for 60 seconds on the module's clock; an
// abort is a cancel, not a GPU failure; devices the module cannot use leave every frame to the
// CPU.
#include <gtest/gtest.h>

#include "tests/plugin/GpuTestSupport.h"

namespace fm::test {
namespace {

constexpr uint32_t kGpuFlag = PF_RenderOutputFlag_GpuRenderPossible;
constexpr const char* kFailed = "rendered on the CPU instead";
constexpr const char* kSwitchedOff = "GPU switched off for 60 s after repeated failures";

double gNow = 1000;
double testClock() { return gNow; }

// A GPU host and a CPU host over the same layer, the kind applied to both.
struct Pair {
  std::unique_ptr<host::HeadlessHost> cpu, gpu;
  Rendered expected;
};

Pair pairOf(const char* kind, int32_t depth, host::HostProfile onGpu, const char* module = FM_MODULE_PATH) {
  const GpuKind& k = gpuKind(kind);
  Pair p{layerHost(k.tracked, depth, {}), layerHost(k.tracked, depth, onGpu, module), {}};
  if (!p.cpu || !p.gpu) return p;
  applyKind(*p.cpu, k, depth);
  applyKind(*p.gpu, k, depth);
  p.expected = renderThroughModule(*p.cpu, kindRequest(depth));
  EXPECT_TRUE(p.expected.report.ok()) << p.expected.report.message;
  return p;
}

// A frame on the GPU host that must come out as the CPU renders it, bit for bit: after a failure
// the CPU render is what runs.
uint32_t renderAsOnTheCpu(Pair& p, int32_t depth) {
  const Rendered out = renderThroughModule(*p.gpu, kindRequest(depth));
  EXPECT_TRUE(out.report.ok()) << out.report.message;
  EXPECT_EQ(difference(out.image, p.expected.image), "");
  EXPECT_EQ(p.gpu->stats().deviceMemoryHeld, 0);
  return out.report.renderFlags;
}

TEST(GpuFaultsCuda, DeviceFailuresRenderOnTheCpuAndTwoInARowSwitchTheGpuOff) {
  FM_REQUIRE_FAKE_CUDA();
  fakecu::Control* fake = fakeCuda();
  fake->reset();
  ModuleLog log;
  host::HostProfile onGpu;
  onGpu.gpu = host::GpuChoice::Cuda;
  Pair p = pairOf("Gaussian Blur", 16, onGpu, FM_CLOCK_MODULE_PATH);
  ASSERT_TRUE(p.gpu && p.gpu->gpuAccepted()) << p.gpu->gpuWhy();
  auto setClock = reinterpret_cast<void (*)(double (*)())>(p.gpu->moduleSymbol("fmSetTestClock"));
  ASSERT_TRUE(setClock);
  setClock(&testClock);
  const auto failNextLaunch = [&] { fake->failCall("cuLaunchKernel", fakecu::kLaunchFailed, 1); };

  failNextLaunch();
  EXPECT_NE(renderAsOnTheCpu(p, 16) & kGpuFlag, 0u);
  EXPECT_EQ(log.count("GPU render failed ("), 1) << log.text();
  EXPECT_EQ(log.count("cuLaunchKernel 719), rendered on the CPU instead"), 1) << log.text();

  // A success in between: the next failure is a first one again.
  EXPECT_NE(renderAsOnTheCpu(p, 16) & kGpuFlag, 0u);
  failNextLaunch();
  renderAsOnTheCpu(p, 16);
  EXPECT_EQ(log.count(kFailed), 2);
  EXPECT_EQ(log.count(kSwitchedOff), 0) << log.text();

  failNextLaunch();
  renderAsOnTheCpu(p, 16);
  EXPECT_EQ(log.count(kFailed), 3);
  EXPECT_EQ(log.count(kSwitchedOff), 1) << log.text();

  // Pre-render stops offering the GPU until 60 seconds have passed on the module's clock.
  const int32_t gpuRenders = p.gpu->stats().gpuRenders;
  gNow += 59.5;
  EXPECT_EQ(renderAsOnTheCpu(p, 16) & kGpuFlag, 0u);
  EXPECT_EQ(p.gpu->stats().gpuRenders, gpuRenders);
  gNow += 0.5;
  EXPECT_NE(renderAsOnTheCpu(p, 16) & kGpuFlag, 0u);
  EXPECT_EQ(p.gpu->stats().gpuRenders, gpuRenders + 1);
  EXPECT_EQ(log.count(kFailed), 3);
  setClock(nullptr);

  std::lock_guard<std::mutex> lock(fake->lock);
  EXPECT_TRUE(fake->faults.empty()) << fake->faults.front();
}

TEST(GpuFaultsCuda, AnAbortIsACancelNotAGpuFailure) {
  FM_REQUIRE_FAKE_CUDA();
  fakeCuda()->reset();
  ModuleLog log;
  host::HostProfile onGpu;
  onGpu.gpu = host::GpuChoice::Cuda;
  Pair p = pairOf("Tracked Motion Blur", 32, onGpu);
  ASSERT_TRUE(p.gpu && p.gpu->gpuAccepted());
  fakeCuda()->failCall("cuLaunchKernel", fakecu::kLaunchFailed, 3);
  p.gpu->requestAbort(true);
  host::Image image;
  const host::FrameReport report = p.gpu->renderFrame(kindRequest(32), &image);
  EXPECT_EQ(report.err, PF_Interrupt_Cancel);
  EXPECT_EQ(p.gpu->stats().gpuRenders, 1);
  EXPECT_EQ(p.gpu->stats().deviceMemoryHeld, 0);
  EXPECT_TRUE(p.gpu->stats().faults.empty());
  EXPECT_EQ(log.count("GPU"), 0) << log.text();
}

TEST(GpuFaultsOpenCL, ExhaustedDeviceMemoryRendersOnTheCpu) {
  FM_REQUIRE_OPENCL_DEVICE();
  ModuleLog log;
  host::HostProfile onGpu;
  onGpu.gpu = host::GpuChoice::OpenCL;
  onGpu.gpuMemoryBudget = 100 * 1024;  // two images of the frame, not the blur's working set
  for (int32_t depth : {8, 32}) {
    Pair p = pairOf("Camera Lens Blur", depth, onGpu);
    ASSERT_TRUE(p.gpu && p.gpu->gpuAccepted()) << p.gpu->gpuWhy();
    EXPECT_NE(renderAsOnTheCpu(p, depth) & kGpuFlag, 0u);
    EXPECT_GT(p.gpu->stats().deviceAllocations, 0);
  }
  EXPECT_EQ(log.count("GPU render failed (device memory"), 2) << log.text();
}

// The module cannot use the device: it says so once at device setup, pre-render never offers the
// GPU, and every frame renders on the CPU.
TEST(GpuFaultsOpenCL, UnsupportedFrameworkAndMissingSuiteRenderOnTheCpu) {
  FM_REQUIRE_OPENCL_DEVICE();
  ModuleLog log;
  host::HostProfile unsupported;
  unsupported.gpu = host::GpuChoice::OpenCL;
  unsupported.gpuFramework = 2;
  host::HostProfile withoutSuite;
  withoutSuite.gpu = host::GpuChoice::OpenCL;
  withoutSuite.withheldSuites = {PF_GpuDeviceSuite};
  for (const host::HostProfile& profile : {unsupported, withoutSuite}) {
    Pair p = pairOf("Radial Blur", 8, profile);
    ASSERT_TRUE(p.gpu);
    EXPECT_FALSE(p.gpu->gpuDeviceName().empty());
    EXPECT_FALSE(p.gpu->gpuAccepted());
    for (int frame = 0; frame < 2; ++frame) EXPECT_EQ(renderAsOnTheCpu(p, 8) & kGpuFlag, 0u);
    EXPECT_EQ(p.gpu->stats().gpuRenders, 0);
  }
  EXPECT_EQ(log.count("GPU device 0: framework 2 not supported (rendering on the CPU)"), 1) << log.text();
  EXPECT_EQ(log.count("GPU"), 1) << log.text();
}

// An output world the GPU render cannot take is the host's mistake, not a GPU failure.
TEST(GpuFaultsOpenCL, AnOutputWorldNotInGpuFormatIsRefused) {
  FM_REQUIRE_OPENCL_DEVICE();
  ModuleLog log;
  host::HostProfile onGpu;
  onGpu.gpu = host::GpuChoice::OpenCL;
  onGpu.outputPixelFormat = PF_PixelFormat_Argb128;
  auto gpu = layerHost(false, 32, onGpu);
  ASSERT_TRUE(gpu && gpu->gpuAccepted());
  applyKind(*gpu, gpuKind("Box Blur"), 32);
  host::Image image;
  const host::FrameReport report = gpu->renderFrame(kindRequest(32), &image);
  EXPECT_EQ(report.err, PF_Err_UnrecognizedParamType);
  EXPECT_EQ(gpu->stats().deviceMemoryHeld, 0);
  EXPECT_EQ(log.count("GPU"), 0) << log.text();
}

}  // namespace
}  // namespace fm::test
