// Camera Lens Blur through the render driver: the shape of the bokeh, constant images and
// edges, the blur map's focal plane and placement, the fringe, highlights, renders in pieces,
// memory, failures and bad settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "blurs/CameraLensPlan.h"
#include "tests/blurs/BlurTestSupport.h"
#include "tests/blurs/LensTestSupport.h"

namespace {

using fm::Rect;
using fmtest::HostImage;
using fmtest::Px;
using lenstest::greyMap;
using lenstest::lensSettings;
using lenstest::MapLayer;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Opaque black with one white pixel in the middle.
HostImage brightPixel(int size) {
  HostImage im(size, size);
  im.fill(Px{0, 0, 0, 1});
  im.at(size / 2, size / 2) = Px{1, 1, 1, 1};
  return im;
}

class LensRender : public lenstest::LensRender {
 protected:
  // The lit part of a bright-pixel render: pixels at least half as bright as the brightest,
  // their count and how far they reach from the bright pixel on each side.
  struct Bokeh {
    int count = 0;
    int left = 0, top = 0, right = 0, bottom = 0;
    double total = 0;
  };
  Bokeh bokeh(int centre) const {
    float peak = 0;
    Bokeh b;
    for (int y = outAt.top; y < outAt.bottom; ++y)
      for (int x = outAt.left; x < outAt.right; ++x) {
        peak = std::max(peak, at(x, y).r);
        b.total += at(x, y).r;
      }
    for (int y = outAt.top; y < outAt.bottom; ++y)
      for (int x = outAt.left; x < outAt.right; ++x) {
        if (!(at(x, y).r > 0.5f * peak)) continue;
        ++b.count;
        b.left = std::max(b.left, centre - x);
        b.right = std::max(b.right, x - centre);
        b.top = std::max(b.top, centre - y);
        b.bottom = std::max(b.bottom, y - centre);
      }
    return b;
  }
};

TEST_F(LensRender, BrightPixelSpreadsIntoTheIris) {
  const HostImage image = brightPixel(71);
  const Rect placed{0, 0, 71, 71};
  const double r = 14;
  for (int sides = 3; sides <= 10; ++sides) {
    RenderSettings s = lensSettings(r);
    s.irisShape = sides - 2;
    ASSERT_TRUE(render(s, image, placed, placed)) << message;
    const Bokeh b = bokeh(35);
    // Pixels more than half covered by the iris: as many as its area, give or take its outline.
    EXPECT_NEAR(b.count, lenstest::irisArea(sides, r), 0.03 * lenstest::irisArea(sides, r)) << sides;
    EXPECT_NEAR(b.total, 1.0, 1e-4) << sides;  // the weights sum to one
  }
  // The gather reads the iris around each output pixel, so a point spreads into the iris turned
  // by half a turn: the triangle whose vertex points up appears with its vertex down, and a
  // clockwise quarter turn moves that vertex to the left.
  RenderSettings s = lensSettings(r);
  s.irisShape = 1;
  ASSERT_TRUE(render(s, image, placed, placed)) << message;
  Bokeh b = bokeh(35);
  EXPECT_NEAR(b.bottom, r, 1);
  EXPECT_NEAR(b.top, r / 2, 1);
  EXPECT_EQ(b.left, b.right);
  s.irisRotation = 90;
  ASSERT_TRUE(render(s, image, placed, placed)) << message;
  b = bokeh(35);
  EXPECT_NEAR(b.left, r, 1);
  EXPECT_NEAR(b.right, r / 2, 1);
  EXPECT_EQ(b.top, b.bottom);
  // A round iris with aspect ratio 2 is twice as wide as high.
  s = lensSettings(r);
  s.irisRoundness = 100;
  s.irisAspectRatio = 2;
  ASSERT_TRUE(render(s, image, placed, placed)) << message;
  b = bokeh(35);
  EXPECT_NEAR(b.left, 2 * r, 1);
  EXPECT_NEAR(b.top, r, 1);
  EXPECT_NEAR(b.count, 2 * lenstest::kPi * (r + 0.5) * (r + 0.5), 0.03 * 2 * lenstest::kPi * r * r);
  // Pixels twice as wide as high (pixel aspect 2) make the same round iris half as many pixels
  // wide, also when a blur map sets the radius (map value 1, focal distance 0: radius r).
  const MapLayer one = greyMap(71, 71, placed, [](int, int) { return 1.0; });
  for (const MapLayer* map : {static_cast<const MapLayer*>(nullptr), &one}) {
    s = lensSettings(r);
    s.irisRoundness = 100;
    s.pixelAspect = 2;
    ASSERT_TRUE(render(s, image, placed, placed, map)) << message;
    b = bokeh(35);
    EXPECT_NEAR(b.left, r / 2, 1);
    EXPECT_NEAR(b.top, r, 1);
  }
}

TEST_F(LensRender, ConstantImageStaysConstantWithRepeatEdgePixels) {
  HostImage image(50, 40);
  image.fill(Px{0.21f, 0.35f, 0.14f, 0.7f});
  const Rect placed{-7, 5, 43, 45};
  const MapLayer ramp = greyMap(50, 40, placed, [](int x, int y) { return (x + 2 * y) / 130.0; });
  for (double radius : {3.0, 40.0, 200.0, 700.0}) {
    for (bool withMap : {false, true}) {
      for (double fringe : {0.0, 500.0}) {
        SCOPED_TRACE(::testing::Message() << "radius " << radius << (withMap ? " map" : "") << " fringe " << fringe);
        RenderSettings s = lensSettings(radius);
        s.useLinearWorkingSpace = true;
        s.diffractionFringe = fringe;
        s.irisShape = 1;
        s.irisAspectRatio = 1.7;
        s.irisRotation = 30;
        s.blurFocalDistance = 0.3;
        ASSERT_TRUE(render(s, image, placed, placed, withMap ? &ramp : nullptr)) << message;
        // The fringe's opposed weights magnify rounding.
        EXPECT_LE(differenceFrom(image, placed, placed), fringe > 0 ? 5e-5 : 1e-5);
      }
    }
  }
}

TEST_F(LensRender, WithoutRepeatEdgePixelsTheBorderDarkens) {
  HostImage image(80, 60);
  image.fill(Px{1, 1, 1, 1});
  const Rect placed{0, 0, 80, 60};
  const Rect outRect = fm::grownBy(placed, 16, 16);
  RenderSettings s = lensSettings(10, false);
  s.irisRoundness = 100;
  ASSERT_TRUE(render(s, image, placed, outRect)) << message;

  // Reference: the share of the iris's weighted spans that falls on the layer.
  const double scale[3] = {1, 1, 1};
  const fm::LensPlan plan = fm::makeLensPlan(s, scale);
  std::vector<float> spans;
  double weightSum = 0;
  fm::buildLensSpans(fm::lensIris(plan), 10, 1, 1, spans, weightSum);
  double worst = 0;
  for (int y = outRect.top; y < outRect.bottom; ++y)
    for (int x = outRect.left; x < outRect.right; ++x) {
      double inside = 0;
      for (size_t i = 0; i < spans.size(); i += 4) {
        const int row = y + int(spans[i]);
        if (row < 0 || row >= 60) continue;
        const double l = std::max(x + 0.5 + spans[i + 1], 0.0), r = std::min(x + 0.5 + spans[i + 2], 80.0);
        if (r > l) inside += (r - l) * spans[i + 3];
      }
      worst = std::max(worst, std::fabs(at(x, y).a - inside / weightSum));
    }
  EXPECT_LE(worst, 2e-5);
  EXPECT_NEAR(at(0, 0).a, 0.28, 0.02);   // a quarter of the iris, and a little more
  EXPECT_NEAR(at(40, 0).a, 0.52, 0.02);  // half, and a little more
  EXPECT_NEAR(at(40, 30).a, 1.0f, 1e-6);
  EXPECT_EQ(at(-11, 30).a, 0.0f);  // beyond the iris
  EXPECT_GT(at(-10, 30).a, 0.0f);

  // The same with a blur map: the interior stays, the border fades alike.
  const MapLayer one = greyMap(80, 60, placed, [](int, int) { return 1.0; });
  ASSERT_TRUE(render(s, image, placed, outRect, &one)) << message;
  EXPECT_NEAR(at(40, 30).a, 1.0f, 1e-6);
  EXPECT_NEAR(at(0, 0).a, 0.28, 0.02);
  EXPECT_NEAR(at(40, 0).a, 0.52, 0.02);
  EXPECT_EQ(at(-11, 30).a, 0.0f);
}

TEST_F(LensRender, MapValueAtTheFocalDistanceStaysSharp) {
  const HostImage image = blurtest::premultipliedImage(48, 40, 71);
  const Rect placed{0, 0, 48, 40};
  // Left half 0.25, right half 0.75: at focal distance 0.25 the right half blurs by half the radius.
  const MapLayer halves = greyMap(48, 40, placed, [](int x, int) { return x < 24 ? 0.25 : 0.75; });
  // Linear light stays off: near black its curve would magnify the prefix sums' rounding. The
  // iris is round: the table scales the outline and its edge together, the span list adds the
  // half-pixel edge to the outline of each radius, which differ for polygons.
  RenderSettings blurred = lensSettings(4);
  blurred.irisRoundness = 100;
  ASSERT_TRUE(render(blurred, image, placed, placed)) << message;
  const HostImage radius4 = snapshot();

  struct Case {
    double focal;
    bool invert;
    bool sharpLeft;
  } cases[] = {{0.25, false, true}, {0.25, true, false}, {0.75, false, false}, {0.75, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "focal " << c.focal << " invert " << c.invert);
    RenderSettings s = lensSettings(8);
    s.irisRoundness = 100;
    s.blurFocalDistance = c.focal;
    s.invertBlurMap = c.invert;
    ASSERT_TRUE(render(s, image, placed, placed, &halves)) << message;
    const Rect sharp = c.sharpLeft ? Rect{0, 0, 23, 40} : Rect{25, 0, 48, 40};
    const Rect soft = c.sharpLeft ? Rect{25, 0, 48, 40} : Rect{0, 0, 23, 40};
    EXPECT_LE(differenceFrom(image, placed, sharp), 1e-5);
    // Blurred pixels read their sharp neighbours as they are, so they match a whole-image blur
    // of the same radius; the iris table stands in for the exact outline.
    double worst = 0, moved = 0;
    for (int y = soft.top; y < soft.bottom; ++y)
      for (int x = soft.left; x < soft.right; ++x) {
        const Px& a = at(x, y);
        const Px& b = radius4.at(x, y);
        worst = std::max({worst, double(std::fabs(a.r - b.r)), double(std::fabs(a.a - b.a))});
        moved = std::max(moved, pixelDifference(image, placed, x, y));
      }
    EXPECT_LE(worst, 2e-3);
    EXPECT_GT(moved, 0.05);
  }
}

TEST_F(LensRender, EachMapChannelCanHoldTheDepth) {
  const HostImage image = blurtest::premultipliedImage(20, 16, 77);
  const Rect placed{0, 0, 20, 16};
  // Premultiplied (0.1, 0.2, 0.3) at alpha 0.5: each channel reads a different value.
  MapLayer map{HostImage(20, 16), placed, placed};
  map.image.fill(Px{0.1f, 0.2f, 0.3f, 0.5f});
  const double values[6] = {0, 0.299 * 0.1 + 0.587 * 0.2 + 0.114 * 0.3, 0.1, 0.2, 0.3, 0.5};
  for (int channel = 1; channel <= 5; ++channel)
    for (int focusOn = 1; focusOn <= 5; ++focusOn) {
      RenderSettings s = lensSettings(20);
      s.blurMapChannel = channel;
      s.blurFocalDistance = values[focusOn];
      ASSERT_TRUE(render(s, image, placed, placed, &map)) << message;
      const double d = differenceFrom(image, placed, placed);
      if (channel == focusOn)
        EXPECT_LE(d, 1e-5) << "channel " << channel;
      else
        EXPECT_GT(d, 1e-3) << "channel " << channel << " focused on " << focusOn;
    }
}

TEST_F(LensRender, LinearWorkingSpaceAveragesLight) {
  // Black and white: in linear light the average of a share w of white is w, which the 2.2 gamma
  // curve turns into w^(1/2.2); as stored it stays w.
  HostImage image(40, 12);
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 40; ++x) image.at(x, y) = x < 20 ? Px{0, 0, 0, 1} : Px{1, 1, 1, 1};
  const Rect placed{0, 0, 40, 12};
  const MapLayer one = greyMap(40, 12, placed, [](int, int) { return 1.0; });
  for (const MapLayer* map : {static_cast<const MapLayer*>(nullptr), &one}) {
    RenderSettings s = lensSettings(6);
    ASSERT_TRUE(render(s, image, placed, placed, map)) << message;
    const HostImage stored = snapshot();
    s.useLinearWorkingSpace = true;
    ASSERT_TRUE(render(s, image, placed, placed, map)) << message;
    int mixed = 0;
    for (int x = 0; x < 40; ++x) {
      const double w = stored.at(x, 6).g;
      EXPECT_NEAR(at(x, 6).g, std::pow(w, 1 / 2.2), 1e-4) << x;
      mixed += w > 0.05 && w < 0.95;
    }
    EXPECT_GE(mixed, 8);
  }
}

