// Every blur kind rendered with the GPU render command on a device through the module equals the
// same frame rendered on the CPU through the module: in 8 and 16 bits (exported with clamping)
// and in 32 bits (without), with no device memory left behind and no GPU failure logged.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/plugin/GpuTestSupport.h"

namespace fm::test {
namespace {

// exact: the device runs the CPU's own kernels, so nothing may differ.
void expectEveryKindAsOnTheCpu(host::GpuChoice choice, bool exact) {
  ModuleLog log;
  host::HostProfile onGpu;
  onGpu.gpu = choice;
  for (int32_t depth : {8, 16, 32}) {
    for (bool tracked : {false, true}) {
      auto cpu = layerHost(tracked, depth, {});
      auto gpu = layerHost(tracked, depth, onGpu);
      ASSERT_TRUE(cpu && gpu);
      ASSERT_TRUE(gpu->gpuAccepted()) << gpu->gpuDeviceName() << gpu->gpuWhy() << "\n" << log.text();
      for (const GpuKind& kind : gpuKinds()) {
        if (kind.tracked != tracked) continue;
        SCOPED_TRACE(std::string(kind.name) + " in " + std::to_string(depth) + " bits on " + gpu->gpuDeviceName());
        applyKind(*cpu, kind, depth);
        applyKind(*gpu, kind, depth);
        const int32_t gpuRendersBefore = gpu->stats().gpuRenders;
        const Rendered expected = renderThroughModule(*cpu, kindRequest(depth));
        const Rendered out = renderThroughModule(*gpu, kindRequest(depth));
        ASSERT_TRUE(expected.report.ok()) << expected.report.message;
        ASSERT_TRUE(out.report.ok()) << out.report.message;
        EXPECT_EQ(expected.report.renderFlags & PF_RenderOutputFlag_GpuRenderPossible, 0u);
        EXPECT_NE(out.report.renderFlags & PF_RenderOutputFlag_GpuRenderPossible, 0u);
        EXPECT_EQ(gpu->stats().gpuRenders, gpuRendersBefore + 1);
        EXPECT_EQ(gpu->stats().deviceMemoryHeld, 0);
        EXPECT_EQ(toRect(out.report.resultRect), toRect(expected.report.resultRect));
        EXPECT_EQ(difference(out.image, expected.image, exact ? 0 : toleranceAt(kind.tolerance, depth)), "");
      }
      EXPECT_GT(gpu->stats().deviceAllocations, 0);
    }
  }
  EXPECT_EQ(log.count("GPU"), 0) << log.text();
}

TEST(GpuRenderOpenCL, EveryKindAsOnTheCpu) {
  FM_REQUIRE_OPENCL_DEVICE();
  expectEveryKindAsOnTheCpu(host::GpuChoice::OpenCL, false);
}

// On the stand-in driver, which runs the CPU's kernels, bit for bit; on a real one within the
// tolerance (its PTX compiler fuses and approximates).
TEST(GpuRenderCuda, EveryKindAsOnTheCpu) {
  fakecu::Control* fake = fakeCuda();
  std::string why;
  if (!fake && !host::GpuDevice::open(host::GpuChoice::Cuda, &why)) {
    if (std::getenv("FM_FAKE_CUDA") || std::getenv("FM_REQUIRE_CUDA")) FAIL() << why;
    GTEST_SKIP() << why;
  }
  if (fake) fake->reset();
  expectEveryKindAsOnTheCpu(host::GpuChoice::Cuda, fake != nullptr);
  if (!fake) return;
  std::lock_guard<std::mutex> lock(fake->lock);
  EXPECT_TRUE(fake->faults.empty()) << fake->faults.front();
}

// Frames rendering at once share the device's kernels and the host's queue: each must come out as
// it does alone. A negligible blur (frame mode 2) goes through the device as well.
TEST(GpuRenderOpenCL, FramesAtOnceAndCopiesMatchFramesAlone) {
  FM_REQUIRE_OPENCL_DEVICE();
  ModuleLog log;
  host::HostProfile onGpu;
  onGpu.gpu = host::GpuChoice::OpenCL;
  auto gpu = layerHost(false, 32, onGpu);
  ASSERT_TRUE(gpu && gpu->gpuAccepted());
  applyKind(*gpu, gpuKind("Camera Lens Blur"), 32);
  const Rendered alone = renderThroughModule(*gpu, kindRequest(32));
  ASSERT_TRUE(alone.report.ok()) << alone.report.message;
  std::vector<host::Image> outs;
  const auto reports = gpu->renderFrames(std::vector<host::FrameRequest>(4, kindRequest(32)), &outs, 4);
  for (size_t i = 0; i < reports.size(); ++i) {
    ASSERT_TRUE(reports[i].ok()) << reports[i].message;
    EXPECT_EQ(difference(outs[i], alone.image), "") << "frame " << i;
  }
  EXPECT_EQ(gpu->stats().gpuRenders, 5);
  EXPECT_EQ(gpu->stats().deviceMemoryHeld, 0);

  // Blurriness 0 copies the input: the copy keeps the premultiplied pixels of the layer.
  auto cpu = layerHost(false, 32, {});
  setParams(*cpu, {{"Blur Type", "Gaussian Blur"}, {"Blurriness", "0"}});
  setParams(*gpu, {{"Blur Type", "Gaussian Blur"}, {"Blurriness", "0"}});
  const Rendered copied = renderThroughModule(*gpu, kindRequest(32));
  const Rendered expected = renderThroughModule(*cpu, kindRequest(32));
  ASSERT_TRUE(copied.report.ok()) << copied.report.message;
  EXPECT_EQ(gpu->stats().gpuRenders, 6);
  ASSERT_EQ(copied.image.width(), expected.image.width());
  ASSERT_EQ(copied.image.height(), expected.image.height());
  for (int32_t y = 0; y < copied.image.height(); ++y) {
    for (int32_t x = 0; x < copied.image.width(); ++x) {
      float a[4], b[4];
      copied.image.get(x, y, a);
      expected.image.get(x, y, b);
      for (int c = 0; c < 4; ++c) ASSERT_NEAR(a[c] * a[3], b[c] * b[3], 1e-6) << x << "," << y << " " << c;
    }
  }
  EXPECT_EQ(log.count("GPU"), 0) << log.text();
}

}  // namespace
}  // namespace fm::test
