// Vector Blur through the render driver: directions, sides, maps and bad settings.
#include <cmath>

#include "blurs/DirectionalBlur.h"
#include "blurs/Footprint.h"
#include "blurs/VectorBlur.h"
#include "tests/blurs/BlurTestSupport.h"

namespace {

using blurtest::BlurRender;
using fm::Rect;
using fmtest::HostImage;
using fmtest::Px;

RenderSettings vectorSettings(int type, double amount, double softness = 0) {
  RenderSettings s;
  s.blurType = fm::kVectorBlur;
  s.vectorType = type;
  s.vectorAmount = amount;
  s.mapSoftness = softness;
  s.mapProperty = FM_CH_RED;
  return s;
}

// Black with one opaque white pixel at (cx, cy).
HostImage dot(int w, int h, int cx, int cy) {
  HostImage im(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) im.at(x, y) = {0, 0, 0, 1};
  im.at(cx, cy) = {1, 1, 1, 1};
  return im;
}

HostImage constantMap(int w, int h, float v) {
  HostImage m(w, h);
  m.fill({v, v, v, 1});
  return m;
}

class VectorRender : public BlurRender {
 protected:
  // Renders `image` (placed at the origin) with `map` stretched over the same layer rectangle.
  bool renderWithMap(const RenderSettings& s, const HostImage& image, const HostImage* map) {
    be.freeImage(out);
    const Rect layer{0, 0, image.width(), image.height()};
    const fm::Buffer in = image.buffer();
    fm::Buffer mb;
    fm::MapImage mi;
    if (map) {
      mb = map->buffer();
      mi.buffer = &mb;
      mi.rect = Rect{0, 0, map->width(), map->height()};
      mi.bounds = mi.rect;
    }
    fm::PlacedImage placed{&in, layer};
    const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
    return fm::render(be, s, scale, placed, layer, layer, map ? &mi : nullptr, layer, out, &message);
  }
  Px at(int x, int y) const { return static_cast<const Px*>(out.data)[size_t(y) * out.pitch + x]; }
  // Columns and rows that received any of the dot's light.
  void litExtent(int w, int h, int& x0, int& x1, int& y0, int& y1) const {
    x0 = y0 = 1 << 30;
    x1 = y1 = -1;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (at(x, y).r > 1e-4f) {
          x0 = std::min(x0, x);
          x1 = std::max(x1, x);
          y0 = std::min(y0, y);
          y1 = std::max(y1, y);
        }
  }
};

TEST_F(VectorRender, FlatMapLeavesGradientTypesUnchanged) {
  const HostImage image = blurtest::premultipliedImage(24, 18, 3);
  const HostImage flat = constantMap(12, 9, 0.4f);
  for (int type : {FM_VEC_NATURAL, FM_VEC_CONSTANT, FM_VEC_PERPENDICULAR}) {
    ASSERT_TRUE(renderWithMap(vectorSettings(type, 10), image, &flat)) << message;
    for (int y = 0; y < 18; ++y)
      for (int x = 0; x < 24; ++x) ASSERT_EQ(at(x, y).g, image.at(x, y).g) << type << " " << x << "," << y;
  }
}

TEST_F(VectorRender, DirectionCenterFollowsTheMapValueAndOffset) {
  const HostImage image = dot(31, 31, 15, 15);
  int x0, x1, y0, y1;
  // Value 0 points up: a vertical streak centred on the dot.
  const HostImage up = constantMap(8, 8, 0.0f);
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_DIR_CENTER, 10), image, &up));
  litExtent(31, 31, x0, x1, y0, y1);
  EXPECT_EQ(x0, 15);
  EXPECT_EQ(x1, 15);
  EXPECT_LE(y0, 11);
  EXPECT_GE(y1, 19);
  EXPECT_EQ(y0 + y1, 30);  // centred
  // 0.25 points right: horizontal.
  const HostImage right = constantMap(8, 8, 0.25f);
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_DIR_CENTER, 10), image, &right));
  litExtent(31, 31, x0, x1, y0, y1);
  EXPECT_EQ(y0, 15);
  EXPECT_EQ(y1, 15);
  EXPECT_LE(x0, 11);
  // And 90 degrees of offset turns it vertical again.
  RenderSettings turned = vectorSettings(FM_VEC_DIR_CENTER, 10);
  turned.angleOffset = 90;
  ASSERT_TRUE(renderWithMap(turned, image, &right));
  litExtent(31, 31, x0, x1, y0, y1);
  EXPECT_EQ(x0, 15);
  EXPECT_EQ(x1, 15);
  EXPECT_LE(y0, 11);
  // Direction Fading smears to one side only.
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_DIR_FADING, 10), image, &up));
  litExtent(31, 31, x0, x1, y0, y1);
  EXPECT_EQ(x0, 15);
  EXPECT_TRUE(y0 == 15 || y1 == 15) << y0 << " " << y1;
  EXPECT_GT(y1 - y0, 5);
}

