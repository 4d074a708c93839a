// Radial Blur through the render driver: Spin and Zoom against a double-precision composition of
// the plan's passes, symmetries, constant layers, non-square pixels, and the rectangles of
// radialBounds checked by rendering with cropped inputs and larger outputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "engine/Platform.h"
#include "tests/blurs/GroupTestSupport.h"

namespace {

using blurtest::Scale;
using fm::Rect;
using fmtest::HostImage;
using grouptest::radialSettings;

using RadialRender = blurtest::BlurRender;

TEST_F(RadialRender, MatchesThePassesComposedWithBilinearSampling) {
  const HostImage image = blurtest::premultipliedImage(36, 28, 71);
  const Rect placed{-6, 3, 30, 31};
  const struct {
    int type;
    double amount, cx, cy;
    int aa;
    bool low;
    Scale scale;
  } cases[] = {
      {1, 25, 12.5, 17, 1, false, {}},        // spin about a point inside
      {1, 25, 12.5, 17, 2, false, {}},        // high antialiasing
      {1, 60, 40, -8, 1, true, {}},           // centre outside, low quality
      {1, 360, 12, 17, 1, true, {}},          // a full turn
      {1, 30, 10, 20, 1, false, {1, 1, 2}},   // wide pixels: elliptical
      {1, 30, 10, 20, 1, false, {0.5, 1, 1}},  // half horizontal resolution
      {2, 40, 12.5, 17, 1, false, {}},        // zoom
      {2, 100, 5, 25, 2, false, {}},          // the widest zoom, high antialiasing
      {2, 70, -20, 10, 1, true, {1, 1, 2}},   // centre outside, wide pixels
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "type " << c.type << " amount " << c.amount << " centre " << c.cx << ","
                                      << c.cy << " aa " << c.aa << " par " << c.scale.par);
    const RenderSettings s = radialSettings(c.type, c.amount, c.cx, c.cy, c.aa, c.low, c.scale);
    const Rect canvas = fm::grownBy(placed, 80, 80);
    for (const Rect& outRect : {fm::grownBy(placed, 10, 10), Rect{-20, 0, 2, 40}, Rect{5, 10, 14, 22}}) {
      ASSERT_TRUE(render(s, image, placed, placed, outRect)) << message;
      EXPECT_LE(fmtest::maxDifference(out, outRect, grouptest::radialReference(s, image, placed, outRect, canvas)),
                2e-5);
    }
  }
}

// Tiles of a frame give the pixels of the whole frame, also where their edges run through
// the centre: there the passes after the first read their intermediate images across the centre.
TEST_F(RadialRender, TilesMeetingAtTheCentreAgreeWithTheWholeFrame) {
  const HostImage image = blurtest::premultipliedImage(36, 28, 77);
  const Rect placed{0, 0, 36, 28};
  const Rect whole = fm::grownBy(placed, 6, 6);
  for (int type : {1, 2})
    for (double amount : {40.0, 100.0, 250.0})
      for (double par : {1.0, 2.0}) {
        if (type == 2 && amount > 100) continue;
        SCOPED_TRACE(::testing::Message() << "type " << type << " amount " << amount << " par " << par);
        const int cx = 15, cy = 11;
        const RenderSettings s = radialSettings(type, amount, cx, cy, 1, false, {1, 1, par});
        ASSERT_TRUE(render(s, image, placed, placed, whole)) << message;
        const fmtest::RefImage all = fmtest::refFromBuffer(out, whole);
        for (const Rect& tile : {Rect{whole.left, whole.top, cx, cy}, Rect{cx, whole.top, whole.right, cy},
                                 Rect{whole.left, cy, cx, whole.bottom}, Rect{cx, cy, whole.right, whole.bottom},
                                 Rect{cx - 1, cy - 2, cx + 3, cy + 1}}) {
          ASSERT_TRUE(render(s, image, placed, placed, tile)) << message;
          EXPECT_LE(fmtest::maxDifference(out, tile, all), 2e-6)
              << "tile " << tile.left << "," << tile.top << " - " << tile.right << "," << tile.bottom;
        }
      }
}

