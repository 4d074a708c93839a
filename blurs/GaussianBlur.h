// Gaussian Blur's planner: an exact truncated convolution for small standard deviations,
// four boxes of the same total variance for larger ones, reduced when very large.
#pragma once

#include "blurs/Separable.h"
#include "engine/RenderSettings.h"

namespace fm {

// Fills an empty plan: all horizontal passes, then all vertical ones, and the reach for
// the footprints. `scale` is the render scale (downsampleX, downsampleY, pixelAspect).
void makeGaussianPlan(const RenderSettings& s, const double scale[3], SeparablePlan& plan);

// Appends the passes of one axis for a standard deviation of `sigma` working pixels:
// none up to 0.05, one direct pass up to 3, else four equal boxes.
void addGaussianPasses(double sigma, bool horizontal, SeparablePlan& plan);

}  // namespace fm
