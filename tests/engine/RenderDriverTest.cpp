// The render driver: trivial cases, the negligible-blur thresholds, messages and ownership.
#include <gtest/gtest.h>

#include <string>

#include "blurs/Render.h"
#include "engine/ThreadParallel.h"
#include "tests/support/TestBackends.h"
#include "tests/support/TestImage.h"

namespace {

using fm::Rect;
using fmtest::HostImage;

const double kFull[3] = {1.0, 1.0, 1.0};

class RenderDriver : public ::testing::Test {
 protected:
  RenderDriver() : input(fmtest::randomImage(20, 12, 5, 0, 1)), inBuf(input.buffer()) {
    placed.buffer = &inBuf;
    placed.rect = Rect{100, 50, 120, 62};
  }

  bool go(const RenderSettings& s, const Rect& outRect, const double scale[3] = kFull) {
    message = "untouched";
    return fm::render(be, s, scale, placed, placed.rect, placed.rect, nullptr, outRect, out, &message);
  }

  // Output pixel at layer position (x, y).
  const fmtest::Px& outAt(const Rect& outRect, int x, int y) const {
    const auto* px = static_cast<const fmtest::Px*>(out.data);
    return px[size_t(y - outRect.top) * out.pitch + (x - outRect.left)];
  }

  void expectCopyOf(const Rect& outRect) {
    for (int y = outRect.top; y < outRect.bottom; ++y)
      for (int x = outRect.left; x < outRect.right; ++x) {
        const bool inside = x >= 100 && x < 120 && y >= 50 && y < 62;
        const fmtest::Px want = inside ? input.at(x - 100, y - 50) : fmtest::Px{};
        const fmtest::Px& got = outAt(outRect, x, y);
        ASSERT_TRUE(got.r == want.r && got.g == want.g && got.b == want.b && got.a == want.a)
            << "at " << x << "," << y;
      }
  }

  void TearDown() override {
    be.freeImage(out);
    EXPECT_EQ(be.liveImages, 0);
    EXPECT_EQ(be.liveTables, 0);
  }

  HostImage input;
  fm::Buffer inBuf;
  fm::PlacedImage placed;
  fm::ThreadParallel par{3};
  fmtest::CountingBackend be{&par};
  fm::Buffer out;
  std::string message;
};

RenderSettings gaussian(double blurriness) {
  RenderSettings s;
  s.blurType = fm::kGaussianBlur;
  s.blurriness = blurriness;
  return s;
}

TEST_F(RenderDriver, EmptyOutputIsRefusedBeforeTouchingTheBackend) {
  for (const Rect& r : {Rect{5, 5, 5, 9}, Rect{5, 5, 9, 5}, Rect{9, 0, 5, 4}}) {
    EXPECT_FALSE(go(gaussian(0), r));
    EXPECT_EQ(message, "empty output");
  }
  EXPECT_EQ(be.allocCalls, 0);
  EXPECT_EQ(be.launchCalls, 0);
  // Without a message slot the result is the same, silently.
  EXPECT_FALSE(fm::render(be, gaussian(0), kFull, placed, placed.rect, placed.rect, nullptr, Rect{}, out, nullptr));
}

TEST_F(RenderDriver, OutputThatCannotBeAllocated) {
  be.failAlloc = 1;
  out = fm::Buffer{reinterpret_cast<void*>(0x42), 1, 1, 1, false};
  EXPECT_FALSE(go(gaussian(0), Rect{0, 0, 10, 10}));
  EXPECT_EQ(message, "out of memory (output)");
  EXPECT_EQ(out.data, reinterpret_cast<void*>(0x42));
  out = fm::Buffer{};
  // Wider than any image can be.
  EXPECT_FALSE(go(gaussian(0), Rect{-2000000000, 0, 2000000000, 1}));
  EXPECT_EQ(message, "out of memory (output)");
}

TEST_F(RenderDriver, MissingInputClearsTheOutput) {
  const Rect r{90, 40, 130, 70};
  placed.buffer = nullptr;
  ASSERT_TRUE(go(gaussian(50), r));
  EXPECT_EQ(be.kernels, (std::vector<int>{FM_K_CLEAR}));
  EXPECT_EQ(be.costs, (std::vector<double>{1.0}));
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) ASSERT_EQ(outAt(r, x, y).a, 0.0f) << x << "," << y;
  be.freeImage(out);

