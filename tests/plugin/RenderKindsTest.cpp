// Every blur kind rendered through the module in a headless host equals the engine called
// directly with the same settings and pixels, imported and exported by the engine's own
// kernels: the same values in 8, 16 and 32 bits.
#include <gtest/gtest.h>

#include "blurs/Footprint.h"
#include "tests/plugin/RenderTestSupport.h"

namespace fm::test {
namespace {

// Rows of 61 pixels: groups of eight and of four, and single pixels at their ends.
constexpr int32_t kWidth = 61, kHeight = 48;
const Rect kLayer{0, 0, kWidth, kHeight};

struct KindCase {
  const char* name;
  ParamTexts params;
  void (*settings)(RenderSettings&);
};

const KindCase kKinds[] = {
    {"Vector Blur",
     {{"Blur Type", "Vector Blur"}, {"Type", "Constant Length"}, {"Amount", "12"},
      {"Map Softness", "3"}},
     [](RenderSettings& s) {
       s.blurType = kVectorBlur;
       s.vectorType = FM_VEC_CONSTANT;
       s.vectorAmount = 12;
       s.mapSoftness = 3;
     }},
    {"Gaussian Blur",
     {{"Blur Type", "Gaussian Blur"}, {"Blurriness", "7.5"}, {"Repeat Edge Pixels", "off"}},
     [](RenderSettings& s) {
       s.blurType = kGaussianBlur;
       s.blurriness = 7.5;
       s.gaussianRepeatEdgePixels = false;
     }},
    {"Camera Lens Blur",
     {{"Blur Type", "Camera Lens Blur"}, {"Blur Radius", "4"}, {"Shape", "Pentagon"},
      {"Gain", "20"}},
     [](RenderSettings& s) {
       s.blurType = kCameraLensBlur;
       s.blurRadius = 4;
       s.irisShape = 3;
       s.highlightGain = 20;
     }},
    {"Box Blur",
     {{"Blur Type", "Box Blur"}, {"Blur Radius", "3"}, {"Iterations", "2"},
      {"Repeat Edge Pixels", "off"}},
     [](RenderSettings& s) {
       s.blurType = kBoxBlur;
       s.boxBlurRadius = 3;
       s.iterations = 2;
       s.boxRepeatEdgePixels = false;
     }},
    {"Radial Blur",
     {{"Blur Type", "Radial Blur"}, {"Amount", "15"}, {"Type", "Zoom"}, {"Center", "20,15"}},
     [](RenderSettings& s) {
       s.blurType = kRadialBlur;
       s.radialAmount = 15;
       s.radialType = kZoom;
       s.centerX = 20;
       s.centerY = 15;
     }},
    {"Directional Motion Blur",
     {{"Blur Type", "Motion Blur"}, {"Direction", "30"}, {"Blur Length", "9"}},
     [](RenderSettings& s) {
       s.blurType = kMotionBlur;
       s.direction = 30;
       s.blurLength = 9;
     }},
};

TEST(RenderKinds, EachKindEqualsTheEngine) {
  for (int32_t depth : {8, 16, 32}) {
    const host::Image frame = testFrame(kWidth, kHeight, depth, 5);
    auto host = hostWithLayer(host::Layer::still(frame));
    ASSERT_TRUE(host);
    for (const KindCase& kind : kKinds) {
      SCOPED_TRACE(std::string(kind.name) + " in " + std::to_string(depth) + " bits");
      setParams(*host, kind.params);
      // Room around the layer for the blur to spread into.
      host::FrameRequest request;
      request.depth = depth;
      request.request = PF_Rect{-30, -30, kWidth + 30, kHeight + 30};
      const Rendered out = renderThroughModule(*host, request);
      ASSERT_TRUE(out.report.ok()) << out.report.message;

      RenderSettings s = frameSettings(depth, 1, 1, 1, kLayer);
      kind.settings(s);
      const double scale[3] = {1, 1, 1};
      EXPECT_EQ(toRect(out.report.resultRect), resultRect(s, scale, kLayer, kLayer));
      EXPECT_EQ(toRect(out.report.maxResultRect), outputExtent(s, scale, kLayer));
      const host::Image expected = engineRender(s, PlacedFrame{&frame, kLayer}, nullptr, Rect{},
                                                toRect(out.report.resultRect), depth);
      EXPECT_EQ(difference(out.image, expected), "");
    }
  }
}

// At half resolution the host delivers the layer downsampled and hands out points in render
// pixels; with non-square pixels lengths shrink across. The module renders as the engine does
// at that scale.
TEST(RenderKinds, HalfResolutionAndNonSquarePixels) {
  const host::Image frame = testFrame(kWidth, kHeight, 32, 8);
  host::LayerInfo info;
  info.pixelAspect = PF_Ratio{3, 2};
  auto host = hostWithLayer(host::Layer::still(frame, info));
  ASSERT_TRUE(host);
  const host::Image half = host::downsampled(frame, PF_Ratio{1, 2}, PF_Ratio{1, 2});
  const Rect halfLayer{0, 0, half.width(), half.height()};
  ASSERT_EQ(halfLayer, (Rect{0, 0, (kWidth + 1) / 2, kHeight / 2}));
  for (const KindCase& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    setParams(*host, kind.params);
    host::FrameRequest request;
    request.downsampleX = request.downsampleY = PF_Ratio{1, 2};
    request.request = PF_Rect{-20, -20, halfLayer.right + 20, halfLayer.bottom + 20};
    const Rendered out = renderThroughModule(*host, request);
    ASSERT_TRUE(out.report.ok()) << out.report.message;

    RenderSettings s = frameSettings(32, 0.5, 0.5, 1.5, halfLayer);
    kind.settings(s);
    s.centerX *= 0.5;  // the point, in the pixels of this render
    s.centerY *= 0.5;
    const double scale[3] = {0.5, 0.5, 1.5};
    EXPECT_EQ(toRect(out.report.resultRect),
              intersection(resultRect(s, scale, halfLayer, halfLayer), toRect(*request.request)));
    const host::Image expected = engineRender(s, PlacedFrame{&half, halfLayer}, nullptr, Rect{},
                                              toRect(out.report.resultRect), 32);
    EXPECT_EQ(difference(out.image, expected), "");
  }
  // The default centre is the middle of the layer at this resolution.
  host::FrameRequest request;
  request.downsampleX = request.downsampleY = PF_Ratio{1, 2};
  auto fresh = hostWithLayer(host::Layer::still(frame, info));
  ASSERT_TRUE(fresh);
  setParams(*fresh, {{"Blur Type", "Radial Blur"}, {"Amount", "30"}});
  const Rendered out = renderThroughModule(*fresh, request);
  RenderSettings s = frameSettings(32, 0.5, 0.5, 1.5, halfLayer);
  s.blurType = kRadialBlur;
  s.radialAmount = 30;
  s.centerX = kWidth * 0.25;
  s.centerY = kHeight * 0.25;
  EXPECT_EQ(difference(out.image, engineRender(s, PlacedFrame{&half, halfLayer}, nullptr, Rect{},
                                               toRect(out.report.resultRect), 32)),
            "");
}

// A three-frame sequence with a square moving across a still background.
std::shared_ptr<const host::Layer> movingSquare(int32_t depth) {
  std::map<int32_t, host::Image> frames;
  for (int32_t t = -1; t <= 1; ++t) frames[t] = movingSquareFrame(kWidth, kHeight, depth, t, 3, 1);
  return host::Layer::sequence(std::move(frames));
}

TEST(RenderKinds, TrackedMotionBlurAndVectorsEqualTheEngine) {
  for (int32_t depth : {8, 16, 32}) {
    auto layer = movingSquare(depth);
    auto host = hostWithLayer(layer);
    ASSERT_TRUE(host);
    const auto prev = layer->frameAt(-1), cur = layer->frameAt(0), next = layer->frameAt(1);
    for (const char* output : {"Motion Blur", "Motion Vectors"}) {
      SCOPED_TRACE(std::string(output) + " in " + std::to_string(depth) + " bits");
      setParams(*host, {{"Blur Type", "Motion Blur"},
                        {"Motion Blur Type", "Tracked Motion Blur"},
                        {"Blur Amount", "1"},
                        {"Motion Sensitivity", "100"},
                        {"Output", output},
                        {"Max Displacement", "8"}});
      host::FrameRequest request;
      request.depth = depth;
      request.request = PF_Rect{-20, -20, kWidth + 20, kHeight + 20};
      const Rendered out = renderThroughModule(*host, request);
      ASSERT_TRUE(out.report.ok()) << out.report.message;

      RenderSettings s = frameSettings(depth, 1, 1, 1, kLayer);
      s.blurType = kMotionBlur;
      s.motionBlurType = kTrackedMotionBlur;
      s.blurAmount = 1;
      s.motionSensitivity = 100;
      s.motionOutput = output[7] == 'V' ? kOutputMotionVectors : kOutputMotionBlur;
      s.maxDisplacement = 8;
      // The blur reaches half a shutter of the largest tracked motion beyond the layer.
      const int32_t margin = s.motionOutput == kOutputMotionBlur ? 8 + 2 : 0;
      EXPECT_EQ(toRect(out.report.resultRect), grownBy(kLayer, margin, margin));
      const PlacedFrame p{prev.get(), kLayer}, c{cur.get(), kLayer}, n{next.get(), kLayer};
      const host::Image expected =
          engineTracked(s, c, &p, &n, nullptr, toRect(out.report.resultRect), depth);
      EXPECT_EQ(difference(out.image, expected), "");
    }
  }
}

}  // namespace
}  // namespace fm::test
