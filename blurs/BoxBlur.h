// Box Blur's planner: the box radius, repeated `iterations` times per axis, as box passes.
#pragma once

#include "blurs/Separable.h"
#include "engine/RenderSettings.h"

namespace fm {

// Fills an empty plan: alternating horizontal and vertical box passes at the reduction
// factor the blur's extent calls for, and the reach for the footprints. `scale` is the
// render scale (downsampleX, downsampleY, pixelAspect).
void makeBoxPlan(const RenderSettings& s, const double scale[3], SeparablePlan& plan);

}  // namespace fm
