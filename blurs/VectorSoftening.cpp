#include "blurs/VectorSoftening.h"

#include <algorithm>

#include "blurs/GaussianBlur.h"
#include "engine/RenderScale.h"

namespace fm {
namespace {

// Standard deviation per layer pixel of "Map Softness" (5/12).
constexpr double kSigmaPerSoftness = 0.4166666666666667;

}  // namespace

VectorSoftening makeVectorSoftening(const RenderSettings& s, const double scale[3]) {
  VectorSoftening soft;
  const double softness = s.mapSoftness > 0 ? s.mapSoftness : 0.0;  // NaN counts as none
  const double sigma = softness * kSigmaPerSoftness;
  addGaussianPasses(sigma * scaleX(scale), true, soft.plan);
  addGaussianPasses(sigma * scaleY(scale), false, soft.plan);
  for (const SeparablePass& pass : soft.plan.passes) (pass.horizontal ? soft.hReach : soft.vReach) += passReach(pass);
  return soft;
}

}  // namespace fm