TEST_F(RadialRender, AFullSpinIsRotationallySymmetric) {
  // A soft blob off the centre: after a full turn, a ring. A centre off by half a pixel would
  // tilt the ring's profile by several percent.
  HostImage image(40, 40);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) {
      const double r2 = (x - 27.3) * (x - 27.3) + (y - 13.1) * (y - 13.1);
      const float v = float(std::exp(-r2 / (2 * 2.5 * 2.5)));
      image.at(x, y) = {0.8f * v, 0.5f * v, 0.2f * v, v};
    }
  const Rect placed{0, 0, 40, 40};
  for (int aa : {1, 2}) {
    const RenderSettings s = radialSettings(1, 360, 20, 20, aa);
    double scale[3];
    fm::RadialPlan plan;
    fm::makeRadialPlan(s, grouptest::scaleOf(s, scale), placed, placed, plan);
    ASSERT_TRUE(render(s, image, placed, placed, placed)) << message;
    double worst = 0, peak = 0;
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 40; ++x) {
        // A quarter turn about the pixel corner (20, 20) maps pixel (x, y) to (39 - y, x).
        worst = std::max(worst, double(std::fabs(at(placed, x, y).a - at(placed, 39 - y, x).a)));
        peak = std::max(peak, double(at(placed, x, y).a));
      }
    EXPECT_GT(peak, 0.05);
    // Not exact: the sweep's two ends are the same angle, which so counts twice (a trace of
    // 1 / N of the blob), and the samples' ripple turns with them. Both stay near 3% here; a
    // centre half a pixel off gives 17%.
    EXPECT_LT(worst, 0.06 * peak) << "antialiasing " << aa << ", " << plan.samples << " samples";
  }
}

TEST_F(RadialRender, ZoomIsSymmetricAboutItsCentre) {
  const HostImage image = blurtest::premultipliedImage(40, 30, 72);
  HostImage turned(40, 30);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) turned.at(39 - x, 29 - y) = image.at(x, y);
  const Rect placed{0, 0, 40, 30};
  const Rect outRect = fm::grownBy(placed, 12, 12);
  for (double amount : {30.0, 100.0}) {
    const RenderSettings s = radialSettings(2, amount, 20, 15);
    ASSERT_TRUE(render(s, image, placed, placed, outRect)) << message;
    const fmtest::RefImage straight = fmtest::refFromBuffer(out, outRect);
    ASSERT_TRUE(render(s, turned, placed, placed, outRect)) << message;
    // The half turn about the centre (20, 15) maps pixel (x, y) to (39 - x, 29 - y).
    fmtest::RefImage back(outRect);
    for (int y = outRect.top; y < outRect.bottom; ++y)
      for (int x = outRect.left; x < outRect.right; ++x) {
        double v[4];
        straight.get(39 - x, 29 - y, v);
        std::copy(v, v + 4, back.at(x, y));
      }
    EXPECT_LE(fmtest::maxDifference(out, outRect, back), 2e-6) << amount;
  }
}

TEST_F(RadialRender, AConstantLayerStaysConstantWhereEverySampleLandsInside) {
  HostImage image(64, 48);
  const fmtest::Px grey{0.25f, 0.5f, 0.125f, 0.75f};
  image.fill(grey);
  const Rect placed{0, 0, 64, 48};
  const double cx = 30, cy = 25;
  for (int type : {1, 2}) {
    const double amount = type == 1 ? 30 : 50;
    const RenderSettings s = radialSettings(type, amount, cx, cy);
    const fm::RadialSweep sw = fm::makeRadialSweep(s);
    ASSERT_TRUE(render(s, image, placed, placed, placed)) << message;
    int checked = 0;
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) {
        // Inside when the whole sweep of the pixel's centre keeps 2 pixels from the layer's edge.
        bool inside = true;
        for (int j = 0; j <= 64 && inside; ++j) {
          const double t = sw.lo + (sw.hi - sw.lo) * j / 64;
          double X, Y;
          fmtest::refTapPosition(type == 1 ? FM_GROUP_ROTATE : FM_GROUP_SCALE, type == 1 ? std::cos(t) : std::exp(t),
                                 type == 1 ? std::sin(t) : 0.0, x, y, cx, cy, 1.0, X, Y);
          inside = X >= 2 && Y >= 2 && X <= 61 && Y <= 45;
        }
        if (!inside) continue;
        ++checked;
        ASSERT_NEAR(at(placed, x, y).g, grey.g, 2e-6) << type << " " << x << "," << y;
        ASSERT_NEAR(at(placed, x, y).a, grey.a, 2e-6) << type << " " << x << "," << y;
      }
    EXPECT_GT(checked, 300) << type;
  }
}

