// The footprint of every blur kind checked against the renders themselves: a request computed
// from it suffices, nothing lands outside the result it promises, and the map region it names
// is all the map a render reads. Every later change to a blur is held to it here.
#include <cmath>
#include <functional>
#include <string>

#include "blurs/CameraLensPlan.h"
#include "blurs/Footprint.h"
#include "tests/blurs/BlurTestSupport.h"

namespace {

using fm::Rect;
using fmtest::HostImage;

const Rect kLimit{-536870912, -536870912, 536870912, 536870912};

struct Case {
  std::string name;
  RenderSettings s;
  bool withMap = false;
};

RenderSettings withScale(RenderSettings s, double dsx, double dsy, double par) {
  s.downsampleX = dsx;
  s.downsampleY = dsy;
  s.pixelAspect = par;
  return s;
}

std::vector<Case> cases() {
  std::vector<Case> c;
  RenderSettings s;
  s.blurType = fm::kVectorBlur;
  s.vectorAmount = 6;
  s.mapSoftness = 3;
  s.mapProperty = FM_CH_LUMINANCE;
  c.push_back({"vector, own map", s});
  s.vectorType = FM_VEC_DIR_CENTER;
  c.push_back({"vector, map layer", s, true});
  s.vectorType = FM_VEC_PERPENDICULAR;
  c.push_back({"vector, map layer, half res", withScale(s, 0.5, 0.5, 1), true});

  c.push_back({"gaussian direct, zero", blurtest::gaussianSettings(6, false)});
  c.push_back({"gaussian direct, repeat", blurtest::gaussianSettings(6, true)});
  c.push_back({"gaussian boxes, zero, non-square", blurtest::gaussianSettings(20, false, 1, false, {1, 1, 2})});
  c.push_back({"gaussian reduced, repeat", blurtest::gaussianSettings(900, true)});
  c.push_back({"gaussian reduced, zero, half res", blurtest::gaussianSettings(1300, false, 1, false, {0.5, 0.5, 1})});

  c.push_back({"box, inside", blurtest::boxSettings(3.5, 2, 1, true)});
  c.push_back({"box, zero, vertical", blurtest::boxSettings(4, 3, 3, false)});
  c.push_back({"box, reduced", blurtest::boxSettings(300, 3, 1, false)});

  s = RenderSettings();
  s.blurType = fm::kCameraLensBlur;
  s.blurRadius = 4;
  s.lensRepeatEdgePixels = false;
  c.push_back({"lens, zero", s});
  s.lensRepeatEdgePixels = true;
  s.irisAspectRatio = 1.6;
  c.push_back({"lens, repeat, stretched", s});
  s.hasBlurMap = true;
  s.blurMapPlacement = 1;
  c.push_back({"lens, map centred", s, true});
  s.blurMapPlacement = 2;
  s.lensRepeatEdgePixels = false;
  c.push_back({"lens, map stretched, zero", s, true});
  s = RenderSettings();
  s.blurType = fm::kCameraLensBlur;
  s.blurRadius = 200;
  c.push_back({"lens, reduced", s});

  s = RenderSettings();
  s.blurType = fm::kRadialBlur;
  s.radialAmount = 25;
  s.centerX = 30;
  s.centerY = 20;
  c.push_back({"spin", s});
  s.radialType = 2;
  s.antialiasing = 2;
  c.push_back({"zoom", s});

  s = RenderSettings();
  s.blurType = fm::kMotionBlur;
  s.blurLength = 14;
  s.direction = 30;
  c.push_back({"directional", s});
  c.push_back({"directional, non-square", withScale(s, 1, 1, 0.5)});
  return c;
}

class Footprint : public ::testing::TestWithParam<Case> {
 protected:
  Footprint()
      : input(blurtest::premultipliedImage(60, 40, 21)), map(blurtest::premultipliedImage(37, 29, 22)) {}

  // Renders outRect from the part of the input inside `inputPart` (and of the map inside
  // `mapPart`); returns the output as a host image.
  HostImage render(const Rect& outRect, const Rect& inputPart, const Rect& mapPart) {
    const Case& c = GetParam();
    const Rect part = intersection(inputPart, B);
    HostImage in(std::max<int>(1, int(width(part))), std::max<int>(1, int(height(part))));
    for (int y = part.top; y < part.bottom; ++y)
      for (int x = part.left; x < part.right; ++x) in.at(x - part.left, y - part.top) = input.at(x - B.left, y - B.top);
    const fm::Buffer inBuf = in.buffer();
    fm::PlacedImage placed{&inBuf, isEmpty(part) ? Rect{} : part};

    HostImage m(std::max<int>(1, int(width(mapPart))), std::max<int>(1, int(height(mapPart))));
    for (int y = mapPart.top; y < mapPart.bottom; ++y)
      for (int x = mapPart.left; x < mapPart.right; ++x) m.at(x - mapPart.left, y - mapPart.top) = map.at(x, y);
    const fm::Buffer mapBuf = m.buffer();
    fm::MapImage mi{&mapBuf, mapPart, mapBounds};

    const double scale[3] = {c.s.downsampleX, c.s.downsampleY, c.s.pixelAspect};
    fm::Buffer out;
    std::string msg;
    EXPECT_TRUE(fm::render(be, c.s, scale, placed, B, B, c.withMap ? &mi : nullptr, outRect, out, &msg)) << msg;
    HostImage copy(int(width(outRect)), int(height(outRect)));
    if (out.data)
      for (int y = 0; y < copy.height(); ++y)
        for (int x = 0; x < copy.width(); ++x)
          copy.at(x, y) = static_cast<const fmtest::Px*>(out.data)[size_t(y) * out.pitch + x];
    be.freeImage(out);
    return copy;
  }

