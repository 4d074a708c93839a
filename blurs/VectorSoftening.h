// The softening of Vector Blur's scalar map: Gaussian passes at working resolution.
#pragma once

#include <cstdint>

#include "blurs/Separable.h"
#include "engine/RenderSettings.h"

namespace fm {

struct VectorSoftening {
  SeparablePlan plan;     // horizontal passes first; never reduced
  int64_t hReach = 0;     // pixels the passes read beyond a pixel, per axis
  int64_t vReach = 0;
};

// The passes for "Map Softness" (sigma = softness x 5/12 layer units) at the render scale.
VectorSoftening makeVectorSoftening(const RenderSettings& s, const double scale[3]);

}  // namespace fm
