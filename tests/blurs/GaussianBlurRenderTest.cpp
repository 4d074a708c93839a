// Gaussian Blur through the render driver: the exact small-sigma convolution, the four-box
// approximation against a true Gaussian, the reduced path, edges and linear light.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "blurs/GaussianBlur.h"
#include "tests/blurs/BlurTestSupport.h"

namespace {

using blurtest::gaussianSettings;
using blurtest::Scale;
using fm::Rect;
using fmtest::HostImage;
using fmtest::RefImage;

fm::SeparablePlan planFor(const RenderSettings& s) {
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  fm::SeparablePlan plan;
  fm::makeGaussianPlan(s, scale, plan);
  return plan;
}

std::vector<double> tapsOf(const fm::SeparablePass& p) {
  return std::vector<double>(p.taps.begin(), p.taps.end());
}

// The layer on a canvas, its input rectangle's edges repeated outward when asked.
RefImage layer(const HostImage& image, const Rect& placed, const Rect& bounds, const Rect& canvas,
               bool repeat) {
  RefImage im = fmtest::refLoad(image, placed, bounds, canvas);
  if (repeat) fmtest::refRepeatEdges(im, bounds);
  return im;
}

// A layer with a sharp step in red and green across its middle, so blurs of different size
// or shape differ clearly.
HostImage stepImage(int w, int h, uint32_t seed) {
  HostImage im = blurtest::premultipliedImage(w, h, seed);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      fmtest::Px& p = im.at(x, y);
      p.r = p.a * (x < w / 2 ? 0.05f : 0.95f);
      p.g = p.a * (y < h / 2 ? 0.9f : 0.2f);
    }
  return im;
}

class GaussianRender : public blurtest::BlurRender {};

