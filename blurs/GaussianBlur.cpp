#include "blurs/GaussianBlur.h"

#include <algorithm>
#include <cmath>

#include "blurs/ReductionFactor.h"
#include "engine/RenderScale.h"

namespace fm {
namespace {

// Standard deviation per layer pixel of "Blurriness" (5/18).
constexpr double kSigmaPerBlurriness = 0.2777777777777778;

// Beyond this a standard deviation is no longer meaningful, and the box radius found for
// it would overflow the tap count.
constexpr double kMaxSigma = 1e8;

// Variance of a box of continuous radius r: 2n + 1 whole taps and two outer taps of
// weight r - n at distance n + 1.
double boxVariance(double r) {
  const double n = std::floor(r), g = r - n;
  return (n * (n + 1) * (2 * n + 1) / 3 + 2 * g * (n + 1) * (n + 1)) / (2 * n + 1 + 2 * g);
}

SeparablePass directPass(double sigma, bool horizontal) {
  SeparablePass pass;
  pass.horizontal = horizontal;
  pass.direct = true;
  pass.n = std::max(1, int(std::ceil(3 * sigma)));
  pass.taps.resize(size_t(2) * pass.n + 1);
  double sum = 0;
  for (int k = -pass.n; k <= pass.n; ++k) {
    const double w = std::exp(-0.5 * k * k / (sigma * sigma));
    pass.taps[size_t(k + pass.n)] = float(w);
    sum += w;
  }
  for (float& t : pass.taps) t = float(double(t) / sum);
  return pass;
}

}  // namespace

void addGaussianPasses(double sigma, bool horizontal, SeparablePlan& plan) {
  if (!(sigma > 0.05)) return;
  sigma = std::min(sigma, kMaxSigma);
  if (sigma <= 3.0) {
    plan.passes.push_back(directPass(sigma, horizontal));
    return;
  }
  // Four equal boxes whose variances add up to sigma squared; the radius is found by
  // bisection, since the variance of a fractional box has no simple inverse.
  const double target = 0.25 * sigma * sigma;
  double lo = 0, hi = std::sqrt(3 * target) + 2;
  for (int i = 0; i < 60; ++i) {
    const double mid = (lo + hi) / 2;
    if (boxVariance(mid) < target)
      lo = mid;
    else
      hi = mid;
  }
  const SeparablePass box = boxPass((lo + hi) / 2, horizontal);
  plan.passes.insert(plan.passes.end(), 4, box);
}

void makeGaussianPlan(const RenderSettings& s, const double scale[3], SeparablePlan& plan) {
  const double sigma = (s.blurriness > 0 ? s.blurriness : 0.0) * kSigmaPerBlurriness;
  const bool useX = blursHorizontally(s.gaussianDimensions);
  const bool useY = blursVertically(s.gaussianDimensions);
  const double sx = useX ? scaleX(scale) * sigma : 0.0;
  const double sy = useY ? scaleY(scale) * sigma : 0.0;
  const int32_t f = reductionFactor(std::max(sx, sy) * 3.2);
  addGaussianPasses(sx / f, true, plan);
  addGaussianPasses(sy / f, false, plan);

  int64_t h = 0, v = 0;
  for (const SeparablePass& pass : plan.passes) (pass.horizontal ? h : v) += passReach(pass);
  plan.factor = f;
  plan.reach[0] = fullResolutionReach(h, f);
  plan.reach[1] = fullResolutionReach(v, f);
  plan.reach[2] = plan.reach[0];
  plan.reach[3] = plan.reach[1];
}

namespace {

bool negligible(const RenderSettings& s, const double scale[3]) {
  return std::max(scaleX(scale), scaleY(scale)) * s.blurriness * kSigmaPerBlurriness <= 0.05;
}

Rect spread(const RenderSettings& s, const double scale[3], const Rect& r, bool, bool) {
  return separableSpread(makeGaussianPlan, s, scale, r);
}

bool staysInBounds(const RenderSettings& s) { return s.gaussianRepeatEdgePixels; }

bool render(const BlurRequest& r) {
  const RenderSettings& s = *r.settings;
  return renderSeparableKind(r, makeGaussianPlan, s.gaussianRepeatEdgePixels ? FM_EDGE_CLAMP : FM_EDGE_ZERO,
                             s.lowBitDepth);
}

}  // namespace

const BlurKind gaussianBlurKind = {negligible, spread, staysInBounds, nullptr, render};

}  // namespace fm