// A map rising to the right: its gradient points along +x everywhere.
HostImage rampMap(int w, int h) {
  HostImage m(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) m.at(x, y) = {float(x) / w, 0, 0, 1};
  return m;
}

TEST_F(VectorRender, NaturalSmearsToOneSideAndNegativeAmountsMirrorIt) {
  const HostImage image = dot(41, 21, 20, 10);
  const HostImage ramp = rampMap(41, 21);
  int x0, x1, y0, y1;
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_NATURAL, 8), image, &ramp));
  litExtent(41, 21, x0, x1, y0, y1);
  EXPECT_EQ(y0, 10);
  EXPECT_EQ(y1, 10);
  const int plusLeft = x0, plusRight = x1;
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_NATURAL, -8), image, &ramp));
  litExtent(41, 21, x0, x1, y0, y1);
  EXPECT_EQ(x0 + plusRight, 40);  // mirror images about the dot
  EXPECT_EQ(x1 + plusLeft, 40);
  EXPECT_TRUE((plusLeft == 20) != (plusRight == 20)) << "one-sided: " << plusLeft << ".." << plusRight;
  // Perpendicular runs across the gradient: vertically here, centred.
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_PERPENDICULAR, 8), image, &ramp));
  litExtent(41, 21, x0, x1, y0, y1);
  EXPECT_EQ(x0, 20);
  EXPECT_EQ(x1, 20);
  EXPECT_EQ(y0 + y1, 20);
  EXPECT_LT(y0, 10);
}

TEST_F(VectorRender, WithoutAMapTheSourceItselfDrivesTheBlur) {
  // Red holds a ramp, so the source's own red is the same field as the ramp map.
  HostImage image = rampMap(40, 24);
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 40; ++x) image.at(x, y).g = float((x * 7 + y * 3) % 5) / 5;
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_CONSTANT, 6), image, &image));
  const HostImage withMap = [&] {
    HostImage copy(40, 24);
    for (int y = 0; y < 24; ++y)
      for (int x = 0; x < 40; ++x) copy.at(x, y) = at(x, y);
    return copy;
  }();
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_CONSTANT, 6), image, nullptr));
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 40; ++x) ASSERT_EQ(at(x, y).g, withMap.at(x, y).g) << x << "," << y;
}

TEST_F(VectorRender, SofteningAddsOneImageOnlyWhenThereIsSoftness) {
  const HostImage image = blurtest::premultipliedImage(20, 16, 7);
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_NATURAL, 4, 0), image, nullptr));
  const int without = be.allocCalls;
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_NATURAL, 4, 3), image, nullptr));
  EXPECT_EQ(be.allocCalls - without, without + 1);
}

// Without a map layer the scalar image only fills the map; it is gone before the softening and
// result images arrive, so at most the output, source copy, map and two more are alive.
TEST_F(VectorRender, ScalarImageIsReleasedOnceTheMapIsFilled) {
  const HostImage image = blurtest::premultipliedImage(20, 16, 7);
  be.peakImages = 0;
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_NATURAL, 4, 3), image, nullptr));
  EXPECT_EQ(be.peakImages, 5);
  be.peakImages = 0;
  ASSERT_TRUE(renderWithMap(vectorSettings(FM_VEC_NATURAL, 4, 0), image, nullptr));
  EXPECT_EQ(be.peakImages, 4);
}