  placed.buffer = &inBuf;
  placed.rect = Rect{100, 50, 100, 62};
  ASSERT_TRUE(go(gaussian(50), r));
  EXPECT_EQ(outAt(r, 105, 55).a, 0.0f);
  EXPECT_EQ(out.width, 40);
  EXPECT_EQ(out.height, 30);
  EXPECT_EQ(message, "untouched");
}

TEST_F(RenderDriver, NegligibleBlurCopiesThePlacedInput) {
  // The output starts 10 pixels left of and 3 above the input.
  const Rect r{90, 47, 125, 60};
  ASSERT_TRUE(go(gaussian(0.18), r));
  EXPECT_EQ(be.kernels, (std::vector<int>{FM_K_COPY}));
  EXPECT_EQ(be.costs, (std::vector<double>{2.0}));
  expectCopyOf(r);
  for (int x = 90; x < 100; ++x) EXPECT_EQ(outAt(r, x, 55).a, 0.0f);
}

// Rectangles far apart: offsets that need 33 bits, or that fit 32 bits only until a pixel
// position is added to them. The output is transparent, and no kernel sum may overflow (the
// sanitizer build stops on one).
TEST_F(RenderDriver, CopyBetweenRectanglesFarApartIsTransparent) {
  for (int32_t inLeft : {-58, INT32_MIN + 5}) {
    placed.rect = Rect{inLeft, 50, inLeft + 20, 62};
    const Rect r{INT32_MAX - 64, 40, INT32_MAX - 24, 62};
    ASSERT_TRUE(go(gaussian(0.18), r));
    for (int y = 40; y < 62; ++y)
      for (int x = 0; x < 40; ++x) ASSERT_EQ(outAt(r, r.left + x, y).a, 0.0f) << inLeft << ": " << x << "," << y;
    be.freeImage(out);
  }
}

TEST_F(RenderDriver, RunnerFailingMidwayReleasesEverything) {
  // The blur's second launch fails: the driver reports it and nothing stays allocated.
  be.failLaunch = 2;
  EXPECT_FALSE(go(gaussian(5.0), Rect{100, 50, 120, 62}));
  EXPECT_EQ(message, "render failed");
  EXPECT_EQ(out.data, nullptr);
  EXPECT_EQ(be.liveImages, 0);
}

TEST_F(RenderDriver, OtherKindsAndUnknownKindsAreCopied) {
  RenderSettings s;
  s.blurType = fm::kMotionBlur;
  s.motionBlurType = 2;  // tracked frames never reach this driver: copy
  s.blurLength = 100;
  ASSERT_TRUE(go(s, placed.rect));
  expectCopyOf(placed.rect);
  be.freeImage(out);
  s.blurType = 7;
  ASSERT_TRUE(go(s, placed.rect));
  expectCopyOf(placed.rect);
}

TEST_F(RenderDriver, FailedLaunchReleasesTheOutput) {
  be.failLaunch = 1;
  EXPECT_FALSE(go(gaussian(0), Rect{100, 50, 110, 60}));
  EXPECT_EQ(message, "render failed");
  EXPECT_EQ(out.data, nullptr);
}

struct AbortFlag {
  bool on = false;
};
bool readFlag(void* ctx) { return static_cast<AbortFlag*>(ctx)->on; }

TEST_F(RenderDriver, AbortIsReportedAsAborted) {
  AbortFlag flag{true};
  fmtest::CountingBackend aborting(&par, &readFlag, &flag);
  std::string msg;
  EXPECT_FALSE(fm::render(aborting, gaussian(0), kFull, placed, placed.rect, placed.rect, nullptr, placed.rect,
                          out, &msg));
  EXPECT_EQ(msg, "aborted");
  EXPECT_EQ(out.data, nullptr);
  EXPECT_EQ(aborting.liveImages, 0);
}