TEST_F(LensRender, CentreMapOrStretchMapToFit) {
  const HostImage image = blurtest::premultipliedImage(40, 30, 72);
  const Rect placed{0, 0, 40, 30};
  // A map half the layer's size: value 1 on its left half, 0 on its right.
  const MapLayer map = greyMap(20, 16, Rect{0, 0, 20, 16}, [](int x, int) { return x < 10 ? 1.0 : 0.0; });
  struct Case {
    int placement;
    bool invert;
    bool (*blurredAt)(int x, int y);
    int skipFrom, skipTo;  // columns where bilinear map samples mix the two halves
  } cases[] = {
      // Stretched, the map covers the layer: its left half is the layer's left half.
      {2, false, [](int x, int) { return x < 20; }, 19, 21},
      // Centred, it covers layer pixels [10, 30) x [7, 23); outside it reads as value 0.
      {1, false, [](int x, int y) { return x >= 10 && x < 20 && y >= 7 && y < 23; }, 0, -1},
      // Inverted, the outside reads as 1.
      {1, true, [](int x, int y) { return !(x >= 10 && x < 20 && y >= 7 && y < 23); }, 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "placement " << c.placement << " invert " << c.invert);
    RenderSettings s = lensSettings(6);
    s.blurMapPlacement = c.placement;
    s.invertBlurMap = c.invert;
    ASSERT_TRUE(render(s, image, placed, placed, &map)) << message;
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 40; ++x) {
        if (x >= c.skipFrom && x <= c.skipTo) continue;
        const double d = pixelDifference(image, placed, x, y);
        if (c.blurredAt(x, y))
          EXPECT_GT(d, 1e-3) << x << "," << y;
        else
          EXPECT_LE(d, 1e-5) << x << "," << y;
      }
  }
}

