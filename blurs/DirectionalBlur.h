// Directional Motion Blur: the layer averaged along a straight streak centred on each pixel,
// as translation group passes.
#pragma once

#include <cstdint>
#include <vector>

#include "blurs/GroupPass.h"
#include "blurs/Reach.h"
#include "engine/RenderSettings.h"

namespace fm {

struct DirectionalPlan {
  double dx = 0, dy = 0;   // the whole streak in working pixels; samples run from -d/2 to +d/2
  int64_t samples = 1;     // requested; the passes place their product, slightly more
  int64_t reachX = 1, reachY = 1;  // pixels read beyond the one written, on each side
  std::vector<GroupPass> passes;
};

// The streak, its sample count and its passes for this frame. "Direction" 0 streaks along the
// vertical axis, 90 along the horizontal one; settings that are not numbers count as 0.
void makeDirectionalPlan(const RenderSettings& s, const double scale[3], DirectionalPlan& plan);

// Reach of the streak around a pixel.
Reach directionalReach(const RenderSettings& s, const double scale[3]);

// The render of this kind: `destination` covers `outputRect`; `inputRect` is where the layer
// can have content (empty: nothing, so the output is transparent).
bool renderDirectionalBlur(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& source,
                           const Rect& inputRect, const Rect& outputRect, Buffer& destination);

}  // namespace fm