TEST(Negligible, ThresholdsPerKind) {
  RenderSettings s;
  auto neg = [&](const double sc[3] = kFull) { return fm::isNegligible(s, sc); };

  s.blurType = fm::kGaussianBlur;
  s.blurriness = 0.18;  // 0.18 / 3.6 = 0.05: still negligible (less or equal)
  EXPECT_TRUE(neg());
  s.blurriness = 0.2;
  EXPECT_FALSE(neg());
  const double half[3] = {0.5, 0.5, 1.0};
  s.blurriness = 0.36;
  EXPECT_TRUE(neg(half));
  s.blurriness = 0.37;
  EXPECT_FALSE(neg(half));
  // Non-square pixels: the larger per-axis scale counts; a degenerate aspect counts as 1.
  const double narrow[3] = {1.0, 1.0, 0.5};
  s.blurriness = 0.1;
  EXPECT_FALSE(neg(narrow));
  const double degenerate[3] = {1.0, 1.0, 1e-7};
  EXPECT_TRUE(neg(degenerate));

  s.blurType = fm::kVectorBlur;
  s.vectorAmount = -0.0001;
  EXPECT_FALSE(neg());
  s.vectorAmount = -0.00009;
  EXPECT_TRUE(neg());

  s.blurType = fm::kCameraLensBlur;
  s.blurRadius = 0.0009;
  EXPECT_TRUE(neg());
  const double tall[3] = {1.0, 2.0, 1.0};
  EXPECT_FALSE(neg(tall));  // only the vertical scale counts
  const double wide[3] = {4.0, 1.0, 1.0};
  EXPECT_TRUE(neg(wide));
  s.blurRadius = 0;
  s.hasBlurMap = true;
  EXPECT_FALSE(neg());

  s.blurType = fm::kBoxBlur;
  s.boxBlurRadius = 0.0001;
  EXPECT_FALSE(neg());
  s.boxBlurRadius = 0.00009;
  EXPECT_TRUE(neg());

  s.blurType = fm::kRadialBlur;
  s.radialAmount = 0.0001;
  EXPECT_FALSE(neg());
  s.radialAmount = -5;
  EXPECT_TRUE(neg());

  s.blurType = fm::kMotionBlur;
  s.motionBlurType = 1;
  s.blurLength = 0.2;
  EXPECT_TRUE(neg());
  s.blurLength = 0.25;
  EXPECT_FALSE(neg());
  s.motionBlurType = 2;
  EXPECT_TRUE(neg());

  for (int kind : {0, 7, -1}) {
    s.blurType = kind;
    EXPECT_TRUE(neg()) << kind;
  }
}

TEST(RenderSettingsDefaults, MatchTheParameterDefaults) {
  const RenderSettings s;
  EXPECT_EQ(s.blurType, 1);
  EXPECT_EQ(s.mapProperty, 6);
  EXPECT_EQ(s.mapSoftness, 15.0);
  EXPECT_TRUE(s.gaussianRepeatEdgePixels);
  EXPECT_EQ(s.blurRadius, 5.0);
  EXPECT_EQ(s.irisShape, 4);
  EXPECT_EQ(s.diffractionFringe, 100.0);
  EXPECT_EQ(s.highlightThreshold, 0.8);
  EXPECT_TRUE(s.lensRepeatEdgePixels);
  EXPECT_TRUE(s.useLinearWorkingSpace);
  EXPECT_EQ(s.iterations, 3);
  EXPECT_EQ(s.radialAmount, 10.0);
  EXPECT_EQ(s.blurAmount, 0.5);
  EXPECT_EQ(s.motionSensitivity, 70.0);
  EXPECT_EQ(s.maxDisplacement, 32.0);
  EXPECT_EQ(s.centerX, 0.0);
  EXPECT_EQ(s.downsampleX, 1.0);
  EXPECT_EQ(s.pixelAspect, 1.0);
}

}  // namespace