TEST_F(LensRender, FringeBrightensTheRingAndKeepsTheWeights) {
  const HostImage image = brightPixel(61);
  const Rect placed{0, 0, 61, 61};
  const MapLayer one = greyMap(61, 61, placed, [](int, int) { return 1.0; });
  for (bool withMap : {false, true}) {
    for (double fringe : {0.0, 100.0, 300.0}) {
      SCOPED_TRACE(::testing::Message() << (withMap ? "map" : "constant") << " fringe " << fringe);
      RenderSettings s = lensSettings(20);
      s.irisRoundness = 100;
      s.diffractionFringe = fringe;
      ASSERT_TRUE(render(s, image, placed, placed, withMap ? &one : nullptr)) << message;
      // Pixels 20 away lie in the ring (between 0.94 and 1 times the radius plus edge), the
      // middle one inside the inner iris: their ratio is the ring's extra weight.
      const double ring = 1 + (std::pow(4.08, fringe / 100) - 1) * 0.026;
      const double centre = at(30, 30).r;
      const double tol = withMap ? 5e-3 : 1e-4;
      EXPECT_NEAR(at(50, 30).r / centre, ring, tol);
      EXPECT_NEAR(at(10, 30).r / centre, ring, tol);
      EXPECT_NEAR(at(30, 50).r / centre, ring, tol);
      EXPECT_NEAR(at(30, 25).r / centre, 1.0, tol);
      double total = 0;
      for (int y = 0; y < 61; ++y)
        for (int x = 0; x < 61; ++x) total += at(x, y).r;
      EXPECT_NEAR(total, 1.0, withMap ? 2e-3 : 1e-4);
    }
  }
}

