// Vector Blur: every pixel averaged along a direction field from a map layer, or from the
// source's own property when there is none.
#pragma once

#include "engine/Backend.h"
#include "blurs/MapImage.h"
#include "blurs/Reach.h"
#include "engine/RenderSettings.h"

namespace fm {

// Renders into `out` (already allocated, covering outRect). `map` is null without a map
// layer; layerBounds and mapBounds place the map onto the layer. False when an allocation
// or launch failed; every working image is released before it returns.
// Reach of Vector Blur; with the softening of a map made from the source itself.
Reach vectorReach(const RenderSettings& s, const double scale[3], bool withSoftness);

bool renderVectorBlur(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& input,
                      const Rect& inputBounds, const Rect& layerBounds, const MapImage* map,
                      const Rect& mapBounds, const Rect& outRect, Buffer& out);

}  // namespace fm
