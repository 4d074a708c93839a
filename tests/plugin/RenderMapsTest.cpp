// Map layers through the module: none gives the source's own property, a map layer is read
// where the engine reads it, and a map layer without pixels at this time is one transparent
// pixel.
#include <gtest/gtest.h>

#include "tests/plugin/RenderTestSupport.h"

namespace fm::test {
namespace {

constexpr int32_t kWidth = 56, kHeight = 40;
const Rect kLayer{0, 0, kWidth, kHeight};

// A frame rendered with a map layer, next to the engine with the pixels the host delivered.
struct MapCase {
  ParamTexts params;
  void (*settings)(RenderSettings&);
  const char* mapParam;
};

const MapCase kVector{{{"Blur Type", "Vector Blur"}, {"Amount", "9"}, {"Map Softness", "2"}},
                      [](RenderSettings& s) {
                        s.blurType = kVectorBlur;
                        s.vectorAmount = 9;
                        s.mapSoftness = 2;
                      },
                      "Vector Map"};

void lens(RenderSettings& s, int32_t placement) {
  s.blurType = kCameraLensBlur;
  s.blurRadius = 6;
  s.hasBlurMap = true;
  s.blurMapPlacement = placement;
}
const MapCase kLensCentred{{{"Blur Type", "Camera Lens Blur"}, {"Blur Radius", "6"},
                            {"Placement", "Center Map"}},
                           [](RenderSettings& s) { lens(s, kCenterMap); },
                           "Layer"};
const MapCase kLensStretched{{{"Blur Type", "Camera Lens Blur"}, {"Blur Radius", "6"},
                              {"Placement", "Stretch Map to Fit"}},
                             [](RenderSettings& s) { lens(s, kStretchMapToFit); },
                             "Layer"};

void checkWithMap(const MapCase& c, std::shared_ptr<const host::Layer> map, int32_t depth) {
  const host::Image frame = testFrame(kWidth, kHeight, depth, 21);
  auto host = hostWithLayer(host::Layer::still(frame));
  ASSERT_TRUE(host);
  setParams(*host, c.params);
  std::string error;
  ASSERT_TRUE(host->attachLayer(c.mapParam, map, &error)) << error;
  host::FrameRequest request;
  request.depth = depth;
  const Rendered out = renderThroughModule(*host, request);
  ASSERT_TRUE(out.report.ok()) << out.report.message;

  const auto sized = checkoutsWithId(out.report, 2), pixels = checkoutsWithId(out.report, 3);
  ASSERT_EQ(sized.size(), 1u);
  ASSERT_EQ(pixels.size(), 1u);
  EXPECT_EQ(toRect(sized[0].request), Rect{});
  const Rect mapBounds{0, 0, map->info().width, map->info().height};
  RenderSettings s = frameSettings(depth, 1, 1, 1, kLayer);
  c.settings(s);
  s.hasMap = true;
  s.mapBounds = mapBounds;
  const Rect delivered = toRect(pixels[0].result);
  const std::shared_ptr<const host::Image> mapFrame = map->frameAt(0);
  // A map without pixels at this time stands in as one transparent pixel at its corner.
  const host::Image empty(1, 1, depth);
  const host::Image mapPixels = mapFrame ? crop(*mapFrame, mapBounds, delivered) : host::Image();
  const PlacedFrame placed = mapFrame ? PlacedFrame{&mapPixels, delivered}
                                      : PlacedFrame{&empty, Rect{0, 0, 1, 1}};
  if (mapFrame) {
    EXPECT_FALSE(isEmpty(delivered));
  } else {
    EXPECT_TRUE(isEmpty(delivered));
  }
  const host::Image expected =
      engineRender(s, PlacedFrame{&frame, kLayer}, &placed, mapBounds, kLayer, depth);
  EXPECT_EQ(difference(out.image, expected), "");
}

host::Image mapFrame(int32_t width, int32_t height, int32_t depth) {
  host::Image map(width, height, depth);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const float v = float(x + 2 * y) / float(width + 2 * height);
      const float px[4] = {v, 1 - v, v * v, 1};
      map.set(x, y, px);
    }
  }
  return map;
}

TEST(RenderMaps, VectorBlurWithoutAMapReadsTheSourcesOwnProperty) {
  const host::Image frame = testFrame(kWidth, kHeight, 32, 22);
  auto host = hostWithLayer(host::Layer::still(frame));
  ASSERT_TRUE(host);
  setParams(*host, kVector.params);
  const Rendered out = renderThroughModule(*host, host::FrameRequest{});
  ASSERT_TRUE(out.report.ok()) << out.report.message;
  // The size probe finds no layer, so nothing more is asked for.
  EXPECT_EQ(checkoutsWithId(out.report, 2).size(), 1u);
  EXPECT_TRUE(checkoutsWithId(out.report, 3).empty());
  RenderSettings s = frameSettings(32, 1, 1, 1, kLayer);
  kVector.settings(s);
  const host::Image expected =
      engineRender(s, PlacedFrame{&frame, kLayer}, nullptr, Rect{}, kLayer, 32);
  EXPECT_EQ(difference(out.image, expected), "");
  // Not the same as blurring along an empty map.
  const host::Image empty(1, 1, 32);
  const PlacedFrame emptyMap{&empty, Rect{0, 0, 1, 1}};
  EXPECT_NE(difference(out.image, engineRender(s, PlacedFrame{&frame, kLayer}, &emptyMap, kLayer,
                                               kLayer, 32)),
            "");
}

TEST(RenderMaps, MapLayersAreReadWhereTheEngineReadsThem) {
  for (int32_t depth : {8, 32}) {
    SCOPED_TRACE(std::to_string(depth) + " bits");
    // Smaller and larger than the layer, so centring and stretching both move the map.
    checkWithMap(kVector, host::Layer::still(mapFrame(40, 30, depth)), depth);
    checkWithMap(kLensCentred, host::Layer::still(mapFrame(80, 24, depth)), depth);
    checkWithMap(kLensStretched, host::Layer::still(mapFrame(30, 60, depth)), depth);
  }
}

TEST(RenderMaps, AMapLayerWithoutPixelsNowIsOneTransparentPixel) {
  std::map<int32_t, host::Image> later;
  later[7] = mapFrame(40, 30, 32);
  const auto map = host::Layer::sequence(std::move(later));
  checkWithMap(kVector, map, 32);
  checkWithMap(kLensStretched, map, 32);
}

}  // namespace
}  // namespace fm::test
