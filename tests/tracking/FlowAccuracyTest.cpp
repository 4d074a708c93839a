// Flow accuracy of the whole estimation on synthetic pairs with known motion: coarse-to-fine
// patch search plus refinement must recover translations, rotation and zoom, keep a
// brightness change from looking like motion, and separate a moving square from a still
// background.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine/cpu/CpuBackend.h"
#include "engine/ThreadParallel.h"
#include "tests/support/FlowFrames.h"

namespace {

using fmtest::FlowPair;
using fmtest::TrackResult;

constexpr int kW = 96, kH = 64;

struct FlowAccuracy : ::testing::Test {
  fm::ThreadParallel par{2};
  fm::CpuBackend be{&par, nullptr, nullptr};

  double epe(const FlowPair& pr, float maxFlow, int detail = 1, const char* what = "") {
    const TrackResult r = fmtest::trackPair(be, pr.current, pr.other, detail, maxFlow);
    EXPECT_TRUE(r.ok);
    if (!r.ok) return 1e9;
    const double e = fmtest::meanEndPointError(pr, r.flow);
    std::printf("[ EPE      ] %-28s %.4f px (levels %d..%d)\n", what, e, r.finest, r.coarsest);
    return e;
  }
};

TEST_F(FlowAccuracy, SubPixelTranslation) {
  EXPECT_LT(epe(fmtest::translatedPair(kW, kH, 0.4, -0.3), 8.0f, 1, "translation (0.4, -0.3)"), 0.15);
}

TEST_F(FlowAccuracy, TranslationOfTwentyPixels) {
  // A third of the frame's height: the coarsest level (12 x 8) carries it.
  EXPECT_LT(epe(fmtest::translatedPair(kW, kH, 20.0, 0.0), 32.0f, 1, "translation (20, 0)"), 0.25);
  EXPECT_LT(epe(fmtest::translatedPair(kW, kH, 0.0, -20.0), 32.0f, 1, "translation (0, -20)"), 0.25);
}

TEST_F(FlowAccuracy, RotationOfTwoDegrees) {
  EXPECT_LT(epe(fmtest::rotatedPair(kW, kH, 2.0), 16.0f, 1, "rotation 2 deg"), 0.2);
}

TEST_F(FlowAccuracy, ZoomOfThreePercent) {
  EXPECT_LT(epe(fmtest::zoomedPair(kW, kH, 1.03), 16.0f, 1, "zoom 3 %"), 0.2);
}

TEST_F(FlowAccuracy, BrightnessAndContrastChangeIsNoMotion) {
  const FlowPair pr = fmtest::brightnessPair(kW, kH, 1.3, 0.05);
  const TrackResult r = fmtest::trackPair(be, pr.current, pr.other, 1, 16.0f);
  ASSERT_TRUE(r.ok);
  const double e = fmtest::meanEndPointError(pr, r.flow);
  std::printf("[ EPE      ] %-28s %.4f px\n", "brightness x1.3 + 0.05", e);
  EXPECT_LT(e, 0.05);
  // The confidence is formed from the residual under the patches' gain and offset: high
  // only when they absorbed the change.
  double conf = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) conf += r.flow.at(x, y).b;
  EXPECT_GT(conf / (kW * kH), 0.9);
}

TEST_F(FlowAccuracy, MovingSquareOverStillBackground) {
  const int x0 = 30, y0 = 18, side = 28;
  const FlowPair pr = fmtest::movingSquarePair(kW, kH, x0, y0, side, 3.5, 2.0);
  const TrackResult r = fmtest::trackPair(be, pr.current, pr.other, 1, 16.0f);
  ASSERT_TRUE(r.ok);
  std::vector<uint8_t> core(size_t(kW) * kH, 0), far(size_t(kW) * kH, 0);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      // Interior of the square, and background well away from where the square is or goes.
      core[size_t(y) * kW + x] = x >= x0 + 6 && x < x0 + side - 6 && y >= y0 + 6 && y < y0 + side - 6;
      far[size_t(y) * kW + x] = x < x0 - 6 || x >= x0 + side + 10 || y < y0 - 6 || y >= y0 + side + 8;
    }
  const double all = fmtest::meanEndPointError(pr, r.flow);
  const double inner = fmtest::meanEndPointError(pr, r.flow, &core);
  const double back = fmtest::meanEndPointError(pr, r.flow, &far);
  std::printf("[ EPE      ] moving square: all %.4f, square core %.4f, far background %.4f px\n", all, inner,
              back);
  EXPECT_LT(all, 0.5);
  EXPECT_LT(inner, 0.2);
  EXPECT_LT(back, 0.05);
}

TEST_F(FlowAccuracy, HalfDetailBroughtToFullSize) {
  const FlowPair pr = fmtest::translatedPair(kW * 2, kH * 2, 6.3, -2.6, 7);
  EXPECT_LT(epe(pr, 24.0f, 2, "half detail (6.3, -2.6)"), 0.35);
}

}  // namespace