TEST_F(RadialRender, NonSquarePixelsSweepAnEllipse) {
  // A dot 10 pixels right of the centre, spun a full turn. With square pixels its ring has
  // radius 10 both ways; with pixels twice as wide (2 square units each) the ring is 10
  // pixels wide and 20 tall.
  const HostImage image = grouptest::dot(60, 60, 39, 29);  // centre (30, 30): offset (9.5, -0.5) + 0.5
  const Rect placed{0, 0, 60, 60};
  auto litNear = [&](double u, double v) {
    float m = 0;
    for (int y = int(30 + v) - 1; y <= int(30 + v); ++y)
      for (int x = int(30 + u) - 1; x <= int(30 + u); ++x) m = std::max(m, at(placed, x, y).a);
    return m;
  };
  ASSERT_TRUE(render(radialSettings(1, 360, 30, 30), image, placed, placed, placed)) << message;
  EXPECT_GT(litNear(0, 10), 1e-4f);
  EXPECT_GT(litNear(-10, 0), 1e-4f);
  EXPECT_EQ(litNear(0, 20), 0.0f);
  ASSERT_TRUE(render(radialSettings(1, 360, 30, 30, 1, false, {1, 1, 2}), image, placed, placed, placed)) << message;
  EXPECT_GT(litNear(0, 20), 1e-4f);
  EXPECT_GT(litNear(0, -20), 1e-4f);
  EXPECT_GT(litNear(-10, 0), 1e-4f);
  EXPECT_EQ(litNear(0, 10), 0.0f);
  EXPECT_EQ(litNear(-20, 0), 0.0f);
  // The ring's light follows the ellipse: second moments in the ratio 1 : 4.
  const grouptest::Light l = grouptest::lightOf(out, placed);
  EXPECT_NEAR(l.vyy / l.vxx, 4.0, 0.25);
  EXPECT_NEAR(l.mx, 30, 0.2);
  EXPECT_NEAR(l.my, 30, 0.2);
}

TEST_F(RadialRender, TrivialCasesAndLaunches) {
  blurtest::RecordingBackend rec;
  const HostImage image = blurtest::premultipliedImage(30, 20, 73);
  const fm::Buffer in = image.buffer();
  const Rect placed{0, 0, 30, 20};
  double scale[3];
  fm::Buffer o;
  // A spin: rotation passes about the centre in the work image's frame, square units in kx.
  RenderSettings s = radialSettings(1, 20, 12.5, 7, 1, false, {1, 1, 2});
  ASSERT_TRUE(fm::render(rec, s, grouptest::scaleOf(s, scale), fm::PlacedImage{&in, placed}, placed, placed, nullptr,
                         placed, o, nullptr));
  fm::RadialPlan plan;
  fm::makeRadialPlan(s, scale, placed, placed, plan);
  ASSERT_GE(rec.launches.size(), 2u);
  const auto& group = rec.launches[1];
  EXPECT_EQ(group.kernel, FM_K_GROUP);
  EXPECT_EQ(group.p.mode, FM_GROUP_ROTATE);
  EXPECT_EQ(group.p.cx, float(12.5 - plan.work.left));
  EXPECT_EQ(group.p.cy, float(7 - plan.work.top));
  EXPECT_EQ(group.p.kx, 2.0f);
  EXPECT_EQ(rec.sizes[1], (std::pair<int, int>{int(fm::width(plan.work)), int(fm::height(plan.work))}));
  // The last pass writes the output itself, from the output's place in the work frame.
  const auto& last = rec.launches.back();
  EXPECT_EQ(last.kernel, FM_K_GROUP);
  EXPECT_EQ(last.p.dW, 30);
  EXPECT_EQ(last.p.ax, int(placed.left - plan.work.left));
  EXPECT_EQ(last.p.ay, int(placed.top - plan.work.top));
  rec.freeImage(o);
  // Amount 0: a copy.
  rec.launches.clear();
  s = radialSettings(2, 0.00005, 12, 7);
  ASSERT_TRUE(fm::render(rec, s, scale, fm::PlacedImage{&in, placed}, placed, placed, nullptr, placed, o, nullptr));
  EXPECT_EQ(rec.kernels(), (std::vector<int>{FM_K_COPY}));
  rec.freeImage(o);
  // No content to move: transparent, without work images.
  rec.launches.clear();
  s = radialSettings(2, 50, 12, 7);
  ASSERT_TRUE(fm::render(rec, s, scale, fm::PlacedImage{&in, placed}, Rect{}, placed, nullptr, placed, o, nullptr));
  EXPECT_EQ(rec.kernels(), (std::vector<int>{FM_K_CLEAR}));
  rec.freeImage(o);
  EXPECT_EQ(rec.live(), 0u);
}

