// How the module plans frames, seen from the host: frame modes, the rectangles it asks for and
// promises, the neighbour frames it checks out and the block it mixes into the cache key.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/plugin/RenderTestSupport.h"

namespace fm::test {
namespace {

constexpr int32_t kWidth = 48, kHeight = 40;
const Rect kLayer{0, 0, kWidth, kHeight};

// The six words of the cache-key block after its tag.
struct CacheKey {
  int32_t mode, vectorLayer, lowBitGaussian, timeStep, neighbours;
};
CacheKey cacheKeyOf(const host::FrameReport& report) {
  CacheKey key{-1, -1, -1, -1, -1};
  EXPECT_EQ(report.cacheKey.size(), 24u);
  if (report.cacheKey.size() != 24u) return key;
  EXPECT_EQ(std::string(report.cacheKey.begin(), report.cacheKey.begin() + 4), "FGML");
  std::memcpy(&key, report.cacheKey.data() + 4, sizeof(key));
  return key;
}

std::shared_ptr<const host::Layer> sequence(int32_t first, int32_t last, int32_t depth = 32) {
  std::map<int32_t, host::Image> frames;
  for (int32_t t = first; t <= last; ++t) frames[t] = movingSquareFrame(kWidth, kHeight, depth, t, 2, 1);
  return host::Layer::sequence(std::move(frames));
}

const ParamTexts kTracked = {{"Blur Type", "Motion Blur"},
                             {"Motion Blur Type", "Tracked Motion Blur"},
                             {"Motion Sensitivity", "100"}};

TEST(RenderFrames, NoBlurIsACopyOfTheRequestWithinTheInput) {
  for (int32_t depth : {8, 32}) {
    const host::Image frame = testFrame(kWidth, kHeight, depth, 3);
    auto host = hostWithLayer(host::Layer::still(frame));
    ASSERT_TRUE(host);
    setParams(*host, {{"Blur Type", "Gaussian Blur"}, {"Blurriness", "0"}});
    host::FrameRequest request;
    request.depth = depth;
    request.request = PF_Rect{-10, 5, 30, 70};
    const Rendered out = renderThroughModule(*host, request);
    ASSERT_TRUE(out.report.ok()) << out.report.message;
    const CacheKey key = cacheKeyOf(out.report);
    EXPECT_EQ(key.mode, kFrameIdentity);
    EXPECT_EQ(key.lowBitGaussian, depth < 32 ? 1 : 0);
    ASSERT_EQ(checkoutsWithId(out.report, 1).size(), 1u);
    EXPECT_EQ(toRect(checkoutsWithId(out.report, 1)[0].request), (Rect{-10, 5, 30, 70}));
    const Rect result{0, 5, 30, kHeight};
    ASSERT_EQ(toRect(out.report.resultRect), result);
    EXPECT_EQ(toRect(out.report.maxResultRect), kLayer);
    EXPECT_EQ(difference(out.image, crop(frame, kLayer, result)), "");
  }
}

TEST(RenderFrames, TrackedFramesCheckOutTheNeighboursTheyTrack) {
  auto host = hostWithLayer(sequence(-1, 1));
  ASSERT_TRUE(host);
  setParams(*host, kTracked);
  struct Case {
    const char* tracking;
    bool previous, next;
  };
  for (const Case& c : {Case{"Previous and Next Frames", true, true},
                        Case{"Previous Frame", true, false}, Case{"Next Frame", false, true}}) {
    SCOPED_TRACE(c.tracking);
    setParams(*host, {{"Tracking", c.tracking}});
    const Rendered out = renderThroughModule(*host, host::FrameRequest{});
    ASSERT_TRUE(out.report.ok()) << out.report.message;
    const auto previous = checkoutsWithId(out.report, 4), next = checkoutsWithId(out.report, 5);
    ASSERT_EQ(previous.size(), c.previous ? 1u : 0u);
    ASSERT_EQ(next.size(), c.next ? 1u : 0u);
    for (const host::CheckoutRecord& r : previous) EXPECT_EQ(r.time, -1);
    for (const host::CheckoutRecord& r : next) EXPECT_EQ(r.time, 1);
    const CacheKey key = cacheKeyOf(out.report);
    EXPECT_EQ(key.mode, kFrameTracked);
    EXPECT_EQ(key.timeStep, 1);
    EXPECT_EQ(key.neighbours, (c.previous ? 1 : 0) | (c.next ? 2 : 0));
    // The whole layer is asked for, whatever the output request.
    EXPECT_EQ(toRect(checkoutsWithId(out.report, 1)[0].request),
              (Rect{-536870912, -536870912, 536870912, 536870912}));
  }
}

TEST(RenderFrames, AMissingNeighbourIsNoError) {
  // The layer starts at the current frame: there is nothing one step before.
  auto layer = sequence(0, 1);
  auto host = hostWithLayer(layer);
  ASSERT_TRUE(host);
  setParams(*host, kTracked);
  const Rendered out = renderThroughModule(*host, host::FrameRequest{});
  ASSERT_TRUE(out.report.ok()) << out.report.message;
  ASSERT_EQ(checkoutsWithId(out.report, 4).size(), 1u);
  EXPECT_EQ(toRect(checkoutsWithId(out.report, 4)[0].result), Rect{});
  EXPECT_EQ(cacheKeyOf(out.report).neighbours, 2);

  RenderSettings s = frameSettings(32, 1, 1, 1, kLayer);
  s.blurType = kMotionBlur;
  s.motionBlurType = kTrackedMotionBlur;
  s.motionSensitivity = 100;
  const PlacedFrame current{layer->frameAt(0).get(), kLayer}, next{layer->frameAt(1).get(), kLayer};
  EXPECT_EQ(difference(out.image, engineTracked(s, current, nullptr, &next, nullptr,
                                                toRect(out.report.resultRect), 32)),
            "");
}

TEST(RenderFrames, AStillFrameOrNoShutterIsACopy) {
  auto layer = sequence(-2, 2);
  auto host = hostWithLayer(layer);
  ASSERT_TRUE(host);
  setParams(*host, kTracked);
  const host::Image& current = *layer->frameAt(0);

  host::FrameRequest still;
  still.timeStep = still.localTimeStep = 0;
  Rendered out = renderThroughModule(*host, still);
  ASSERT_TRUE(out.report.ok()) << out.report.message;
  EXPECT_EQ(cacheKeyOf(out.report).mode, kFrameIdentity);
  EXPECT_TRUE(checkoutsWithId(out.report, 4).empty());
  EXPECT_EQ(difference(out.image, current), "");

  // Without a time step of its own the layer's local one counts.
  host::FrameRequest local;
  local.timeStep = 0;
  local.localTimeStep = 2;
  out = renderThroughModule(*host, local);
  ASSERT_EQ(checkoutsWithId(out.report, 4).size(), 1u);
  EXPECT_EQ(checkoutsWithId(out.report, 4)[0].time, -2);
  EXPECT_EQ(cacheKeyOf(out.report).timeStep, 2);

  setParams(*host, {{"Blur Amount", "0"}});
  out = renderThroughModule(*host, host::FrameRequest{});
  EXPECT_EQ(cacheKeyOf(out.report).mode, kFrameIdentity);
  EXPECT_EQ(difference(out.image, current), "");
}

TEST(RenderFrames, AVectorLayerIsAskedForNothingOutsideItself) {
  const host::Image frame = testFrame(kWidth, kHeight, 32, 4);
  host::LayerInfo text;
  text.objectType = AEGP_ObjectType_Text;
  host::LayerInfo collapsed;
  collapsed.flags = AEGP_LayerFlag_CollapseTransformations;
  for (const host::LayerInfo& info : {host::LayerInfo{}, text, collapsed}) {
    auto host = hostWithLayer(host::Layer::still(frame, info));
    ASSERT_TRUE(host);
    setParams(*host, {{"Blur Type", "Radial Blur"}, {"Amount", "40"}, {"Type", "Zoom"}});
    host::FrameRequest request;
    request.request = PF_Rect{-40, -40, kWidth + 40, kHeight + 40};
    const Rendered out = renderThroughModule(*host, request);
    ASSERT_TRUE(out.report.ok()) << out.report.message;
    const Rect asked = toRect(checkoutsWithId(out.report, 1)[0].request);
    const bool vector = info.objectType == AEGP_ObjectType_Text || info.flags != 0;
    EXPECT_EQ(cacheKeyOf(out.report).vectorLayer, vector ? 1 : 0);
    if (vector) {
      EXPECT_EQ(asked, kLayer);
    } else {
      EXPECT_LT(asked.left, 0);
    }
  }
}

// An output request covering part of the result gives the pixels of a full render there. The
// engine itself gives a piece at a corner of a Box Blur 1.2e-4 away from the whole frame's
// pixels (its running sums start at the piece's edges), so pieces match to 2e-4.
TEST(RenderFrames, PartialRequestsCropTheFullRender) {
  const ParamTexts kinds[] = {
      {{"Blur Type", "Vector Blur"}, {"Amount", "10"}},
      {{"Blur Type", "Gaussian Blur"}, {"Blurriness", "9"}, {"Repeat Edge Pixels", "off"}},
      {{"Blur Type", "Camera Lens Blur"}, {"Blur Radius", "5"}},
      {{"Blur Type", "Box Blur"}, {"Blur Radius", "4"}, {"Repeat Edge Pixels", "off"}},
      {{"Blur Type", "Radial Blur"}, {"Amount", "12"}},
      {{"Blur Type", "Motion Blur"}, {"Direction", "70"}, {"Blur Length", "14"}},
      {{"Blur Type", "Motion Blur"}, {"Motion Blur Type", "Tracked Motion Blur"},
       {"Motion Sensitivity", "100"}, {"Output", "Motion Blur"}},
  };
  auto host = hostWithLayer(sequence(-1, 1));
  ASSERT_TRUE(host);
  for (const ParamTexts& kind : kinds) {
    SCOPED_TRACE(kind[0].second + " " + kind[1].second);
    setParams(*host, kind);
    host::FrameRequest whole;
    whole.request = PF_Rect{-30, -30, kWidth + 30, kHeight + 30};
    const Rendered full = renderThroughModule(*host, whole);
    ASSERT_TRUE(full.report.ok()) << full.report.message;
    const Rect fullRect = toRect(full.report.resultRect);
    for (const PF_Rect& part : {PF_Rect{5, 7, 20, 19}, PF_Rect{-30, 10, 3, 12},
                                PF_Rect{kWidth - 4, -30, kWidth + 30, 3}, PF_Rect{11, 12, 12, 13}}) {
      host::FrameRequest request;
      request.request = part;
      const Rendered out = renderThroughModule(*host, request);
      ASSERT_TRUE(out.report.ok()) << out.report.message;
      const Rect r = toRect(out.report.resultRect);
      EXPECT_EQ(r, intersection(toRect(part), fullRect));
      EXPECT_EQ(difference(out.image, crop(full.image, fullRect, r), 2e-4), "")
          << part.left << "," << part.top << " - " << part.right << "," << part.bottom;
    }
  }
}

}  // namespace
}  // namespace fm::test
