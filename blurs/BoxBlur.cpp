#include "blurs/BoxBlur.h"

#include <algorithm>
#include <cmath>

#include "blurs/Reach.h"
#include "blurs/ReductionFactor.h"
#include "engine/RenderScale.h"

namespace fm {
void makeBoxPlan(const RenderSettings& s, const double scale[3], SeparablePlan& plan) {
  const double r = s.boxBlurRadius > 0 ? s.boxBlurRadius : 0.0;  // negative or NaN: no blur
  const int it = std::clamp(s.iterations, 1, 50);
  const bool useX = blursHorizontally(s.boxDimensions);
  const bool useY = blursVertically(s.boxDimensions);
  const double rx = useX ? scaleX(scale) * r : 0.0;
  const double ry = useY ? scaleY(scale) * r : 0.0;
  const int32_t f = reductionFactor(std::max(rx, ry) * it);
  const double wx = rx / f, wy = ry / f;
  const bool activeX = wx > 0.0001, activeY = wy > 0.0001;

  for (int i = 0; i < it; ++i) {
    if (activeX) plan.passes.push_back(boxPass(wx, true));
    if (activeY) plan.passes.push_back(boxPass(wy, false));
  }
  plan.factor = f;
  const int32_t h = fullResolutionReach((activeX ? lengthReach(wx, 0) : 0) * it, f);
  const int32_t v = fullResolutionReach((activeY ? lengthReach(wy, 0) : 0) * it, f);
  plan.reach[0] = h;
  plan.reach[1] = v;
  plan.reach[2] = h;
  plan.reach[3] = v;
}

namespace {

bool negligible(const RenderSettings& s, const double scale[3]) {
  return std::max(scaleX(scale), scaleY(scale)) * s.boxBlurRadius < 0.0001;
}

Rect spread(const RenderSettings& s, const double scale[3], const Rect& r, bool, bool) {
  return separableSpread(makeBoxPlan, s, scale, r);
}

bool staysInBounds(const RenderSettings& s) { return s.boxRepeatEdgePixels; }

// "Repeat Edge Pixels" averages over the input's pixels only.
bool render(const BlurRequest& r) {
  return renderSeparableKind(r, makeBoxPlan, r.settings->boxRepeatEdgePixels ? FM_EDGE_INSIDE : FM_EDGE_ZERO,
                             false);
}

}  // namespace

const BlurKind boxBlurKind = {negligible, spread, staysInBounds, nullptr, render};

}  // namespace fm
