// Where Camera Lens Blur reads its blur map: the map layer placed onto the effect layer, either
// centred on it or stretched to cover it, as the scale and offset of fm_lens_radius.
#pragma once

#include <cstdint>

#include "engine/Rect.h"
#include "engine/RenderSettings.h"

namespace fm {

// A work pixel (x, y) reads the map image at pixel-edge position
// ((x + 0.5) g0 + g1, (y + 0.5) g2 + g3).
struct MapTransform {
  float g0 = 1.0f, g1 = 0.0f, g2 = 1.0f, g3 = 0.0f;
};

// `workLeft`, `workTop`: the work region's origin in pixels reduced by `factor`; `placement` 2
// stretches the map layer (`mapBounds`, its own coordinates) over `layerBounds`, anything else
// centres it; (mapX0, mapY0) is where the map image's pixel (0, 0) lies in the map layer.
MapTransform blurMapTransform(int64_t workLeft, int64_t workTop, int32_t factor, int32_t placement,
                              const Rect& layerBounds, const Rect& mapBounds, int64_t mapX0, int64_t mapY0);

// The part of the map layer that rendering `request` reads.
Rect lensMapRequest(const RenderSettings& s, const double scale[3], const Rect& request, const Rect& inputBounds,
                    const Rect& layerBounds, const Rect& mapBounds);

}  // namespace fm