TEST_F(RadialRender, FailuresReleaseEverything) {
  const HostImage image = blurtest::premultipliedImage(20, 14, 74);
  const Rect placed{0, 0, 20, 14};
  const RenderSettings s = radialSettings(1, 180, 10, 7);  // two rotation passes
  for (int k = 1; k <= 3; ++k) {
    be.failAlloc = k;
    be.allocCalls = 0;
    EXPECT_FALSE(render(s, image, placed, placed, placed));
    EXPECT_EQ(message, k == 1 ? "out of memory (output)" : "render failed");
    EXPECT_EQ(be.liveImages, 0);
  }
  be.failAlloc = 0;
  for (int k = 1; k <= 3; ++k) {
    be.failLaunch = k;
    be.launchCalls = 0;
    EXPECT_FALSE(render(s, image, placed, placed, placed));
    EXPECT_EQ(message, "render failed");
    EXPECT_EQ(be.liveImages, 0);
  }
  be.failLaunch = 0;
}

// ------------------------------------------------------------------ radialBounds

struct BoundsCase {
  int type;
  double amount, cx, cy;
  Scale scale;
};

const BoundsCase kBoundsCases[] = {
    {1, 10, 14, 11, {}},         {1, 90, 14, 11, {}},       {1, 200, 3, 25, {}},
    {1, 360, 14, 11, {}},        {1, 45, 60, -30, {}},      {1, 120, 14, 11, {1, 1, 2}},
    {1, 70, 20, 5, {1, 0.5, 1}}, {1, 30, -15, 12, {1, 1, 0.5}},
    {2, 20, 14, 11, {}},         {2, 100, 14, 11, {}},      {2, 100, 45, -10, {}},
    {2, 60, -5, 30, {1, 1, 2}},
};

std::string describe(const BoundsCase& c) {
  return ::testing::PrintToString(c.type) + " amount " + ::testing::PrintToString(c.amount) + " centre " +
         ::testing::PrintToString(c.cx) + "," + ::testing::PrintToString(c.cy) + " par " +
         ::testing::PrintToString(c.scale.par) + " ds " + ::testing::PrintToString(c.scale.dsx) + "/" +
         ::testing::PrintToString(c.scale.dsy);
}

// A layer whose every pixel has light, so no output pixel is dark by accident.
HostImage brightLayer(int w, int h, uint32_t seed) {
  HostImage im = blurtest::premultipliedImage(w, h, seed);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) im.at(x, y).a = std::max(im.at(x, y).a, 0.5f);
  return im;
}

// The part of `image` (placed at `placed`) inside `keep`, as an image of its own.
HostImage crop(const HostImage& image, const Rect& placed, const Rect& keep) {
  HostImage c(int(fm::width(keep)), int(fm::height(keep)));
  for (int y = keep.top; y < keep.bottom; ++y)
    for (int x = keep.left; x < keep.right; ++x)
      c.at(x - keep.left, y - keep.top) = image.at(x - placed.left, y - placed.top);
  return c;
}