TEST_F(VectorRender, AbsurdSettingsStayBoundedAndSafe) {
  const HostImage image = blurtest::premultipliedImage(16, 12, 9);
  const HostImage map = blurtest::premultipliedImage(5, 4, 10);
  for (double amount : {1e9, -1e9, std::nan(""), 1e-9}) {
    RenderSettings s = vectorSettings(FM_VEC_NATURAL, amount, 2);
    const bool ok = renderWithMap(s, image, &map);
    if (!ok) continue;
    for (int y = 0; y < 12; ++y)
      for (int x = 0; x < 16; ++x) ASSERT_TRUE(std::isfinite(at(x, y).a)) << amount;
  }
  // Softness too large for memory fails cleanly instead of hanging.
  EXPECT_FALSE(renderWithMap(vectorSettings(FM_VEC_NATURAL, 3, 1e6), image, nullptr));
  EXPECT_EQ(message, "render failed");
  // An empty or distant map rectangle reads the nearest edge or nothing; never outside memory.
  be.freeImage(out);
  const fm::Buffer in = image.buffer(), mb = map.buffer();
  fm::MapImage far{&mb, Rect{5000, 5000, 5005, 5004}, Rect{}};
  fm::PlacedImage placed{&in, Rect{0, 0, 16, 12}};
  const double scale[3] = {1, 1, 1};
  RenderSettings s = vectorSettings(FM_VEC_DIR_CENTER, 3);
  EXPECT_TRUE(fm::render(be, s, scale, placed, placed.rect, placed.rect, &far, placed.rect, out, &message));
}

TEST(VectorReach, Figures) {
  RenderSettings s;
  s.blurType = fm::kVectorBlur;
  s.vectorAmount = -10.3;
  s.mapSoftness = 0;
  const double full[3] = {1, 1, 1}, half[3] = {0.5, 0.5, 1}, wide[3] = {1, 1, 2};
  fm::Reach r = fm::vectorReach(s, full, false);
  EXPECT_EQ(r.left, 13);
  EXPECT_EQ(r.bottom, 13);
  r = fm::vectorReach(s, half, false);
  EXPECT_EQ(r.left, 8);
  r = fm::vectorReach(s, wide, false);
  EXPECT_EQ(r.left, 8);   // 10.3 / 2 -> 6 + 2
  EXPECT_EQ(r.top, 13);
  s.vectorAmount = 0;
  EXPECT_EQ(fm::vectorReach(s, full, false).left, 2);
  s.vectorAmount = 3e8;
  EXPECT_EQ(fm::vectorReach(s, full, false).left, 100000002);
  // Softness 12 (sigma 5): four boxes of radius 3.8077 -> reach 4 each, plus 1.
  s.vectorAmount = 10;
  s.mapSoftness = 12;
  r = fm::vectorReach(s, full, true);
  EXPECT_EQ(r.left, 12 + 16 + 1);
  EXPECT_EQ(r.top, 12 + 16 + 1);
}

TEST(DirectionalReach, Figures) {
  RenderSettings s;
  s.blurType = fm::kMotionBlur;
  s.blurLength = 10;
  s.direction = 90;  // horizontal
  const double full[3] = {1, 1, 1};
  fm::Reach r = fm::directionalReach(s, full);
  EXPECT_EQ(r.left, 6);
  EXPECT_EQ(r.right, 6);
  EXPECT_EQ(r.top, 1);
  s.direction = 0;
  r = fm::directionalReach(s, full);
  EXPECT_EQ(r.left, 1);
  EXPECT_EQ(r.top, 6);
  s.blurLength = -4;
  EXPECT_EQ(fm::directionalReach(s, full).top, 1);
  s.blurLength = 1e12;
  EXPECT_EQ(fm::directionalReach(s, full).top, 100000001);
}

TEST(CapExtent, Figures) {
  const double full[3] = {1, 1, 1}, half[3] = {0.5, 0.5, 1};
  const Rect wide{-100, 0, 39900, 10};
  Rect c = fm::capExtent(wide, wide, full);
  EXPECT_EQ(c.right - c.left, 29990);
  EXPECT_EQ(c.left, 19900 - 14995);
  // Centred on the reference, but never left of the rectangle's own left edge.
  c = fm::capExtent(wide, Rect{0, 0, 10, 10}, full);
  EXPECT_EQ(c.left, -100);
  EXPECT_EQ(c.right, 29890);
  c = fm::capExtent(wide, wide, half);
  EXPECT_EQ(c.right - c.left, 14995);
  EXPECT_EQ(fm::capExtent(Rect{0, 0, 5, 5}, Rect{}, full), (Rect{0, 0, 5, 5}));
  const double tiny[3] = {1e-6, 1e-6, 1};
  c = fm::capExtent(Rect{0, 0, 50, 50}, Rect{}, tiny);
  EXPECT_EQ(c.right - c.left, 1);
}

}  // namespace
