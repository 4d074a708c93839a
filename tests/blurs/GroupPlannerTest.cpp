// How sample counts are factored into group passes and what their taps hold, and the plans of
// Directional Motion Blur and Radial Blur built on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "blurs/DirectionalBlur.h"
#include "blurs/GroupPass.h"
#include "blurs/RadialBlur.h"

namespace {

using fm::GroupPass;

std::vector<int> sizesOf(const std::vector<GroupPass>& passes) {
  std::vector<int> s;
  for (const GroupPass& p : passes) s.push_back(int(p.taps.size() / 3));
  return s;
}

std::vector<GroupPass> build(int mode, double lo, double hi, int64_t samples, bool weighted = false) {
  std::vector<GroupPass> passes;
  fm::buildGroupPasses(mode, lo, hi, samples, passes, weighted);
  return passes;
}

// Every combination of one tap per pass: its parameter (shifts and angles add, log scales add)
// and its weight (the product).
struct Composite {
  double value, weight;
};
std::vector<Composite> compose(const std::vector<GroupPass>& passes) {
  std::vector<Composite> all{{0.0, 1.0}};
  for (const GroupPass& p : passes) {
    std::vector<Composite> next;
    for (const Composite& c : all)
      for (size_t i = 0; i < p.taps.size(); i += 3) {
        double v = p.taps[i];
        if (p.mode == FM_GROUP_ROTATE) v = std::atan2(double(p.taps[i + 1]), double(p.taps[i]));
        if (p.mode == FM_GROUP_SCALE) v = std::log(double(p.taps[i]));
        next.push_back({c.value + v, c.weight * p.taps[i + 2]});
      }
    all = next;
  }
  std::sort(all.begin(), all.end(), [](const Composite& a, const Composite& b) { return a.value < b.value; });
  return all;
}

TEST(GroupPasses, SampleCountsFactorIntoPassesOfAtMost32) {
  EXPECT_EQ(sizesOf(build(FM_GROUP_TRANSLATE, -0.5, 0.5, 33)), (std::vector<int>{16, 3}));
  EXPECT_EQ(sizesOf(build(FM_GROUP_TRANSLATE, -0.5, 0.5, 32)), (std::vector<int>{32}));
  EXPECT_EQ(sizesOf(build(FM_GROUP_TRANSLATE, -0.5, 0.5, 135)), (std::vector<int>{16, 9}));
  EXPECT_EQ(sizesOf(build(FM_GROUP_ROTATE, -1, 1, 1024)), (std::vector<int>{16, 16, 4}));
  EXPECT_EQ(sizesOf(build(FM_GROUP_ROTATE, -1, 1, 1025)), (std::vector<int>{16, 16, 5}));
  EXPECT_EQ(sizesOf(build(FM_GROUP_SCALE, -1, 1, 2)), (std::vector<int>{2}));
  for (int64_t few : {1, 0, -7}) EXPECT_EQ(sizesOf(build(FM_GROUP_TRANSLATE, -0.5, 0.5, few)), (std::vector<int>{1}));
  // The cap's worth of samples stays a handful of passes.
  EXPECT_EQ(sizesOf(build(FM_GROUP_TRANSLATE, -0.5, 0.5, fm::kMaxGroupSamples)),
            (std::vector<int>{16, 16, 16, 16, 16}));
}

TEST(GroupPasses, ThirtyThreeSamplesComposeFortyEightEvenShifts) {
  const std::vector<GroupPass> passes = build(FM_GROUP_TRANSLATE, -0.5, 0.5, 33);
  ASSERT_EQ(passes.size(), 2u);
  // Pass 0 takes the fine steps from 0, pass 1 steps 16 times further from lo.
  for (int k = 0; k < 16; ++k) {
    EXPECT_FLOAT_EQ(passes[0].taps[size_t(3 * k)], float(k / 47.0));
    EXPECT_EQ(passes[0].taps[size_t(3 * k + 1)], 0.0f);
    EXPECT_FLOAT_EQ(passes[0].taps[size_t(3 * k + 2)], 1.0f / 16);
  }
  for (int k = 0; k < 3; ++k) {
    EXPECT_FLOAT_EQ(passes[1].taps[size_t(3 * k)], float(-0.5 + 16.0 * k / 47));
    EXPECT_FLOAT_EQ(passes[1].taps[size_t(3 * k + 2)], 1.0f / 3);
  }
  const std::vector<Composite> all = compose(passes);
  ASSERT_EQ(all.size(), 48u);
  for (size_t j = 0; j < all.size(); ++j) {
    EXPECT_NEAR(all[j].value, -0.5 + j / 47.0, 1e-6) << j;
    EXPECT_NEAR(all[j].weight, 1.0 / 48, 1e-7) << j;
  }
}

TEST(GroupPasses, RotationTapsAreCosineAndSine) {
  // Spin 10 degrees, 102 samples (a sweep 573 pixels out, low antialiasing): passes of 16 and
  // 7, 112 angles 0.0015724 radians apart from -5 to +5 degrees.
  const double A = 10 * M_PI / 180;
  const std::vector<GroupPass> passes = build(FM_GROUP_ROTATE, -A / 2, A / 2, 102);
  EXPECT_EQ(sizesOf(passes), (std::vector<int>{16, 7}));
  const double step = A / 111;
  EXPECT_NEAR(step, 0.0015724, 1e-7);
  for (int k = 0; k < 16; ++k) {
    EXPECT_FLOAT_EQ(passes[0].taps[size_t(3 * k)], float(std::cos(k * step)));
    EXPECT_FLOAT_EQ(passes[0].taps[size_t(3 * k + 1)], float(std::sin(k * step)));
  }
  const std::vector<Composite> all = compose(passes);
  ASSERT_EQ(all.size(), 112u);
  EXPECT_NEAR(all.front().value, -A / 2, 1e-6);
  EXPECT_NEAR(all.back().value, A / 2, 1e-6);
  // High antialiasing: 202 samples, passes of 16 and 13.
  EXPECT_EQ(sizesOf(build(FM_GROUP_ROTATE, -A / 2, A / 2, 202)), (std::vector<int>{16, 13}));
}

TEST(GroupPasses, ZoomWeightsAreProportionalToScale) {
  const double lo = std::log(0.5), hi = std::log(1.5);
  for (int64_t samples : {9, 40, 700}) {
    const std::vector<Composite> all = compose(build(FM_GROUP_SCALE, lo, hi, samples, true));
    double total = 0, mean = 0;
    for (const Composite& c : all) {
      const double scale = std::exp(c.value);
      EXPECT_NEAR(c.weight / scale, all.front().weight / std::exp(all.front().value), 1e-5 * c.weight / scale);
      total += c.weight;
      mean += c.weight * scale;
    }
    EXPECT_NEAR(all.front().value, lo, 1e-6);
    EXPECT_NEAR(all.back().value, hi, 1e-6);
    EXPECT_NEAR(total, 1.0, 1e-5);
    // Weights proportional to scale on log-even samples average evenly over [0.5, 1.5]: the
    // mean scale is that of the linear range, 1, up to the sampling's own error.
    const double linearMean = (1.5 * 1.5 - 0.5 * 0.5) / 2 / (1.5 - 0.5);
    EXPECT_NEAR(mean / total, linearMean, 2.0 / double(samples)) << samples;
  }
  // Unweighted scale passes weigh all taps alike.
  const std::vector<GroupPass> flat = build(FM_GROUP_SCALE, lo, hi, 9, false);
  for (size_t i = 2; i < flat[0].taps.size(); i += 3) EXPECT_FLOAT_EQ(flat[0].taps[i], 1.0f / 9);
}

TEST(GroupWork, IsCutToTheLayersNeighbourhood) {
  using fm::Rect;
  const Rect everything{-1000000000, -1000000000, 1000000000, 1000000000};
  // A small layer: 1024 pixels around the output and input together.
  EXPECT_EQ(fm::limitGroupWork(everything, Rect{0, 0, 30, 20}, Rect{10, 5, 50, 25}, 1.0),
            (Rect{-1024, -1024, 1074, 1049}));
  // A large one: its diagonal (5000) and a little more; twice that for stretched rotations.
  EXPECT_EQ(fm::limitGroupWork(everything, Rect{0, 0, 4000, 3000}, Rect{}, 1.0), (Rect{-5016, -5016, 9016, 8016}));
  EXPECT_EQ(fm::limitGroupWork(everything, Rect{0, 0, 4000, 3000}, Rect{}, 2.0),
            (Rect{-10016, -10016, 14016, 13016}));
  EXPECT_EQ(fm::limitGroupWork(everything, Rect{0, 0, 4000, 3000}, Rect{}, 50.0),
            fm::limitGroupWork(everything, Rect{0, 0, 4000, 3000}, Rect{}, 2.0));
  // Work inside the neighbourhood, or none at all, is left alone.
  EXPECT_EQ(fm::limitGroupWork(Rect{-40, -3, 70, 60}, Rect{0, 0, 30, 20}, Rect{}, 1.0), (Rect{-40, -3, 70, 60}));
  EXPECT_TRUE(fm::isEmpty(fm::limitGroupWork(Rect{}, Rect{0, 0, 30, 20}, Rect{}, 1.0)));
}

// ------------------------------------------------------------------ Directional Motion Blur

fm::DirectionalPlan directional(double direction, double length, bool low = false, double dsx = 1, double dsy = 1,
                                double par = 1) {
  RenderSettings s;
  s.blurType = fm::kMotionBlur;
  s.direction = direction;
  s.blurLength = length;
  s.lowQuality = low;
  const double scale[3] = {dsx, dsy, par};
  fm::DirectionalPlan plan;
  fm::makeDirectionalPlan(s, scale, plan);
  return plan;
}

TEST(DirectionalPlan, TenPixelsUpright) {
  const fm::DirectionalPlan p = directional(0, 10);
  EXPECT_NEAR(p.dx, 0, 1e-12);
  EXPECT_DOUBLE_EQ(p.dy, -10);
  EXPECT_EQ(p.samples, 26);
  ASSERT_EQ(sizesOf(p.passes), (std::vector<int>{26}));
  for (int k = 0; k < 26; ++k) {
    EXPECT_NEAR(p.passes[0].taps[size_t(3 * k)], 0.0f, 1e-6);
    EXPECT_NEAR(p.passes[0].taps[size_t(3 * k + 1)], 5.0 - 0.4 * k, 1e-5);
    EXPECT_FLOAT_EQ(p.passes[0].taps[size_t(3 * k + 2)], 1.0f / 26);
  }
  EXPECT_EQ(p.reachX, 1);
  EXPECT_EQ(p.reachY, 6);
}

TEST(DirectionalPlan, HundredPixelStreaksInHighAndLowQuality) {
  fm::DirectionalPlan p = directional(90, 100);
  EXPECT_NEAR(p.dx, 100, 1e-9);
  EXPECT_EQ(p.samples, 135);
  EXPECT_EQ(sizesOf(p.passes), (std::vector<int>{16, 9}));
  EXPECT_EQ(p.reachX, 51);
  EXPECT_EQ(p.reachY, 1);
  const std::vector<Composite> all = compose(p.passes);
  ASSERT_EQ(all.size(), 144u);
  EXPECT_NEAR(all.front().value, -50, 1e-4);
  EXPECT_NEAR(all.back().value, 50, 1e-4);
  p = directional(90, 100, true);
  EXPECT_EQ(p.samples, 68);
  EXPECT_EQ(sizesOf(p.passes), (std::vector<int>{16, 5}));
}

TEST(DirectionalPlan, DirectionTurnsTheStreakAndScaleStretchesIt) {
  // 45 degrees: samples on the diagonal towards the upper right and the lower left.
  const fm::DirectionalPlan diag = directional(45, 20);
  for (const GroupPass& pass : diag.passes)
    for (size_t i = 0; i < pass.taps.size(); i += 3) EXPECT_NEAR(pass.taps[i], -pass.taps[i + 1], 1e-5);
  EXPECT_NEAR(diag.dx, 20 / std::sqrt(2.0), 1e-9);
  EXPECT_NEAR(diag.dy, -20 / std::sqrt(2.0), 1e-9);
  // 180 is the same streak as 0, walked the other way.
  const fm::DirectionalPlan up = directional(0, 20), down = directional(180, 20);
  EXPECT_EQ(up.samples, down.samples);
  EXPECT_NEAR(down.dy, -up.dy, 1e-9);
  // Half resolution halves the streak; pixels twice as wide halve it along x only.
  EXPECT_NEAR(directional(90, 40, false, 0.5, 0.5).dx, 20, 1e-9);
  EXPECT_NEAR(directional(90, 40, false, 1, 1, 2).dx, 20, 1e-9);
  EXPECT_NEAR(directional(0, 40, false, 1, 1, 2).dy, -40, 1e-9);
  // Negative lengths count as none.
  const fm::DirectionalPlan none = directional(30, -5);
  EXPECT_EQ(none.samples, 2);
  EXPECT_EQ(none.reachX, 1);
  EXPECT_EQ(none.reachY, 1);
}

// ------------------------------------------------------------------ Radial Blur

RenderSettings radial(int type, double amount, int antialiasing = 1, bool low = false) {
  RenderSettings s;
  s.blurType = fm::kRadialBlur;
  s.radialType = type;
  s.radialAmount = amount;
  s.antialiasing = antialiasing;
  s.lowQuality = low;
  s.centerX = 40;
  s.centerY = 30;
  return s;
}

TEST(RadialPlan, SweepOfSpinAndZoom) {
  fm::RadialSweep sw = fm::makeRadialSweep(radial(1, 90));
  EXPECT_FALSE(sw.zoom);
  EXPECT_DOUBLE_EQ(sw.lo, -M_PI / 4);
  EXPECT_DOUBLE_EQ(sw.hi, M_PI / 4);
  EXPECT_DOUBLE_EQ(sw.cx, 40);
  for (double amount : {100.0, 150.0}) {
    sw = fm::makeRadialSweep(radial(2, amount));
    EXPECT_TRUE(sw.zoom);
    EXPECT_DOUBLE_EQ(std::exp(sw.lo), 0.5);
    EXPECT_DOUBLE_EQ(std::exp(sw.hi), 1.5);
  }
  sw = fm::makeRadialSweep(radial(2, -20));
  EXPECT_EQ(sw.lo, 0.0);
  EXPECT_EQ(sw.hi, 0.0);
}

TEST(RadialPlan, SamplesFollowTheSweepAtTheFarthestCorner) {
  const double scale[3] = {1, 1, 1};
  const fm::Rect layer{0, 0, 80, 60};
  for (int type : {1, 2})
    for (int aa : {1, 2})
      for (bool low : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "type " << type << " aa " << aa << " low " << low);
        fm::RadialPlan plan;
        fm::makeRadialPlan(radial(type, 30, aa, low), scale, layer, layer, plan);
        const double sweep = type == 1 ? 30 * M_PI / 180 : 0.3;
        const double spacing = (aa == 2 ? 0.5 : 1.0) * (low ? 2 : 1);
        EXPECT_NEAR(double(plan.samples), std::ceil(plan.radius * sweep / spacing) + 1, 1.0);
        // The farthest corner of the affected region lies at least as far out as the layer's.
        EXPECT_GE(plan.radius, 50.0);
        EXPECT_EQ(fm::groupTapCount(plan.passes) >= 1, true);
      }
  // Twice the antialiasing, twice the samples; low quality halves them.
  fm::RadialPlan a, b, c;
  fm::makeRadialPlan(radial(1, 30, 1), scale, layer, layer, a);
  fm::makeRadialPlan(radial(1, 30, 2), scale, layer, layer, b);
  fm::makeRadialPlan(radial(1, 30, 2, true), scale, layer, layer, c);
  EXPECT_NEAR(double(b.samples - 1), 2.0 * double(a.samples - 1), 1.0);
  EXPECT_EQ(c.samples, a.samples);
}

TEST(RadialPlan, NonSquarePixelsRotateInSquareUnits) {
  fm::RadialPlan plan;
  const double wide[3] = {1, 1, 2};
  fm::makeRadialPlan(radial(1, 10), wide, fm::Rect{0, 0, 80, 60}, fm::Rect{0, 0, 80, 60}, plan);
  EXPECT_DOUBLE_EQ(plan.kx, 2);
  const double halfX[3] = {0.5, 1, 1};
  EXPECT_DOUBLE_EQ(fm::radialAspect(halfX), 2);
  const double degenerate[3] = {1, 1, 0};
  EXPECT_DOUBLE_EQ(fm::radialAspect(degenerate), 1);
}

}  // namespace