TEST_F(RadialRender, ForwardBoundsHoldEveryLitOutputPixel) {
  const HostImage image = brightLayer(28, 22, 75);
  const Rect placed{0, 0, 28, 22};
  for (const BoundsCase& c : kBoundsCases) {
    SCOPED_TRACE(describe(c));
    const RenderSettings s = radialSettings(c.type, c.amount, c.cx, c.cy, 1, false, c.scale);
    double scale[3];
    const Rect F = fm::radialBounds(fm::makeRadialSweep(s), placed, true, grouptest::scaleOf(s, scale));
    // An output far larger than the bounds: outside them it must be transparent.
    const Rect outRect = fm::grownBy(fm::boundingBox(F, placed), 12, 12);
    ASSERT_TRUE(render(s, image, placed, placed, outRect)) << message;
    Rect lit{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    int litOutside = 0;
    for (int y = outRect.top; y < outRect.bottom; ++y)
      for (int x = outRect.left; x < outRect.right; ++x) {
        const fmtest::Px& p = at(outRect, x, y);
        if (p.r == 0 && p.g == 0 && p.b == 0 && p.a == 0) continue;
        lit = Rect{std::min(lit.left, x), std::min(lit.top, y), std::max(lit.right, x + 1),
                   std::max(lit.bottom, y + 1)};
        if (!(x >= F.left && x < F.right && y >= F.top && y < F.bottom)) ++litOutside;
      }
    EXPECT_EQ(litOutside, 0);
    // Not just everything: the bounds keep within a few passes' spread of what is lit.
    const int slack = 16;
    EXPECT_LE(lit.left - F.left, slack);
    EXPECT_LE(lit.top - F.top, slack);
    EXPECT_LE(F.right - lit.right, slack);
    EXPECT_LE(F.bottom - lit.bottom, slack);
  }
}

TEST_F(RadialRender, BackwardBoundsHoldEverySourcePixelRead) {
  const HostImage image = brightLayer(28, 22, 76);
  const Rect placed{0, 0, 28, 22};
  for (const BoundsCase& c : kBoundsCases) {
    SCOPED_TRACE(describe(c));
    const RenderSettings s = radialSettings(c.type, c.amount, c.cx, c.cy, 1, false, c.scale);
    double scale[3];
    grouptest::scaleOf(s, scale);
    const int cx = int(c.cx), cy = int(c.cy);
    for (const Rect& outRect : {Rect{2, 3, 9, 8}, Rect{20, 15, 34, 30}, Rect{-6, 10, 4, 14},
                                Rect{cx, cy, cx + 5, cy + 4}, Rect{cx - 3, cy - 6, cx, cy}}) {
      SCOPED_TRACE(::testing::Message() << "output " << outRect.left << "," << outRect.top);
      ASSERT_TRUE(render(s, image, placed, placed, outRect)) << message;
      const fmtest::RefImage whole = fmtest::refFromBuffer(out, outRect);
      // Only the source pixels inside the backward bounds; the layer's own rectangle (and so
      // the plan) unchanged.
      const Rect B = fm::radialBounds(fm::makeRadialSweep(s), outRect, false, scale);
      const Rect keep = fm::intersection(B, placed);
      if (fm::isEmpty(keep)) {
        for (int y = outRect.top; y < outRect.bottom; ++y)
          for (int x = outRect.left; x < outRect.right; ++x) EXPECT_EQ(at(outRect, x, y).a, 0.0f);
        continue;
      }
      const HostImage part = crop(image, placed, keep);
      ASSERT_TRUE(render(s, part, keep, placed, outRect)) << message;
      EXPECT_LE(fmtest::maxDifference(out, outRect, whole), 0.0);
    }
  }
}

// A full spin about the end of a long strip sweeps a disc twice the strip's length across: a
// legitimate work image many times the picture, which the render asks for where the machine
// can hold it (refused here by the test backend, so nothing is allocated).
TEST_F(RadialRender, FullSpinAboutAStripsEndAsksForTheWholeDisc) {
  const HostImage image = blurtest::premultipliedImage(6000, 8, 5);
  const Rect placed{0, 0, 6000, 8};
  const RenderSettings s = radialSettings(1, 360, 0, 4);
  double scale[3];
  fm::RadialPlan plan;
  fm::makeRadialPlan(s, grouptest::scaleOf(s, scale), placed, placed, plan);
  const double work = double(fm::width(plan.work)) * fm::height(plan.work);
  ASSERT_GT(work, 1.4e8);
  if (fm::physicalMemoryBytes() < 4 * 16 * work) GTEST_SKIP() << "machine too small to hold the work";
  be.refuseAbovePixels = 1 << 24;
  EXPECT_FALSE(render(s, image, placed, placed, placed));
  EXPECT_EQ(message, "render failed");
  EXPECT_EQ(double(be.largestRequest), work);
  EXPECT_EQ(be.liveImages, 0);
}

}  // namespace