// The boost of one straight colour channel v of a pixel with luminance L.
double boosted(double v, double L, double gain, double threshold, double saturation) {
  if (!(L > threshold)) return v;
  const double e = (L - threshold) / std::max(1e-4, 1 - threshold);
  return v + gain * 0.1 * e * e * (L + (v - L) * saturation);
}

TEST_F(LensRender, HighlightBoostBrightensOnlyPixelsAboveTheThreshold) {
  // Pixels of rising brightness and varied hue; at the focal distance everywhere, the gather
  // keeps each pixel as it is, so the boost shows alone.
  HostImage image(32, 2);
  for (int x = 0; x < 32; ++x)
    for (int y = 0; y < 2; ++y) {
      const float a = y == 0 ? 1.0f : 0.5f, v = x / 31.0f;
      image.at(x, y) = Px{a * v, a * v * 0.8f, a * std::min(1.0f, v * 1.3f), a};
    }
  const Rect placed{3, 4, 35, 6};
  const MapLayer focal = greyMap(32, 2, placed, [](int, int) { return 0.4; });
  struct Case {
    double gain, threshold, saturation;
    bool linear;
  } cases[] = {{50, 0.6, 0, false}, {50, 0.6, 100, false}, {20, 0.3, 40, true},
               {0, 0.6, 0, false},  {50, 1.0, 0, false},   {-5, 0.2, 0, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "gain " << c.gain << " threshold " << c.threshold);
    RenderSettings s = lensSettings(10);
    s.highlightGain = c.gain;
    s.highlightThreshold = c.threshold;
    s.highlightSaturation = c.saturation;
    s.useLinearWorkingSpace = c.linear;
    s.blurFocalDistance = 0.4;
    ASSERT_TRUE(render(s, image, placed, placed, &focal)) << message;
    int brighter = 0;
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 32; ++x) {
        const Px& in = image.at(x, y);
        const double r = in.r / in.a, g = in.g / in.a, b = in.b / in.a;
        const double L = 0.2126 * r + 0.7152 * g + 0.0722 * b;
        const double gain = std::max(c.gain, 0.0), sat = c.saturation / 100;
        const Px& o = at(placed.left + x, placed.top + y);
        EXPECT_NEAR(o.r, in.a * boosted(r, L, gain, c.threshold, sat), 2e-5) << x;
        EXPECT_NEAR(o.g, in.a * boosted(g, L, gain, c.threshold, sat), 2e-5) << x;
        EXPECT_NEAR(o.b, in.a * boosted(b, L, gain, c.threshold, sat), 2e-5) << x;
        EXPECT_NEAR(o.a, in.a, 1e-6);
        brighter += o.g > in.g + 1e-4f;
      }
    EXPECT_EQ(brighter > 0, c.gain > 0 && c.threshold < 1);
  }
}