  const Rect B{10, 5, 70, 45};
  const Rect mapBounds{0, 0, 37, 29};
  HostImage input, map;
  fm::ThreadParallel par{2};
  fmtest::CountingBackend be{&par};
};

TEST_P(Footprint, InputRequestSuffices) {
  const Case& c = GetParam();
  const double scale[3] = {c.s.downsampleX, c.s.downsampleY, c.s.pixelAspect};
  for (const Rect& outRect : {Rect{25, 14, 48, 31}, Rect{-5, -8, 22, 12}, Rect{60, 38, 90, 60}}) {
    const HostImage whole = render(outRect, B, mapBounds);
    const Rect request = fm::inputRequest(c.s, scale, outRect, kLimit);
    const HostImage cropped = render(outRect, request, mapBounds);
    EXPECT_EQ(fmtest::firstDifference(whole, cropped, 1e-5f, 1e-5f), "")
        << c.name << ", output " << outRect.left << "," << outRect.top << " request " << request.left << ","
        << request.top << "," << request.right << "," << request.bottom;
  }
  EXPECT_EQ(be.liveImages, 0);
}

TEST_P(Footprint, NothingLandsOutsideTheResult) {
  const Case& c = GetParam();
  const double scale[3] = {c.s.downsampleX, c.s.downsampleY, c.s.pixelAspect};
  const Rect result = fm::resultRect(c.s, scale, B, B);
  const Rect extent = fm::outputExtent(c.s, scale, B);
  if (blurtest::repeatsEdges(c.s)) {
    EXPECT_EQ(extent, B) << c.name;
    EXPECT_EQ(result, B) << c.name;
    return;
  }
  const Rect big = fm::grow(B, fm::Reach{50, 50, 50, 50});
  const HostImage out = render(big, B, mapBounds);
  for (int y = big.top; y < big.bottom; ++y)
    for (int x = big.left; x < big.right; ++x) {
      const bool inResult = x >= result.left && x < result.right && y >= result.top && y < result.bottom;
      const bool inExtent = x >= extent.left && x < extent.right && y >= extent.top && y < extent.bottom;
      if (inResult && inExtent) continue;
      // Running sums may leave rounding dust where the content has passed.
      ASSERT_LE(std::fabs(out.at(x - big.left, y - big.top).a), 1e-5f) << c.name << " at " << x << "," << y;
    }
}

class FootprintWithMap : public Footprint {};

TEST_P(FootprintWithMap, MapRequestSuffices) {
  const Case& c = GetParam();
  const double scale[3] = {c.s.downsampleX, c.s.downsampleY, c.s.pixelAspect};
  for (const Rect& outRect : {Rect{25, 14, 48, 31}, Rect{8, 3, 30, 20}}) {
    const HostImage whole = render(outRect, B, mapBounds);
    const Rect mapPart = fm::mapRequest(c.s, scale, outRect, B, B, mapBounds);
    ASSERT_FALSE(isEmpty(mapPart)) << c.name;
    const HostImage cropped = render(outRect, B, mapPart);
    EXPECT_EQ(fmtest::firstDifference(whole, cropped, 1e-5f, 1e-5f), "") << c.name;
  }
}

// A map stretched onto a narrow layer covers many map pixels per render pixel, and a reduced
// render reads it at pixel centres up to half a reduced pixel outside the input: the map request
// must widen its margin by the stretch, or the edge columns read map pixels it left out.
TEST(LensMapRequest, SufficesForAStretchedMapUnderReduction) {
  RenderSettings s;
  s.blurType = fm::kCameraLensBlur;
  s.blurRadius = 365;
  s.hasBlurMap = true;
  s.blurMapPlacement = 2;
  s.lensRepeatEdgePixels = true;
  const double scale[3] = {1, 1, 1};
  const Rect B{-37, -3, -15, 301}, L{-51, -3, -12, 301}, M{-22, -3, 518, 301};
  ASSERT_GE(fm::makeLensPlan(s, scale).factor, 4);
  const HostImage input = blurtest::premultipliedImage(int(width(B)), int(height(B)), 31);
  HostImage map(int(width(M)), int(height(M)));
  for (int y = 0; y < map.height(); ++y)
    for (int x = 0; x < map.width(); ++x) {
      const float v = 0.5f + 0.5f * float(x % 7) / 7;
      map.at(x, y) = {v, v, v, 1};
    }
  fm::ThreadParallel par{2};
  fmtest::CountingBackend be{&par};
  auto render = [&](const Rect& part) {
    HostImage m(int(width(part)), int(height(part)));
    for (int y = part.top; y < part.bottom; ++y)
      for (int x = part.left; x < part.right; ++x) m.at(x - part.left, y - part.top) = map.at(x - M.left, y - M.top);
    const fm::Buffer mapBuf = m.buffer(), inBuf = input.buffer();
    const fm::MapImage mi{&mapBuf, part, M};
    fm::Buffer out;
    std::string msg;
    EXPECT_TRUE(fm::render(be, s, scale, fm::PlacedImage{&inBuf, B}, B, L, &mi, B, out, &msg)) << msg;
    HostImage copy;
    EXPECT_TRUE(fmtest::readImage(be, out, copy));
    be.freeImage(out);
    return copy;
  };
  const Rect part = fm::mapRequest(s, scale, B, B, L, M);
  ASSERT_FALSE(isEmpty(part));
  // The map's own origin enters the sampling positions in single precision: rounding only.
  EXPECT_EQ(fmtest::firstDifference(render(M), render(part), 1e-5f, 1e-5f), "");
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
  std::string n;
  for (char ch : info.param.name) n += std::isalnum((unsigned char)ch) ? ch : '_';
  return n;
}

std::vector<Case> mapCases() {
  std::vector<Case> withMap;
  for (const Case& c : cases())
    if (c.withMap) withMap.push_back(c);
  return withMap;
}

INSTANTIATE_TEST_SUITE_P(AllKinds, Footprint, ::testing::ValuesIn(cases()), caseName);
INSTANTIATE_TEST_SUITE_P(MapKinds, FootprintWithMap, ::testing::ValuesIn(mapCases()), caseName);

TEST(FootprintFigures, NegligibleAndOutsideRequests) {
  RenderSettings s;
  s.blurType = fm::kVectorBlur;
  s.vectorAmount = 0;
  const double full[3] = {1, 1, 1};
  EXPECT_EQ(fm::inputRequest(s, full, Rect{5, 5, 20, 20}, Rect{0, 0, 10, 10}), (Rect{5, 5, 10, 10}));
  EXPECT_EQ(fm::inputRequest(s, full, Rect{50, 50, 60, 60}, Rect{0, 0, 10, 10}), Rect{});
  RenderSettings g = blurtest::gaussianSettings(20, true);
  const Rect B{0, 0, 100, 80};
  EXPECT_EQ(fm::outputExtent(g, full, B), B);  // repeated edges never grow the layer
  EXPECT_EQ(fm::resultRect(g, full, Rect{200, 200, 210, 210}, B), Rect{});
  g.gaussianRepeatEdgePixels = false;
  const Rect grown = fm::outputExtent(g, full, B);
  EXPECT_LT(grown.left, 0);
  EXPECT_GT(grown.bottom, 80);
}

TEST(FootprintFigures, PlaceOnMap) {
  // Stretching a 100 x 100 layer onto a 50 x 50 map halves every coordinate, then the margin
  // widens the result and the map clips it.
  EXPECT_EQ(fm::placeOnMap(Rect{20, 40, 60, 100}, Rect{0, 0, 100, 100}, Rect{0, 0, 50, 50}, true, 2),
            (Rect{8, 18, 32, 50}));
  // Centred: a 20 x 20 map in the middle of a 100 x 100 layer.
  EXPECT_EQ(fm::placeOnMap(Rect{45, 45, 55, 55}, Rect{0, 0, 100, 100}, Rect{0, 0, 20, 20}, false, 1),
            (Rect{4, 4, 16, 16}));
  EXPECT_EQ(fm::placeOnMap(Rect{0, 0, 10, 10}, Rect{0, 0, 100, 100}, Rect{0, 0, 20, 20}, false, 1), Rect{});
  EXPECT_EQ(fm::placeOnMap(Rect{0, 0, 10, 10}, Rect{0, 0, 0, 0}, Rect{5, 5, 25, 25}, true, 0),
            (Rect{5, 5, 15, 15}));
  // Mapped far past the map (coordinates beyond 32 bits after stretching): nothing of the map.
  EXPECT_EQ(fm::placeOnMap(Rect{100000, 0, 100010, 10}, Rect{0, 0, 1, 1}, Rect{0, 0, 30000, 30000}, true, 2),
            Rect{});
  EXPECT_EQ(fm::placeOnMap(Rect{0, 100000, 10, 100010}, Rect{0, 0, 1, 1}, Rect{0, 0, 30000, 30000}, true, 2),
            Rect{});
  EXPECT_EQ(fm::placeOnMap(Rect{-100010, 0, -100000, 10}, Rect{0, 0, 1, 1}, Rect{0, 0, 30000, 30000}, true, 2),
            Rect{});
}

}  // namespace
