// Directional Motion Blur through the render driver: the plan's passes against a double-precision
// composition of the same passes, streaks of a single pixel, conservation of light, constant
// layers, trivial cases and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/blurs/GroupTestSupport.h"

namespace {

using blurtest::Scale;
using fm::Rect;
using fmtest::HostImage;
using grouptest::directionalSettings;

using DirectionalRender = blurtest::BlurRender;

TEST_F(DirectionalRender, MatchesThePassesComposedWithBilinearSampling) {
  const HostImage image = blurtest::premultipliedImage(34, 26, 61);
  const Rect placed{-9, 5, 25, 31};
  const struct {
    double direction, length;
    bool low;
    Scale scale;
  } cases[] = {
      {0, 10, false, {}},         // one pass of 26 vertical taps
      {90, 7.3, false, {}},       // horizontal, fractional positions
      {30, 16, false, {}},        // two passes
      {-135, 40, false, {}},      // two passes, both axes negative
      {200, 60, true, {}},        // low quality
      {60, 30, false, {1, 1, 2}}, // wide pixels shorten x
      {110, 50, false, {0.5, 0.5, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "direction " << c.direction << " length " << c.length);
    const RenderSettings s = directionalSettings(c.direction, c.length, c.low, c.scale);
    // Beside, around and inside the layer.
    for (const Rect& outRect : {fm::grownBy(placed, 20, 20), Rect{-30, 0, -5, 40}, Rect{0, 10, 12, 20}}) {
      ASSERT_TRUE(render(s, image, placed, placed, outRect)) << message;
      EXPECT_LE(fmtest::maxDifference(out, outRect, grouptest::directionalReference(s, image, placed)), 2e-5);
    }
  }
}

// Pieces of a frame give the pixels of the whole frame: the work images of a piece hold
// everything its pixels draw on, through every pass (three passes for the longest streak).
TEST_F(DirectionalRender, PiecesAgreeWithTheWholeFrame) {
  const HostImage image = blurtest::premultipliedImage(40, 30, 67);
  const Rect placed{-11, 6, 29, 36};
  for (const RenderSettings& s : {directionalSettings(20, 15), directionalSettings(120, 45, true),
                                  directionalSettings(75, 400)}) {
    SCOPED_TRACE(::testing::Message() << "direction " << s.direction << " length " << s.blurLength);
    const Rect whole = fm::grownBy(placed, 30, 30);
    ASSERT_TRUE(render(s, image, placed, placed, whole)) << message;
    const fmtest::RefImage all = fmtest::refFromBuffer(out, whole);
    for (const Rect& piece : {Rect{whole.left, placed.top + 3, placed.left + 4, placed.bottom - 2},
                              Rect{placed.left + 3, placed.top + 2, placed.left + 9, placed.top + 7},
                              Rect{placed.left + 5, placed.top + 1, placed.left + 6, placed.top + 2},
                              Rect{placed.right, whole.top, whole.right, placed.top}}) {
      ASSERT_TRUE(render(s, image, placed, placed, piece)) << message;
      EXPECT_LE(fmtest::maxDifference(out, piece, all), 2e-6)
          << "piece " << piece.left << "," << piece.top << " - " << piece.right << "," << piece.bottom;
    }
  }
}

TEST_F(DirectionalRender, ASinglePixelStreaksAlongTheDirection) {
  const HostImage image = grouptest::dot(61, 61, 30, 30);
  const Rect placed{0, 0, 61, 61};
  const double L = 30;
  for (double direction : {0.0, 45.0, 90.0, 180.0}) {
    SCOPED_TRACE(direction);
    ASSERT_TRUE(render(directionalSettings(direction, L), image, placed, placed, placed)) << message;
    const grouptest::Light l = grouptest::lightOf(out, placed);
    EXPECT_NEAR(l.total, 1.0, 1e-5);
    EXPECT_NEAR(l.mx, 30.5, 1e-3);
    EXPECT_NEAR(l.my, 30.5, 1e-3);
    // Along the streak: evenly spread over L (the discrete samples' variance, plus at most a
    // quarter pixel squared for each pass's bilinear spread); across it: only that spread.
    const double ux = std::sin(direction * M_PI / 180), uy = -std::cos(direction * M_PI / 180);
    const double along = ux * ux * l.vxx + uy * uy * l.vyy + 2 * ux * uy * l.vxy;
    const double across = uy * uy * l.vxx + ux * ux * l.vyy - 2 * ux * uy * l.vxy;
    const double n = double(grouptest::sampleProduct(directionalSettings(direction, L)));
    EXPECT_NEAR(along, L * L / 12 * (n + 1) / (n - 1), 0.6);
    EXPECT_LT(across, 0.6);
    // Every lit pixel lies on the segment, and the segment is lit to its ends.
    double reachLo = 0, reachHi = 0;
    for (int y = 0; y < 61; ++y)
      for (int x = 0; x < 61; ++x) {
        if (!(at(placed, x, y).a > 1e-7f)) continue;
        const double u = (x - 30) * ux + (y - 30) * uy, v = -(x - 30) * uy + (y - 30) * ux;
        EXPECT_LE(std::fabs(u), L / 2 + 1.5) << x << "," << y;
        EXPECT_LE(std::fabs(v), 1.5) << x << "," << y;
        reachLo = std::min(reachLo, u);
        reachHi = std::max(reachHi, u);
      }
    EXPECT_GE(reachHi, L / 2 - 1);
    EXPECT_LE(reachLo, -(L / 2 - 1));
  }
  // 45 degrees: towards the upper right and the lower left.
  ASSERT_TRUE(render(directionalSettings(45, L), image, placed, placed, placed)) << message;
  EXPECT_GT(at(placed, 40, 20).a, 0.01f);
  EXPECT_GT(at(placed, 20, 40).a, 0.01f);
  EXPECT_EQ(at(placed, 40, 40).a, 0.0f);
  EXPECT_EQ(at(placed, 20, 20).a, 0.0f);
  // 180 takes the samples of 0, the passes walking them the other way: the streak is the one
  // of 0 mirrored through the dot (the intermediate images' bilinear ripples mirror too).
  ASSERT_TRUE(render(directionalSettings(0, L), image, placed, placed, placed)) << message;
  const fmtest::RefImage upright = fmtest::refFromBuffer(out, placed);
  fmtest::RefImage mirrored(placed);
  for (int y = 0; y < 61; ++y)
    for (int x = 0; x < 61; ++x) {
      double v[4];
      upright.get(x, 60 - y, v);
      std::copy(v, v + 4, mirrored.at(x, y));
    }
  ASSERT_TRUE(render(directionalSettings(180, L), image, placed, placed, placed)) << message;
  EXPECT_LE(fmtest::maxDifference(out, placed, mirrored), 1e-6);
}

TEST_F(DirectionalRender, ConservesLightAwayFromTheBorders) {
  const HostImage image = blurtest::premultipliedImage(20, 16, 62);
  const Rect placed{40, 30, 60, 46};
  double inputLight[4] = {0, 0, 0, 0};
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 20; ++x) {
      const fmtest::Px& p = image.at(x, y);
      inputLight[0] += p.r;
      inputLight[3] += p.a;
    }
  const Rect outRect = fm::grownBy(placed, 40, 40);  // holds every streak
  for (double direction : {0.0, 37.0, 90.0, 123.0, 250.0})
    for (double length : {5.0, 25.0, 70.0}) {
      ASSERT_TRUE(render(directionalSettings(direction, length), image, placed, placed, outRect)) << message;
      for (int c : {0, 3})
        EXPECT_NEAR(grouptest::lightOf(out, outRect, c).total, inputLight[c], 2e-5 * inputLight[c])
            << direction << " " << length << " channel " << c;
    }
}

TEST_F(DirectionalRender, AConstantLayerStaysConstantWhereTheStreakLiesInside) {
  HostImage image(70, 50);
  const fmtest::Px grey{0.2f, 0.3f, 0.4f, 0.6f};
  image.fill(grey);
  const Rect placed{0, 0, 70, 50};
  for (double direction : {0.0, 30.0, 90.0, 145.0})
    for (bool low : {false, true}) {
      const RenderSettings s = directionalSettings(direction, 24, low);
      double scale[3];
      fm::DirectionalPlan plan;
      fm::makeDirectionalPlan(s, grouptest::scaleOf(s, scale), plan);
      ASSERT_TRUE(render(s, image, placed, placed, placed)) << message;
      int checked = 0;
      for (int y = int(plan.reachY); y < 50 - plan.reachY; ++y)
        for (int x = int(plan.reachX); x < 70 - plan.reachX; ++x, ++checked) {
          ASSERT_NEAR(at(placed, x, y).g, grey.g, 2e-6) << direction << " " << x << "," << y;
          ASSERT_NEAR(at(placed, x, y).a, grey.a, 2e-6) << direction << " " << x << "," << y;
        }
      EXPECT_GT(checked, 200);
      // The streak fades out past the layer's edge.
      EXPECT_LT(at(placed, 0, 0).a, grey.a * 0.9f);
    }
}

TEST_F(DirectionalRender, TrivialCasesAndDriverDecisions) {
  const HostImage image = blurtest::premultipliedImage(12, 10, 63);
  const Rect placed{0, 0, 12, 10};
  // Too short to see: a copy.
  ASSERT_TRUE(render(directionalSettings(90, 0.2), image, placed, placed, placed)) << message;
  EXPECT_EQ(be.kernels, (std::vector<int>{FM_K_COPY}));
  EXPECT_LE(fmtest::maxDifference(out, placed, fmtest::refLoad(image, placed, placed, placed)), 0.0);
  // Just long enough: the group passes run.
  be.kernels.clear();
  ASSERT_TRUE(render(directionalSettings(90, 0.25), image, placed, placed, placed)) << message;
  EXPECT_EQ(be.kernels, (std::vector<int>{FM_K_COPY, FM_K_GROUP}));
  // An input with nothing in it (empty input rectangle): transparent.
  be.kernels.clear();
  ASSERT_TRUE(render(directionalSettings(90, 10), image, placed, Rect{}, placed)) << message;
  EXPECT_EQ(be.kernels, (std::vector<int>{FM_K_CLEAR}));
  EXPECT_LE(fmtest::maxDifference(out, placed, fmtest::RefImage(placed)), 0.0);
  // An output that the streak cannot reach: transparent, without work images.
  be.kernels.clear();
  ASSERT_TRUE(render(directionalSettings(90, 10), image, placed, placed, Rect{0, 30, 12, 40})) << message;
  EXPECT_EQ(be.kernels, (std::vector<int>{FM_K_CLEAR}));
  // Tracked motion blur never runs here: the frame is copied.
  RenderSettings tracked = directionalSettings(90, 10);
  tracked.motionBlurType = 2;
  be.kernels.clear();
  ASSERT_TRUE(render(tracked, image, placed, placed, placed)) << message;
  EXPECT_EQ(be.kernels, (std::vector<int>{FM_K_COPY}));
}

TEST_F(DirectionalRender, GroupLaunchesCarryTheirTapsAndCosts) {
  blurtest::RecordingBackend rec;
  const HostImage image = blurtest::premultipliedImage(30, 20, 64);
  const fm::Buffer in = image.buffer();
  const Rect placed{0, 0, 30, 20};
  const RenderSettings s = directionalSettings(90, 100);
  double scale[3];
  fm::Buffer o;
  ASSERT_TRUE(fm::render(rec, s, grouptest::scaleOf(s, scale), fm::PlacedImage{&in, placed}, placed, placed, nullptr,
                         placed, o, nullptr));
  ASSERT_EQ(rec.kernels(), (std::vector<int>{FM_K_COPY, FM_K_GROUP, FM_K_GROUP}));
  EXPECT_EQ(rec.launches[1].p.count, 16);
  EXPECT_EQ(rec.launches[2].p.count, 9);
  EXPECT_EQ(rec.launches[1].cost, 64.0);
  EXPECT_EQ(rec.launches[2].p.mode, FM_GROUP_TRANSLATE);
  EXPECT_EQ(rec.launches[2].p.ky, 1.0f);
  // Work images: the output grown by the reach (51, 1), within the layer grown the same way.
  EXPECT_EQ(rec.sizes[1], (std::pair<int, int>{30 + 102, 20 + 2}));
  // The last pass computes the output's part of the work frame only, straight into the output.
  EXPECT_EQ(rec.launches[2].p.dW, 30);
  EXPECT_EQ(rec.launches[2].p.dH, 20);
  EXPECT_EQ(rec.launches[2].p.ax, 51);
  EXPECT_EQ(rec.launches[2].p.ay, 1);
  EXPECT_EQ(rec.launches[1].p.ax, 0);
  rec.freeImage(o);
  EXPECT_EQ(rec.live(), 0u);
}

TEST_F(DirectionalRender, FailuresReleaseEverything) {
  const HostImage image = blurtest::premultipliedImage(20, 14, 65);
  const Rect placed{0, 0, 20, 14};
  const RenderSettings s = directionalSettings(60, 80);  // two passes: 3 launches, 3 images
  for (int k = 1; k <= 3; ++k) {
    be.failAlloc = k;
    EXPECT_FALSE(render(s, image, placed, placed, placed));
    EXPECT_EQ(message, k == 1 ? "out of memory (output)" : "render failed");
    EXPECT_EQ(be.liveImages, 0);
    be.failAlloc = 0;
    be.allocCalls = 0;
  }
  for (int k = 1; k <= 3; ++k) {
    be.failLaunch = k;
    be.launchCalls = 0;
    EXPECT_FALSE(render(s, image, placed, placed, placed));
    EXPECT_EQ(message, "render failed");
    EXPECT_EQ(be.liveImages, 0);
  }
  be.failLaunch = 0;
}

struct StopNow {
  bool on = true;
};
bool stopNow(void* ctx) { return static_cast<StopNow*>(ctx)->on; }

TEST(DirectionalAbort, IsReportedAsAborted) {
  fm::ThreadParallel par(2);
  StopNow flag;
  fmtest::CountingBackend be(&par, &stopNow, &flag);
  const HostImage image = blurtest::premultipliedImage(20, 14, 66);
  const fm::Buffer in = image.buffer();
  const Rect placed{0, 0, 20, 14};
  const RenderSettings s = directionalSettings(60, 80);
  double scale[3];
  fm::Buffer o;
  std::string msg;
  EXPECT_FALSE(fm::render(be, s, grouptest::scaleOf(s, scale), fm::PlacedImage{&in, placed}, placed, placed,
                          nullptr, placed, o, &msg));
  EXPECT_EQ(msg, "aborted");
  EXPECT_EQ(be.liveImages, 0);
}

}  // namespace
