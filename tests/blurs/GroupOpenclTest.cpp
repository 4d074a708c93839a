// Directional Motion Blur and Radial Blur rendered through the driver on OpenCL (PoCL on
// machines without a GPU) agree with the CPU backend, whose translation passes take the
// specialised runner.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/blurs/GroupTestSupport.h"
#include "tests/support/KernelRun.h"
#include "tests/support/OpenCLTarget.h"

namespace {

using fm::Rect;
using fmtest::HostImage;

// The targets may fuse multiply-adds differently: rotated and scaled positions move by a few
// 1e-6 pixels, which bilinear samples of values in [0, 1] carry over almost unchanged.
constexpr float kTolerance = 2e-5f;

class GroupOnOpencl : public ::testing::Test {
 protected:
  void SetUp() override {
    FM_REQUIRE_OPENCL();
    std::string why;
    cl = fmtest::OpenCLTarget::create(&why);
    ASSERT_TRUE(cl) << why;
  }
  void TearDown() override {
    if (!cl) return;
    EXPECT_EQ(cl->liveAfterFlush(), 0);
  }

  bool renderOn(fm::Backend& be, const RenderSettings& s, const fm::Buffer& input, const Rect& placed,
                const Rect& outRect, HostImage& result) {
    double scale[3];
    fm::Buffer out;
    std::string message;
    if (!fm::render(be, s, grouptest::scaleOf(s, scale), fm::PlacedImage{&input, placed}, placed, placed, nullptr,
                    outRect, out, &message)) {
      ADD_FAILURE() << message;
      return false;
    }
    const bool ok = fmtest::readImage(be, out, result);
    be.freeImage(out);
    return ok;
  }

  std::string compare(const RenderSettings& s) {
    const HostImage image = blurtest::premultipliedImage(45, 33, 91);
    const Rect placed{-4, 7, 41, 40};
    const Rect outRect = fm::grownBy(placed, 9, 9);
    fm::ThreadParallel par(2);
    fm::CpuBackend cpu(&par, nullptr, nullptr);
    HostImage onCpu, onCl;
    if (!renderOn(cpu, s, image.buffer(), placed, outRect, onCpu)) return "CPU render failed";
    fm::Buffer deviceInput;
    const bool ok = cl->upload(deviceInput, image) && renderOn(cl->backend, s, deviceInput, placed, outRect, onCl);
    cl->backend.freeImage(deviceInput);
    if (!ok) return "OpenCL render failed: " + cl->error();
    const std::string diff = fmtest::firstDifference(onCpu, onCl, kTolerance, kTolerance);
    return diff.empty() ? "" : "CPU and OpenCL differ at " + diff;
  }

  std::unique_ptr<fmtest::OpenCLTarget> cl;
};

TEST_F(GroupOnOpencl, DirectionalBlur) {
  EXPECT_EQ(compare(grouptest::directionalSettings(0, 10)), "");
  EXPECT_EQ(compare(grouptest::directionalSettings(33, 120, true)), "");  // two passes, both axes
}

TEST_F(GroupOnOpencl, RadialBlur) {
  EXPECT_EQ(compare(grouptest::radialSettings(1, 40, 20, 22)), "");
  EXPECT_EQ(compare(grouptest::radialSettings(1, 360, 20, 22, 1, true, {1, 1, 2})), "");
  EXPECT_EQ(compare(grouptest::radialSettings(2, 80, 5, 30, 2)), "");
}

}  // namespace