TEST_F(GaussianRender, DirectPathIsTheConvolutionWithItsOwnTaps) {
  const HostImage image = stepImage(30, 22, 31);
  const Rect placed{-7, 4, 23, 26};
  const struct {
    double blurriness;
    bool repeat;
    Rect bounds;
    Scale scale;
  } cases[] = {
      {8, true, Rect{-5, 6, 20, 25}, {}},  // edges of an input rectangle inside the source
      {8, false, placed, {}},
      {10, true, placed, {1, 1, 2}},
      {3, false, placed, {0.5, 0.5, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.blurriness << " repeat " << c.repeat);
    const RenderSettings s = gaussianSettings(c.blurriness, c.repeat, 1, false, c.scale);
    const fm::SeparablePlan plan = planFor(s);
    ASSERT_EQ(plan.passes.size(), 2u);
    ASSERT_TRUE(plan.passes[0].direct && plan.passes[1].direct);
    const Rect out = fm::grownBy(c.bounds, 12, 12);
    ASSERT_TRUE(render(s, image, placed, c.bounds, out)) << message;
    RefImage ref = layer(image, placed, c.bounds, fm::grownBy(out, 30, 30), c.repeat);
    fmtest::refConvolve(ref, true, tapsOf(plan.passes[0]));
    fmtest::refConvolve(ref, false, tapsOf(plan.passes[1]));
    EXPECT_LE(fmtest::maxDifference(this->out, out, ref), 2e-6);
  }
}

// The CPU backend runs the last passes (the direct pair, or the column boxes) and the copy into
// the output as one fused chain, the output's pixels written by the tiles and strips
// themselves; link by link (the counting backend) gives the same bits, for outputs that crop
// the result and for outputs reaching past it.
TEST_F(GaussianRender, FusedPassesGiveWhatTheirLinksGive) {
  const HostImage image = stepImage(70, 40, 34);
  const Rect placed{3, -2, 73, 38};
  fm::CpuBackend fused(&par, nullptr, nullptr);
  for (const double blurriness : {10.0, 20.0})
    for (const bool repeat : {false, true})
      for (const Rect& o : {fm::grownBy(placed, 14, 12), Rect{20, 5, 50, 30}, Rect{-30, 20, 40, 60}}) {
        SCOPED_TRACE(::testing::Message() << blurriness << ", repeat " << repeat << ", output " << o.left << ", "
                                          << o.top);
        const RenderSettings s = gaussianSettings(blurriness, repeat);
        ASSERT_TRUE(render(s, image, placed, placed, o)) << message;
        const fm::Buffer in = image.buffer();
        fm::PlacedImage source;
        source.buffer = &in;
        source.rect = placed;
        const double scale[3] = {1, 1, 1};
        fm::Buffer got;
        ASSERT_TRUE(fm::render(fused, s, scale, source, placed, placed, nullptr, o, got, &message)) << message;
        int differs = got.width == out.width && got.height == out.height ? -1 : 0;
        for (int y = 0; y < got.height && differs < 0; ++y)
          if (std::memcmp(static_cast<const float*>(got.data) + size_t(y) * got.pitch * 4,
                          static_cast<const float*>(out.data) + size_t(y) * out.pitch * 4, size_t(got.width) * 16))
            differs = y;
        EXPECT_EQ(differs, -1) << "the first row that differs (0 also where the sizes do)";
        fused.freeImage(got);
      }
}

// Four equal boxes form a piecewise-cubic kernel whose step response stays within about half
// a percent of the Gaussian's per axis; on a layer with values in [0, 1] the results differ by
// less than kFourBoxBound. A Gaussian 10% wider or narrower is already more than 0.01 away.
constexpr double kFourBoxBound = 0.008;

RefImage trueGaussian(const HostImage& image, const Rect& placed, double sigma) {
  const int margin = int(8 * sigma) + 5;
  RefImage ref = layer(image, placed, placed, fm::grownBy(placed, margin, margin), true);
  fmtest::refConvolve(ref, true, fmtest::gaussianTaps(sigma));
  fmtest::refConvolve(ref, false, fmtest::gaussianTaps(sigma));
  return ref;
}

TEST_F(GaussianRender, FourBoxesStayCloseToTheTrueGaussian) {
  const HostImage image = stepImage(60, 50, 32);
  const Rect placed{0, 0, 60, 50};
  for (double blurriness : {11.0, 20.0, 40.0}) {
    SCOPED_TRACE(blurriness);
    const double sigma = blurriness * 0.2777777777777778;
    ASSERT_TRUE(render(gaussianSettings(blurriness, true), image, placed, placed, placed)) << message;
    EXPECT_LE(fmtest::maxDifference(out, placed, trueGaussian(image, placed, sigma)), kFourBoxBound);
    EXPECT_GT(fmtest::maxDifference(out, placed, trueGaussian(image, placed, sigma * 1.1)), 0.01);
  }
}

TEST_F(GaussianRender, NoJumpWhereTheDirectPassGivesWayToBoxes) {
  const HostImage image = stepImage(60, 50, 33);
  const Rect placed{0, 0, 60, 50};
  // 10.79: sigma 2.9972, one truncated direct pass, close to the Gaussian.
  ASSERT_TRUE(render(gaussianSettings(10.79, true), image, placed, placed, placed)) << message;
  EXPECT_EQ(std::count(be.kernels.begin(), be.kernels.end(), FM_K_CONV_ROWS), 1);
  const RefImage below = fmtest::refFromBuffer(out, placed);
  EXPECT_LE(fmtest::maxDifference(out, placed, trueGaussian(image, placed, 2.9972)), 0.001);
  // 10.8: sigma just above 3, four boxes per axis.
  be.kernels.clear();
  ASSERT_TRUE(render(gaussianSettings(10.8, true), image, placed, placed, placed)) << message;
  EXPECT_EQ(std::count(be.kernels.begin(), be.kernels.end(), FM_K_BOX_ROWS), 4);
  EXPECT_LE(fmtest::maxDifference(out, placed, trueGaussian(image, placed, 3.0)), kFourBoxBound);
  EXPECT_LE(fmtest::maxDifference(out, placed, below), kFourBoxBound);
}

// The reduced path as a reference: block averages (of input pixels only when edges repeat),
// edges repeated at working resolution, the plan's four boxes per axis in double precision,
// bilinear enlargement.
RefImage reducedReference(const RenderSettings& s, const HostImage& image, const Rect& placed,
                          const Rect& out) {
  const fm::SeparablePlan plan = planFor(s);
  const int f = plan.factor;
  const Rect canvas = fm::boundingBox(fm::grownBy(placed, plan.reach[0] + 4 * f, plan.reach[1] + 4 * f),
                                      fm::grownBy(out, plan.reach[0] + 4 * f, plan.reach[1] + 4 * f));
  const bool repeat = s.gaussianRepeatEdgePixels;
  RefImage red =
      fmtest::refReduce(fmtest::refLoad(image, placed, placed, canvas), f, repeat ? &placed : nullptr);
  if (repeat) fmtest::refRepeatEdges(red, fm::reducedBy(placed, f));
  for (const fm::SeparablePass& p : plan.passes) fmtest::refBox(red, p.horizontal, p.n + double(p.frac));
  return fmtest::refEnlarge(red, f, out);
}

TEST_F(GaussianRender, VeryLargeBlurRunsReducedAndEnlarged) {
  // Thin layers, blurred along their long side only.
  const HostImage wide = stepImage(300, 6, 34), tall = stepImage(6, 300, 35);
  const Rect wideAt{-150, 10, 150, 16}, tallAt{3, -100, 9, 200};
  const struct {
    const HostImage* image;
    Rect placed;
    int dims;
    bool repeat;
  } cases[] = {{&wide, wideAt, 2, true},
               {&wide, wideAt, 2, false},
               {&tall, tallAt, 3, true},
               {&tall, tallAt, 3, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "dims " << c.dims << " repeat " << c.repeat);
    const RenderSettings s = gaussianSettings(1000, c.repeat, c.dims);
    ASSERT_EQ(planFor(s).factor, 2);
    const Rect out = fm::grownBy(c.placed, 25, 25);
    ASSERT_TRUE(render(s, *c.image, c.placed, c.placed, out)) << message;
    EXPECT_LE(fmtest::maxDifference(this->out, out, reducedReference(s, *c.image, c.placed, out)), 2e-5);
  }
}

TEST_F(GaussianRender, RepeatEdgePixelsKeepsAConstantLayerConstantAtItsBorders) {
  HostImage image(30, 20);
  image.fill(fmtest::Px{0.1f, 0.2f, 0.3f, 0.5f});
  const Rect placed{7, -4, 37, 16};
  const RefImage same = fmtest::refLoad(image, placed, placed, placed);
  for (double blurriness : {8.0, 30.0, 1000.0}) {
    ASSERT_TRUE(render(gaussianSettings(blurriness, true), image, placed, placed, placed)) << message;
    EXPECT_LE(fmtest::maxDifference(out, placed, same), 1e-5) << blurriness;
  }
  // Without it the corners fade: a quarter of the weight lies inside.
  ASSERT_TRUE(render(gaussianSettings(30, false), image, placed, placed, placed)) << message;
  EXPECT_NEAR(static_cast<const float*>(out.data)[3], 0.125, 0.02);
}

TEST_F(GaussianRender, LowBitDepthBlursInLinearLight) {
  // A uniform grey survives the round trip through linear light.
  for (const fmtest::Px grey : {fmtest::Px{0.5f, 0.5f, 0.5f, 1}, fmtest::Px{0.08f, 0.08f, 0.08f, 0.4f}}) {
    HostImage image(24, 18);
    image.fill(grey);
    const Rect placed{0, 0, 24, 18};
    for (double blurriness : {8.0, 30.0, 1000.0}) {
      be.kernels.clear();
      ASSERT_TRUE(render(gaussianSettings(blurriness, true, 1, true), image, placed, placed, placed))
          << message;
      EXPECT_LE(fmtest::maxDifference(out, placed, fmtest::refLoad(image, placed, placed, placed)), 1e-5)
          << blurriness;
      EXPECT_EQ(std::count(be.kernels.begin(), be.kernels.end(), FM_K_LENS_PREP), 1);
      EXPECT_EQ(std::count(be.kernels.begin(), be.kernels.end(), FM_K_LENS_FINISH), 1);
    }
  }
  // A step blurred in linear light differs clearly from one blurred as stored.
  const HostImage image = stepImage(40, 30, 36);
  const Rect placed{0, 0, 40, 30};
  const RenderSettings s = gaussianSettings(8, true, 1, true);
  const fm::SeparablePlan plan = planFor(s);
  ASSERT_TRUE(render(s, image, placed, placed, placed)) << message;
  RefImage ref = layer(image, placed, placed, fm::grownBy(placed, 20, 20), true);
  fmtest::refToLinear(ref);
  fmtest::refConvolve(ref, true, tapsOf(plan.passes[0]));
  fmtest::refConvolve(ref, false, tapsOf(plan.passes[1]));
  fmtest::refFromLinear(ref);
  EXPECT_LE(fmtest::maxDifference(out, placed, ref), 2e-5);
  const RefImage linear = fmtest::refFromBuffer(out, placed);
  be.kernels.clear();
  ASSERT_TRUE(render(gaussianSettings(8, true, 1, false), image, placed, placed, placed)) << message;
  EXPECT_EQ(std::count(be.kernels.begin(), be.kernels.end(), FM_K_LENS_PREP), 0);
  EXPECT_GT(fmtest::maxDifference(out, placed, linear), 0.03);
}

}  // namespace