TEST_F(LensRender, RenderedInPiecesEqualsRenderedWhole) {
  const HostImage image = blurtest::premultipliedImage(40, 30, 73);
  const Rect placed{-11, 6, 29, 36};
  const MapLayer ramp = greyMap(40, 30, placed, [](int x, int y) { return std::fabs(x - 20) / 20.0 + 0.01 * y; });
  struct Case {
    double radius;
    bool repeat;
    bool withMap;
  } cases[] = {{4.3, false, false}, {4.3, true, false}, {200, false, false}, {200, true, false},
               {7, false, true},    {7, true, true},    {200, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "radius " << c.radius << " repeat " << c.repeat << " map " << c.withMap);
    RenderSettings s = lensSettings(c.radius, c.repeat);
    s.irisShape = 3;
    s.irisRotation = 20;
    s.useLinearWorkingSpace = true;
    s.diffractionFringe = 100;
    const MapLayer* map = c.withMap ? &ramp : nullptr;
    const Rect whole = fm::grownBy(placed, 21, 13);
    ASSERT_TRUE(render(s, image, placed, whole, map)) << message;
    const fmtest::RefImage big = fmtest::refFromBuffer(out, whole);
    std::vector<Rect> pieces = {
        {whole.left, placed.top + 3, placed.left + 4, placed.bottom - 2},    // across the left edge
        {placed.left + 2, whole.top, placed.right - 5, placed.top + 3},      // across the top edge
        {placed.left + 3, placed.top + 2, placed.left + 9, placed.top + 7},  // inside
        {placed.left + 5, placed.top + 1, placed.left + 6, placed.top + 2},  // one pixel
    };
    if (!c.repeat) pieces.push_back({whole.left, placed.top, placed.left - 2, placed.bottom});  // outside
    for (const Rect& piece : pieces) {
      SCOPED_TRACE(::testing::Message() << piece.left << "," << piece.top << " - " << piece.right << ","
                                        << piece.bottom);
      ASSERT_TRUE(render(s, image, placed, piece, map)) << message;
      EXPECT_LE(fmtest::maxDifference(out, piece, big), 2e-5);
    }
  }
}

