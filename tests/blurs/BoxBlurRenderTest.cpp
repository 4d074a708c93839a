// Box Blur through the render driver against a direct average in double precision.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "blurs/BoxBlur.h"
#include "engine/Platform.h"
#include "tests/blurs/BlurTestSupport.h"

namespace {

using blurtest::boxSettings;
using blurtest::Scale;
using fm::Rect;
using fmtest::HostImage;
using fmtest::RefImage;

// Box Blur as a reference: the radius in working pixels per axis from the settings, each
// box a direct average over the continuous radius, repeated passes alternating H and V;
// with Repeat Edge Pixels only input pixels count, and each repeat on an axis treats what
// the earlier ones spread as valid. `factor` > 1 reduces and enlarges as the engine does.
RefImage referenceBox(const RenderSettings& s, int factor, const HostImage& image, const Rect& placed,
                      const Rect& bounds, const Rect& outRect) {
  const double par = s.pixelAspect > 1e-6 ? s.pixelAspect : 1.0;
  const double r = std::max(s.boxBlurRadius, 0.0);
  const int it = std::clamp(s.iterations, 1, 50);
  const double rx = (s.boxDimensions != 3 ? s.downsampleX / par * r : 0.0) / factor;
  const double ry = (s.boxDimensions != 2 ? s.downsampleY * r : 0.0) / factor;
  const int reachX = int(std::ceil(rx - 1e-4)), reachY = int(std::ceil(ry - 1e-4));
  const Rect canvas =
      fm::boundingBox(fm::grownBy(bounds, factor * (reachX * it + 3), factor * (reachY * it + 3)),
                      fm::grownBy(outRect, 2 * factor, 2 * factor));
  RefImage im = fmtest::refLoad(image, placed, bounds, canvas);
  if (factor > 1) im = fmtest::refReduce(im, factor);
  const Rect v = fm::reducedBy(bounds, factor);
  for (int i = 0; i < it; ++i) {
    const int rangeX[2] = {v.left - i * reachX, v.right + i * reachX};
    const int rangeY[2] = {v.top - i * reachY, v.bottom + i * reachY};
    if (rx > 1e-4) fmtest::refBox(im, true, rx, s.boxRepeatEdgePixels ? rangeX : nullptr);
    if (ry > 1e-4) fmtest::refBox(im, false, ry, s.boxRepeatEdgePixels ? rangeY : nullptr);
  }
  return factor > 1 ? fmtest::refEnlarge(im, factor, outRect) : im;
}

int factorOf(const RenderSettings& s) {
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  fm::SeparablePlan plan;
  fm::makeBoxPlan(s, scale, plan);
  return plan.factor;
}

class BoxRender : public blurtest::BlurRender {
 protected:
  // Renders `s` over the input grown by `margin` and compares with the reference.
  void check(const RenderSettings& s, int expectFactor, const HostImage& image, const Rect& placed,
             int margin, double tol) {
    const int f = factorOf(s);
    ASSERT_EQ(f, expectFactor);
    const Rect out = fm::grownBy(placed, margin, margin);
    ASSERT_TRUE(render(s, image, placed, placed, out)) << message;
    EXPECT_LE(fmtest::maxDifference(this->out, out, referenceBox(s, f, image, placed, placed, out)), tol);
  }
};

TEST_F(BoxRender, MatchesTheDirectAverageAcrossSettings) {
  const HostImage image = blurtest::premultipliedImage(23, 17, 21);
  const Rect placed{5, -3, 28, 14};
  const struct {
    double radius;
    int iterations, dims;
    bool repeat;
    Scale scale;
  } cases[] = {
      {0.5, 1, 1, false, {}},
      {0.5, 1, 1, true, {}},
      {3.7, 1, 1, false, {}},
      {3.7, 3, 1, true, {}},
      {3.7, 2, 2, true, {}},
      {3.7, 2, 3, false, {}},
      {3.7, 2, 2, false, {}},
      {3.7, 3, 3, true, {}},
      {40, 1, 1, false, {}},
      {40, 2, 1, true, {}},
      {6.3, 2, 1, true, {1, 1, 2}},
      {6.3, 2, 1, false, {1, 1, 2}},
      {6.3, 2, 1, false, {0.5, 0.5, 1}},
      {10, 3, 1, true, {0.5, 0.5, 0.9}},
      {2, 60, 1, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "radius " << c.radius << " x" << c.iterations << " dims " << c.dims << " repeat "
                 << c.repeat << " scale " << c.scale.dsx << "/" << c.scale.par);
    check(boxSettings(c.radius, c.iterations, c.dims, c.repeat, c.scale), 1, image, placed, 8, 2e-5);
  }
}

TEST_F(BoxRender, LargeRadius) {
  // Radius 300 on a wide, thin layer with a step across it, so that the blurred result still
  // has structure along x: once at full resolution, then repeated, which reduces by 2.
  HostImage image = blurtest::premultipliedImage(700, 4, 22);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 700; ++x) image.at(x, y).r = image.at(x, y).a * (x < 350 ? 0.1f : 0.9f);
  const Rect placed{-350, 0, 350, 4};
  check(boxSettings(300, 1, 1, true), 1, image, placed, 40, 2e-5);
  check(boxSettings(300, 1, 2, false), 1, image, placed, 40, 2e-5);
  check(boxSettings(300, 2, 2, false), 2, image, placed, 40, 2e-5);
  check(boxSettings(300, 3, 1, true), 2, image, placed, 40, 2e-5);
  check(boxSettings(300, 3, 2, true), 2, image, placed, 40, 2e-5);
}

