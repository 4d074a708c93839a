#include "blurs/BoxBlur.h"

#include <algorithm>
#include <cmath>

#include "blurs/ReductionFactor.h"
#include "engine/Render.h"

namespace fm {
namespace {

// Whole working pixels a box of this radius reaches on each side.
int64_t boxReach(double radius) { return radius > 1e8 ? 100000000 : int64_t(std::ceil(radius - 1e-9)); }

}  // namespace

void makeBoxPlan(const RenderSettings& s, const double scale[3], SeparablePlan& plan) {
  const double r = s.boxBlurRadius > 0 ? s.boxBlurRadius : 0.0;  // negative or NaN: no blur
  const int it = std::clamp(s.iterations, 1, 50);
  const bool useX = s.boxDimensions == 1 || s.boxDimensions == 2;
  const bool useY = s.boxDimensions == 1 || s.boxDimensions == 3;
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
  const int32_t h = fullResolutionReach((activeX ? boxReach(wx) : 0) * it, f);
  const int32_t v = fullResolutionReach((activeY ? boxReach(wy) : 0) * it, f);
  plan.reach[0] = h;
  plan.reach[1] = v;
  plan.reach[2] = h;
  plan.reach[3] = v;
}

}  // namespace fm
