// The planners' figures: pass lists, reduction factors and reaches of Box and Gaussian Blur.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "blurs/BoxBlur.h"
#include "blurs/GaussianBlur.h"
#include "blurs/ReductionFactor.h"
#include "tests/blurs/BlurTestSupport.h"

namespace {

using blurtest::boxSettings;
using blurtest::gaussianSettings;
using blurtest::Scale;
using fm::SeparablePass;
using fm::SeparablePlan;

SeparablePlan boxPlan(const RenderSettings& s) {
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  SeparablePlan plan;
  fm::makeBoxPlan(s, scale, plan);
  return plan;
}

SeparablePlan gaussianPlan(const RenderSettings& s) {
  const double scale[3] = {s.downsampleX, s.downsampleY, s.pixelAspect};
  SeparablePlan plan;
  fm::makeGaussianPlan(s, scale, plan);
  return plan;
}

std::string axes(const SeparablePlan& plan) {
  std::string s;
  for (const SeparablePass& p : plan.passes) s += p.horizontal ? 'H' : 'V';
  return s;
}

void expectReach(const SeparablePlan& plan, int h, int v) {
  EXPECT_EQ(plan.reach[0], h);
  EXPECT_EQ(plan.reach[1], v);
  EXPECT_EQ(plan.reach[2], h);
  EXPECT_EQ(plan.reach[3], v);
}

// Variance of a box pass computed from its weights, independently of the planner's formula.
double weightVariance(const SeparablePass& p) {
  double sum = 0, moment = 0;
  for (int k = -p.n - 1; k <= p.n + 1; ++k) {
    const double w = std::abs(k) <= p.n ? 1.0 : double(p.frac);
    sum += w;
    moment += w * k * k;
  }
  return moment / sum;
}

TEST(ReductionFactor, SmallestPowerOfTwoBringingTheExtentTo512) {
  EXPECT_EQ(fm::reductionFactor(0), 1);
  EXPECT_EQ(fm::reductionFactor(512), 1);
  EXPECT_EQ(fm::reductionFactor(512.0001), 2);
  EXPECT_EQ(fm::reductionFactor(1024), 2);
  EXPECT_EQ(fm::reductionFactor(1024.5), 4);
  EXPECT_EQ(fm::reductionFactor(4096), 8);
  EXPECT_EQ(fm::reductionFactor(8192), 16);
  EXPECT_EQ(fm::reductionFactor(16384), 32);
  EXPECT_EQ(fm::reductionFactor(16384.5), 64);
  EXPECT_EQ(fm::reductionFactor(1e300), 64);
  EXPECT_EQ(fm::reductionFactor(std::numeric_limits<double>::infinity()), 64);
  EXPECT_EQ(fm::reductionFactor(-5), 1);
  EXPECT_EQ(fm::reductionFactor(std::nan("")), 1);
}

TEST(BoxPlan, LargeRadiusIsReducedAndAlternatesAxes) {
  const SeparablePlan plan = boxPlan(boxSettings(200, 3));
  EXPECT_EQ(plan.factor, 2);
  EXPECT_EQ(axes(plan), "HVHVHV");
  for (const SeparablePass& p : plan.passes) {
    EXPECT_FALSE(p.direct);
    EXPECT_EQ(p.n, 100);
    EXPECT_EQ(p.frac, 0.0f);
    EXPECT_TRUE(p.taps.empty());
  }
  expectReach(plan, 604, 604);
}

TEST(BoxPlan, HalfPixelRadiusGivesOuterTapsOfHalfWeight) {
  const SeparablePlan plan = boxPlan(boxSettings(0.5, 1));
  EXPECT_EQ(plan.factor, 1);
  ASSERT_EQ(axes(plan), "HV");
  EXPECT_EQ(plan.passes[0].n, 0);
  EXPECT_EQ(plan.passes[0].frac, 0.5f);
  expectReach(plan, 1, 1);

  const SeparablePlan frac = boxPlan(boxSettings(3.7, 2));
  ASSERT_EQ(axes(frac), "HVHV");
  EXPECT_EQ(frac.passes[0].n, 3);
  EXPECT_NEAR(frac.passes[0].frac, 0.7f, 1e-6);
  expectReach(frac, 8, 8);

  // A remainder below 1e-4 is no outer tap at all.
  EXPECT_EQ(boxPlan(boxSettings(2.00005, 1)).passes[0].frac, 0.0f);
  EXPECT_NEAR(boxPlan(boxSettings(2.0002, 1)).passes[0].frac, 0.0002f, 1e-7);
}

TEST(BoxPlan, DimensionsAndRenderScale) {
  SeparablePlan h = boxPlan(boxSettings(200, 3, 2));
  EXPECT_EQ(axes(h), "HHH");
  EXPECT_EQ(h.factor, 2);
  expectReach(h, 604, 4);  // the enlargement margin is added on the idle axis too

  SeparablePlan v = boxPlan(boxSettings(10, 2, 3));
  EXPECT_EQ(axes(v), "VV");
  expectReach(v, 0, 20);

  // Pixel aspect 2: the radius is in square units, so the horizontal box is half as wide.
  SeparablePlan par = boxPlan(boxSettings(10, 1, 1, false, Scale{1, 1, 2}));
  ASSERT_EQ(axes(par), "HV");
  EXPECT_EQ(par.passes[0].n, 5);
  EXPECT_EQ(par.passes[1].n, 10);
  expectReach(par, 5, 10);

  SeparablePlan half = boxPlan(boxSettings(10, 1, 1, false, Scale{0.5, 0.5, 1}));
  EXPECT_EQ(half.passes[0].n, 5);
  EXPECT_EQ(half.passes[1].n, 5);

  // A degenerate aspect counts as 1, NaN included; both axes still blur.
  for (double aspect : {0.0, -2.0, 1e-7, std::nan("")}) {
    SeparablePlan degenerate = boxPlan(boxSettings(10, 1, 1, false, Scale{1, 1, aspect}));
    ASSERT_EQ(axes(degenerate), "HV") << aspect;
    EXPECT_EQ(degenerate.passes[0].n, 10) << aspect;
    expectReach(degenerate, 10, 10);
  }
}

TEST(BoxPlan, OutOfRangeSettings) {
  EXPECT_EQ(axes(boxPlan(boxSettings(4, 0))), "HV");
  EXPECT_EQ(axes(boxPlan(boxSettings(4, -7))), "HV");
  EXPECT_EQ(boxPlan(boxSettings(4, 51)).passes.size(), 100u);
  EXPECT_EQ(boxPlan(boxSettings(4, 1000000)).passes.size(), 100u);

  for (double r : {-5.0, 0.0, 0.00005, std::nan("")}) {
    const SeparablePlan p = boxPlan(boxSettings(r, 3));
    EXPECT_TRUE(p.passes.empty()) << r;
    EXPECT_EQ(p.factor, 1) << r;
    expectReach(p, 0, 0);
  }
  // An unknown dimension setting blurs neither axis.
  EXPECT_TRUE(boxPlan(boxSettings(4, 3, 7)).passes.empty());

  // The largest radius the parameter allows: reduced by 64, reach in full pixels.
  const SeparablePlan big = boxPlan(boxSettings(30000, 50));
  EXPECT_EQ(big.factor, 64);
  EXPECT_EQ(big.passes[0].n, 468);
  EXPECT_NEAR(big.passes[0].frac, 0.75f, 1e-6);
  expectReach(big, 469 * 50 * 64 + 128, 469 * 50 * 64 + 128);

  // Absurd radii stay representable: taps and reach are capped, nothing overflows.
  const SeparablePlan absurd = boxPlan(boxSettings(1e15, 50));
  EXPECT_EQ(absurd.factor, 64);
  EXPECT_EQ(absurd.passes[0].n, 100000000);
  expectReach(absurd, 1000000000, 1000000000);
}

TEST(GaussianPlan, SmallBlurIsOneDirectPassPerAxis) {
  const SeparablePlan plan = gaussianPlan(gaussianSettings(10, true));
  EXPECT_EQ(plan.factor, 1);
  ASSERT_EQ(axes(plan), "HV");
  const double sigma = 10 * 0.2777777777777778;
  for (const SeparablePass& p : plan.passes) {
    EXPECT_TRUE(p.direct);
    EXPECT_EQ(p.n, 9);
    ASSERT_EQ(p.taps.size(), 19u);
    double sum = 0;
    for (float t : p.taps) sum += t;
    EXPECT_NEAR(sum, 1.0, 1e-6);
    for (int k = 0; k < 9; ++k) EXPECT_EQ(p.taps[k], p.taps[18 - k]);
    // Neighbouring weights fall off as the Gaussian of this sigma does.
    for (int k = 1; k <= 9; ++k)
      EXPECT_NEAR(p.taps[9 + k] / p.taps[9], std::exp(-0.5 * k * k / (sigma * sigma)), 1e-6) << k;
  }
  expectReach(plan, 9, 9);

  // Just below 3: still direct with 19 taps; 3 exactly too.
  const SeparablePlan below = gaussianPlan(gaussianSettings(10.79, true));
  ASSERT_EQ(axes(below), "HV");
  EXPECT_TRUE(below.passes[0].direct);
  EXPECT_EQ(below.passes[0].n, 9);
  SeparablePlan three;
  fm::addGaussianPasses(3.0, true, three);
  ASSERT_EQ(three.passes.size(), 1u);
  EXPECT_EQ(three.passes[0].taps.size(), 19u);

  // Tiny sigmas: none at 0.05, one tap each side just above.
  SeparablePlan tiny;
  fm::addGaussianPasses(0.05, true, tiny);
  EXPECT_TRUE(tiny.passes.empty());
  fm::addGaussianPasses(0.0501, false, tiny);
  ASSERT_EQ(tiny.passes.size(), 1u);
  EXPECT_EQ(tiny.passes[0].n, 1);
  EXPECT_FALSE(tiny.passes[0].horizontal);
}

TEST(GaussianPlan, LargerBlurIsFourBoxesOfTheSameVariance) {
  // 10.8 gives 3.0000000000000004 in double precision: past the switch-over.
  const SeparablePlan at = gaussianPlan(gaussianSettings(10.8, true));
  EXPECT_EQ(axes(at), "HHHHVVVV");
  EXPECT_FALSE(at.passes[0].direct);

  const SeparablePlan eleven = gaussianPlan(gaussianSettings(11, true));
  ASSERT_EQ(axes(eleven), "HHHHVVVV");
  EXPECT_EQ(eleven.passes[0].n, 2);
  EXPECT_NEAR(eleven.passes[0].frac, 0.1253, 1e-4);
  expectReach(eleven, 12, 12);

  const struct {
    double sigma;
    int n;
    double frac;
  } cases[] = {{5, 3, 0.8077}, {10, 8, 0.1518}, {3.0556, 2, 0.1253}, {40, 34, -1}};
  for (const auto& c : cases) {
    SeparablePlan plan;
    fm::addGaussianPasses(c.sigma, false, plan);
    ASSERT_EQ(axes(plan), "VVVV") << c.sigma;
    for (const SeparablePass& p : plan.passes) {
      EXPECT_EQ(p.n, plan.passes[0].n);
      EXPECT_EQ(p.frac, plan.passes[0].frac);
    }
    const SeparablePass& p = plan.passes[0];
    EXPECT_EQ(p.n, c.n) << c.sigma;
    if (c.frac >= 0) {
      EXPECT_NEAR(p.frac, c.frac, 1e-4) << c.sigma;
    }
    EXPECT_NEAR(4 * weightVariance(p), c.sigma * c.sigma, 1e-5 * c.sigma * c.sigma) << c.sigma;
  }
}

TEST(GaussianPlan, VeryLargeBlurIsReduced) {
  const SeparablePlan plan = gaussianPlan(gaussianSettings(1000, false));
  EXPECT_EQ(plan.factor, 2);
  ASSERT_EQ(axes(plan), "HHHHVVVV");
  const double sigma = 1000 * 0.2777777777777778 / 2;  // 138.9 working pixels
  EXPECT_NEAR(4 * weightVariance(plan.passes[0]), sigma * sigma, 1e-5 * sigma * sigma);
  const int perPass = plan.passes[0].n + (plan.passes[0].frac > 0 ? 1 : 0);
  expectReach(plan, 4 * perPass * 2 + 4, 4 * perPass * 2 + 4);

  // The largest blurriness the parameter allows.
  const SeparablePlan max = gaussianPlan(gaussianSettings(30000, false));
  EXPECT_EQ(max.factor, 64);  // extent 26667: 833 after halving five times, 417 after six
}

TEST(GaussianPlan, DimensionsScaleAndBadValues) {
  const SeparablePlan v = gaussianPlan(gaussianSettings(1000, false, 3));
  EXPECT_EQ(axes(v), "VVVV");
  EXPECT_EQ(v.factor, 2);
  EXPECT_EQ(v.reach[0], 4);
  EXPECT_EQ(v.reach[2], 4);

  const SeparablePlan h = gaussianPlan(gaussianSettings(10, false, 2));
  EXPECT_EQ(axes(h), "H");
  expectReach(h, 9, 0);

  // Pixel aspect 2 halves the horizontal sigma: 1.39 needs 5 taps each side, 2.78 nine.
  const SeparablePlan par = gaussianPlan(gaussianSettings(10, false, 1, false, Scale{1, 1, 2}));
  ASSERT_EQ(axes(par), "HV");
  EXPECT_EQ(par.passes[0].n, 5);
  EXPECT_EQ(par.passes[1].n, 9);

  for (double b : {-10.0, 0.0, 0.18, std::nan("")}) {
    const SeparablePlan p = gaussianPlan(gaussianSettings(b, false));
    EXPECT_TRUE(p.passes.empty()) << b;
    EXPECT_EQ(p.factor, 1);
    expectReach(p, 0, 0);
  }

  // Absurd values: bounded taps, saturated reach.
  const SeparablePlan absurd = gaussianPlan(gaussianSettings(1e20, false));
  EXPECT_EQ(absurd.factor, 64);
  ASSERT_EQ(absurd.passes.size(), 8u);
  EXPECT_GT(absurd.passes[0].n, 0);
  expectReach(absurd, 1000000000, 1000000000);
}

}  // namespace