TEST_F(LensRender, ReducedRenderStaysInPlace) {
  // A layer symmetric about its centre, on a grid the reductions divide evenly: the hexagon (a
  // vertex up, so mirror-symmetric both ways) must blur it symmetrically at any factor, which
  // a reduction or an enlargement off by a pixel would break.
  HostImage image(64, 48);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      const float dx = std::fabs(x - 31.5f), dy = std::fabs(y - 23.5f);
      const float v = dx < 6 && dy < 4 ? 1.0f : 0.1f + 0.01f * (dx + dy);
      image.at(x, y) = Px{v, 0.5f * v, 0.2f, 1};
    }
  const Rect placed{-32, 16, 32, 64};
  const MapLayer depth = greyMap(64, 48, placed, [](int x, int) { return std::fabs(x - 31.5) / 32; });
  for (double radius : {30.0, 200.0, 400.0}) {
    for (bool repeat : {true, false}) {
      for (bool withMap : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "radius " << radius << " repeat " << repeat << " map " << withMap);
        RenderSettings s = lensSettings(radius, repeat);
        const Rect outRect = fm::grownBy(placed, 8, 8);
        ASSERT_TRUE(render(s, image, placed, outRect, withMap ? &depth : nullptr)) << message;
        double worst = 0;
        for (int y = outRect.top; y < outRect.bottom; ++y)
          for (int x = outRect.left; x < outRect.right; ++x) {
            const int mx = placed.left + placed.right - 1 - x, my = placed.top + placed.bottom - 1 - y;
            worst = std::max({worst, double(std::fabs(at(x, y).r - at(mx, y).r)),
                              double(std::fabs(at(x, y).r - at(x, my).r)),
                              double(std::fabs(at(x, y).a - at(mx, my).a))});
          }
        EXPECT_LE(worst, 1e-5);
      }
    }
  }
}

