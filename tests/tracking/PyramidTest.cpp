// Feature pyramids: level sizes, content against the feature and 2 x 2 averages, placement of
// the frame, the choice of levels, and failure without leaks.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/ThreadParallel.h"
#include "tests/support/FlowFrames.h"
#include "tests/support/TestBackends.h"
#include "tracking/FeaturePyramid.h"

namespace {

using fmtest::HostImage;

HostImage download(fm::Backend& be, const fm::Buffer& b) {
  HostImage im(b.width, b.height, b.pitch);
  EXPECT_TRUE(be.download(b, im.data()));
  return im;
}

TEST(PyramidBuild, LevelSizesAndContent) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  const HostImage frame = fmtest::randomImage(5, 3, 41, 0.0f, 1.0f);
  const fm::Buffer fb = frame.buffer();
  {
    fm::ScratchPool pool(be);
    fm::FeaturePyramid pyr;
    ASSERT_TRUE(fm::buildFeaturePyramid(be, pool, {&fb, {0, 0, 5, 3}}, {0, 0, 5, 3}, 3, pyr));
    ASSERT_EQ(pyr.size(), 4u);
    const int sizes[4][2] = {{5, 3}, {3, 2}, {2, 1}, {1, 1}};
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(pyr[k]->width, sizes[k][0]);
      EXPECT_EQ(pyr[k]->height, sizes[k][1]);
    }
    const HostImage l0 = download(be, *pyr[0]), l1 = download(be, *pyr[1]), l3 = download(be, *pyr[3]);
    const fmtest::Px& c = frame.at(2, 1);
    const float a = std::fmin(std::fmax(c.a, 0.0f), 1.0f);
    EXPECT_NEAR(l0.at(2, 1).r, 0.2126f * c.r + 0.7152f * c.g + 0.0722f * c.b + 0.5f * a, 1e-5f);
    // Level 1, pixel (2, 0) averages the repeated last column of level 0.
    EXPECT_NEAR(l1.at(2, 0).r, 0.5f * (l0.at(4, 0).r + l0.at(4, 1).r), 1e-5f);
    double mean = 0;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) mean += l0.at(x, y).r;
    EXPECT_GT(l3.at(0, 0).r, 0.0f);
    EXPECT_LT(std::fabs(l3.at(0, 0).r - mean / 15), 0.5);
    EXPECT_EQ(be.kernels, (std::vector<int>{FM_K_FEAT, FM_K_HALF, FM_K_HALF, FM_K_HALF}));
    fm::releasePyramid(pool, pyr);
    EXPECT_EQ(be.liveImages, 0);
  }
}

TEST(PyramidBuild, RectanglePlacesTheFrameAndSeesTransparencyPastIt) {
  fm::ThreadParallel par(2);
  fmtest::CountingBackend be(&par);
  HostImage frame(6, 4);
  frame.fill({0.5f, 0.5f, 0.5f, 1.0f});
  const fm::Buffer fb = frame.buffer();
  fm::ScratchPool pool(be);
  fm::FeaturePyramid pyr;
  // The frame sits at (10, 20) in the layer; the rectangle starts 2 pixels left of it.
  ASSERT_TRUE(fm::buildFeaturePyramid(be, pool, {&fb, {10, 20, 16, 24}}, {8, 20, 18, 24}, 0, pyr));
  const HostImage l0 = download(be, *pyr[0]);
  EXPECT_EQ(l0.at(1, 0).r, 0.0f);
  EXPECT_EQ(l0.at(1, 0).g, 0.0f);
  EXPECT_NEAR(l0.at(2, 0).r, 1.0f, 1e-6f);
  EXPECT_NEAR(l0.at(7, 3).r, 1.0f, 1e-6f);
  EXPECT_EQ(l0.at(8, 3).r, 0.0f);
  // A rectangle a billion pixels away sees only transparency.
  ASSERT_TRUE(fm::buildFeaturePyramid(be, pool, {&fb, {10, 20, 16, 24}}, {1000000000, 20, 1000000004, 24}, 0, pyr));
  EXPECT_EQ(download(be, *pyr[0]).at(0, 0).r, 0.0f);
}