TEST_F(BoxRender, RepeatEdgePixelsKeepsAConstantLayerConstantUpToItsEdge) {
  HostImage image(30, 20);
  image.fill(fmtest::Px{0.1f, 0.2f, 0.3f, 0.5f});
  const Rect placed{0, 0, 30, 20};
  for (const RenderSettings& s : {boxSettings(3.7, 3, 1, true), boxSettings(300, 3, 1, true)}) {
    ASSERT_TRUE(render(s, image, placed, placed, placed)) << message;
    const RefImage want = fmtest::refLoad(image, placed, placed, placed);
    EXPECT_LE(fmtest::maxDifference(out, placed, want), 2e-6);
  }
  // Without it the layer fades towards its edge.
  ASSERT_TRUE(render(boxSettings(3.7, 3, 1, false), image, placed, placed, placed));
  EXPECT_LT(static_cast<const float*>(out.data)[3], 0.4f);
}

TEST_F(BoxRender, NegligibleOrNegativeRadiusCopiesAndIterationsAreClamped) {
  const HostImage image = blurtest::premultipliedImage(12, 9, 23);
  const Rect placed{0, 0, 12, 9}, out{-3, -3, 15, 12};
  for (double r : {-5.0, 0.0, 0.00009}) {
    ASSERT_TRUE(render(boxSettings(r, 3), image, placed, placed, out)) << r;
    EXPECT_EQ(be.kernels.back(), FM_K_COPY);
    EXPECT_EQ(fmtest::maxDifference(this->out, out, fmtest::refLoad(image, placed, placed, out)), 0.0);
  }
  // Zero or negative iterations blur once; more than 50 blur 50 times.
  ASSERT_TRUE(render(boxSettings(2, 1), image, placed, placed, out));
  const RefImage once = fmtest::refFromBuffer(this->out, out);
  for (int it : {0, -4}) {
    ASSERT_TRUE(render(boxSettings(2, it), image, placed, placed, out));
    EXPECT_EQ(fmtest::maxDifference(this->out, out, once), 0.0) << it;
  }
  ASSERT_TRUE(render(boxSettings(0.5, 50), image, placed, placed, out));
  const RefImage fifty = fmtest::refFromBuffer(this->out, out);
  be.kernels.clear();
  ASSERT_TRUE(render(boxSettings(0.5, 500), image, placed, placed, out));
  EXPECT_EQ(fmtest::maxDifference(this->out, out, fifty), 0.0);
  EXPECT_EQ(std::count(be.kernels.begin(), be.kernels.end(), FM_K_BOX_ROWS), 50);
}

// A radius far beyond any picture would need a work image of gigabytes, empty but for a faint
// trace of the layer: the render fails cleanly before allocating it.
TEST_F(BoxRender, RadiusFarBeyondThePictureFailsBeforeAllocatingWorkImages) {
  const HostImage image = blurtest::premultipliedImage(37, 20, 29);
  const Rect placed{0, 0, 37, 20}, out{-5, -4, 42, 24};
  for (int dims : {1, 3}) {
    be.allocCalls = 0;
    EXPECT_FALSE(render(boxSettings(1e9, 1, dims), image, placed, placed, out)) << dims;
    EXPECT_EQ(message, "render failed");
    EXPECT_EQ(be.allocCalls, 1) << "only the output, released again";
  }
  // Both axes, where the work area rather than its extent is out of reach.
  be.allocCalls = 0;
  EXPECT_FALSE(render(boxSettings(1e7, 1), image, placed, placed, out));
  EXPECT_EQ(be.allocCalls, 1);
}

// The largest settings the parameters allow can legitimately need a work image far larger
// than the picture: with Repeat Edge Pixels, 50 iterations of radius 8000 on an HD frame need
// about 12530 x 12517 working pixels. Where the machine can hold them the render asks for
// them (refused here by the test backend, so nothing is allocated).
TEST_F(BoxRender, LargestLegitimateWorkRegionIsAskedFor) {
  constexpr double kWorkPixels = 12530.0 * 12517.0;
  if (fm::physicalMemoryBytes() < 4 * 16 * kWorkPixels) GTEST_SKIP() << "machine too small to hold the work";
  const HostImage image = blurtest::premultipliedImage(1920, 1080, 3);
  const Rect placed{0, 0, 1920, 1080};
  be.refuseAbovePixels = 1 << 24;
  EXPECT_FALSE(render(boxSettings(8000, 50, 1, true), image, placed, placed, placed));
  EXPECT_EQ(message, "render failed");
  EXPECT_GT(double(be.largestRequest), 0.95 * kWorkPixels);
  EXPECT_LT(double(be.largestRequest), 1.05 * kWorkPixels);
  EXPECT_EQ(be.liveImages, 0);
}

}  // namespace