TEST_F(LensRender, WorkingImagesMakeWayForTheResult) {
  const HostImage image = blurtest::premultipliedImage(40, 30, 74);
  const Rect placed{0, 0, 40, 30};
  const MapLayer ramp = greyMap(40, 30, placed, [](int x, int) { return x / 40.0; });
  for (double radius : {5.0, 300.0}) {
    for (bool withMap : {false, true}) {
      // The output, the work, prepared and prefix images at most; the work and prepared images
      // are released before the result and the radius images are made.
      be.peakImages = 0;
      ASSERT_TRUE(render(lensSettings(radius), image, placed, placed, withMap ? &ramp : nullptr)) << message;
      EXPECT_EQ(be.peakImages, 4) << radius << (withMap ? " map" : "");
    }
  }
}

TEST_F(LensRender, EveryFailureReleasesEverything) {
  const HostImage image = blurtest::premultipliedImage(30, 20, 75);
  const Rect placed{0, 0, 30, 20};
  const MapLayer ramp = greyMap(30, 20, placed, [](int x, int) { return x / 30.0; });
  const MapLayer empty{HostImage(0, 0), Rect{0, 0, 1, 1}, placed};  // a map buffer without pixels
  for (double radius : {5.0, 300.0}) {
    for (const MapLayer* map : {static_cast<const MapLayer*>(nullptr), &ramp, &empty}) {
      RenderSettings s = lensSettings(radius);
      s.diffractionFringe = 100;
      for (int what = 0; what < 3; ++what) {
        for (int n = 1;; ++n) {
          SCOPED_TRACE(::testing::Message() << "radius " << radius << " failing " << what << " #" << n);
          fmtest::CountingBackend& c = be.inner;
          c.allocCalls = c.launchCalls = be.uploadCalls = 0;
          c.failAlloc = what == 0 ? n : 0;
          c.failLaunch = what == 1 ? n : 0;
          be.failUpload = what == 2 ? n : 0;
          const bool ok = render(s, image, placed, placed, map);
          const int calls = what == 0 ? c.allocCalls : what == 1 ? c.launchCalls : be.uploadCalls;
          EXPECT_EQ(c.liveImages, ok ? 1 : 0);
          EXPECT_EQ(c.liveTables, 0);
          if (calls < n) {
            EXPECT_TRUE(ok) << message;
            break;
          }
          EXPECT_FALSE(ok);
          EXPECT_EQ(message, what == 0 && n == 1 ? "out of memory (output)" : "render failed");
        }
      }
    }
  }
  be.inner.failAlloc = be.inner.failLaunch = be.failUpload = 0;
}