TEST(PyramidBuild, RefusesAbsentFramesAndBadLevelCounts) {
  fm::ThreadParallel par(1);
  fmtest::CountingBackend be(&par);
  HostImage frame(4, 4);
  const fm::Buffer fb = frame.buffer();
  fm::ScratchPool pool(be);
  fm::FeaturePyramid pyr;
  EXPECT_FALSE(fm::buildFeaturePyramid(be, pool, {nullptr, {0, 0, 4, 4}}, {0, 0, 4, 4}, 0, pyr));
  EXPECT_FALSE(fm::buildFeaturePyramid(be, pool, {&fb, {0, 0, 0, 4}}, {0, 0, 4, 4}, 0, pyr));
  EXPECT_FALSE(fm::buildFeaturePyramid(be, pool, {&fb, {0, 0, 4, 4}}, {0, 0, 4, 0}, 0, pyr));
  EXPECT_FALSE(fm::buildFeaturePyramid(be, pool, {&fb, {0, 0, 4, 4}}, {0, 0, 4, 4}, -1, pyr));
  EXPECT_FALSE(fm::buildFeaturePyramid(be, pool, {&fb, {0, 0, 4, 4}}, {0, 0, 4, 4}, 13, pyr));
  EXPECT_EQ(be.launchCalls, 0);
  // Thirteen levels of a tiny frame are all 1 x 1 past the third.
  ASSERT_TRUE(fm::buildFeaturePyramid(be, pool, {&fb, {0, 0, 4, 4}}, {0, 0, 4, 4}, 12, pyr));
  EXPECT_EQ(pyr.back()->width, 1);
}

TEST(PyramidBuild, EveryFailureReturnsFalseAndTheRenderLeaksNothing) {
  fm::ThreadParallel par(1);
  HostImage frame = fmtest::randomImage(20, 12, 42, 0.0f, 1.0f);
  const fm::Buffer fb = frame.buffer();
  for (int failAt = 1; failAt <= 4; ++failAt)
    for (bool launch : {false, true}) {
      fmtest::CountingBackend be(&par);
      (launch ? be.failLaunch : be.failAlloc) = failAt;
      {
        fm::ScratchPool pool(be);
        fm::FeaturePyramid pyr;
        EXPECT_FALSE(fm::buildFeaturePyramid(be, pool, {&fb, {0, 0, 20, 12}}, {0, 0, 20, 12}, 3, pyr))
            << failAt << " " << launch;
      }
      EXPECT_EQ(be.liveImages, 0);
    }
}

TEST(PyramidRange, FinestLevelFollowsDetailAndSize) {
  EXPECT_EQ(fm::choosePyramidRange(1000, 800, 0, 0).finest, 0);
  EXPECT_EQ(fm::choosePyramidRange(1000, 800, -5, 0).finest, 0);
  EXPECT_EQ(fm::choosePyramidRange(1000, 800, 2, 0).finest, 1);
  EXPECT_EQ(fm::choosePyramidRange(1000, 800, 7, 0).finest, 2);
  EXPECT_EQ(fm::choosePyramidRange(100, 40, 3, 0).finest, 1);  // 40 >> 2 = 10 < 16
  EXPECT_EQ(fm::choosePyramidRange(100, 24, 3, 0).finest, 0);
  EXPECT_EQ(fm::choosePyramidRange(1, 1, 3, 0).finest, 0);
}

TEST(PyramidRange, CoarsestLevelBringsTheLargestMotionToFourPixels) {
  fm::PyramidRange r = fm::choosePyramidRange(1000, 800, 2, 0.0f);
  EXPECT_EQ(r.coarsest, r.finest);
  r = fm::choosePyramidRange(4000, 3000, 1, 1000.0f);
  EXPECT_EQ(r.coarsest, 8);
  EXPECT_EQ(r.maxFlow, 1000.0f);
  EXPECT_EQ(fm::choosePyramidRange(200, 100, 1, 1000.0f).coarsest, 3);
  EXPECT_EQ(fm::choosePyramidRange(96, 64, 1, 4.0f).coarsest, 0);
  EXPECT_EQ(fm::choosePyramidRange(96, 64, 1, 4.001f).coarsest, 1);
  // Limits: the level cap on a huge frame, and no descent for a limit that is not a number.
  EXPECT_EQ(fm::choosePyramidRange(1 << 20, 1 << 20, 1, std::numeric_limits<float>::infinity()).coarsest, 12);
  r = fm::choosePyramidRange(4000, 3000, 1, std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(r.coarsest, 0);
  EXPECT_EQ(r.maxFlow, 0.0f);
  EXPECT_EQ(fm::choosePyramidRange(0, -5, 2, 100.0f).coarsest, 0);
}

}  // namespace