TEST_F(LensRender, BadSettingsAndMapsAreClampedWithoutNaN) {
  const HostImage image = blurtest::premultipliedImage(36, 28, 76);
  const Rect placed{2, -3, 38, 25};
  const MapLayer ramp = greyMap(36, 28, placed, [](int x, int) { return x / 36.0; });

  // Radius 0: without a map the layer is copied, with one every pixel keeps its own colour.
  ASSERT_TRUE(render(lensSettings(0), image, placed, placed)) << message;
  EXPECT_EQ(differenceFrom(image, placed, placed), 0.0);
  RenderSettings s = lensSettings(0);
  s.diffractionFringe = 100;
  ASSERT_TRUE(render(s, image, placed, placed, &ramp)) << message;
  EXPECT_LE(differenceFrom(image, placed, placed), 1e-5);

  // A map layer without pixels comes as a 1 x 1 transparent image: map value 0 everywhere.
  MapLayer transparent{HostImage(1, 1), Rect{2, -3, 3, -2}, placed};
  s = lensSettings(6);
  s.irisRoundness = 100;
  ASSERT_TRUE(render(s, image, placed, placed, &transparent)) << message;
  EXPECT_LE(differenceFrom(image, placed, placed), 1e-5);
  s.blurFocalDistance = 1;  // now everything is 6 pixels out of focus
  ASSERT_TRUE(render(s, image, placed, placed, &transparent)) << message;
  const HostImage farFromFocus = snapshot();
  ASSERT_TRUE(render(s, image, placed, placed)) << message;
  EXPECT_EQ(fmtest::firstDifference(snapshot(), farFromFocus, 2e-3), "");
  // A map buffer without pixels reads the same.
  {
    fm::Buffer none;
    none.width = none.height = none.pitch = 4;
    fm::MapImage noPixels;
    noPixels.buffer = &none;
    noPixels.rect = transparent.rect;
    noPixels.bounds = placed;
    const fm::Buffer in = image.buffer();
    fm::PlacedImage input{&in, placed};
    const double scale[3] = {1, 1, 1};
    s.hasBlurMap = true;
    be.freeImage(out);
    ASSERT_TRUE(fm::render(be, s, scale, input, placed, placed, &noPixels, placed, out, &message)) << message;
    EXPECT_EQ(fmtest::firstDifference(snapshot(), farFromFocus), "");
  }

  // NaN map pixels: the radius there is not a number and the pixel stays sharp.
  MapLayer holes = ramp;
  for (int y = 10; y < 15; ++y)
    for (int x = 10; x < 15; ++x) holes.image.at(x, y) = Px{float(kNaN), float(kNaN), float(kNaN), float(kNaN)};
  ASSERT_TRUE(render(lensSettings(8), image, placed, placed, &holes)) << message;
  EXPECT_TRUE(allFinite());
  EXPECT_LE(differenceFrom(image, placed, Rect{placed.left + 11, placed.top + 11, placed.left + 14, placed.top + 14}),
            1e-5);

  // Settings outside their ranges render as the nearest valid one.
  const auto renderOf = [&](RenderSettings settings, const MapLayer* map) {
    EXPECT_TRUE(render(settings, image, placed, placed, map)) << message;
    EXPECT_TRUE(allFinite());
    return snapshot();
  };
  for (const MapLayer* map : {static_cast<const MapLayer*>(nullptr), &ramp}) {
    SCOPED_TRACE(map ? "map" : "constant");
    RenderSettings a = lensSettings(7), b = a;
    a.irisShape = 0, b.irisShape = 1;
    EXPECT_EQ(fmtest::firstDifference(renderOf(a, map), renderOf(b, map)), "");
    a.irisShape = 9, b.irisShape = 8;
    EXPECT_EQ(fmtest::firstDifference(renderOf(a, map), renderOf(b, map)), "");
    a.irisAspectRatio = 0, b.irisAspectRatio = 0.01;
    EXPECT_EQ(fmtest::firstDifference(renderOf(a, map), renderOf(b, map)), "");
    a.irisAspectRatio = 1e6, b.irisAspectRatio = 100;
    EXPECT_EQ(fmtest::firstDifference(renderOf(a, map), renderOf(b, map)), "");
    a.diffractionFringe = 1e4, b.diffractionFringe = 500;
    EXPECT_EQ(fmtest::firstDifference(renderOf(a, map), renderOf(b, map)), "");
    a.blurMapChannel = 0, b.blurMapChannel = 1;
    a.highlightGain = 1e9, b.highlightGain = 100;
    EXPECT_EQ(fmtest::firstDifference(renderOf(a, map), renderOf(b, map)), "");

    // Settings that are not numbers, and a radius beyond any frame.
    RenderSettings odd = lensSettings(kNaN);
    odd.irisRotation = odd.irisRoundness = odd.irisAspectRatio = odd.diffractionFringe = kNaN;
    odd.highlightGain = odd.highlightThreshold = odd.highlightSaturation = odd.blurFocalDistance = kNaN;
    renderOf(odd, map);
    renderOf(lensSettings(std::numeric_limits<double>::infinity()), map);
    renderOf(lensSettings(1e9), map);
  }
}

}  // namespace
