// The render driver: one entry for every blur kind except Tracked Motion Blur.
#pragma once

#include <string>

#include "blurs/MapImage.h"
#include "engine/Backend.h"
#include "engine/RenderSettings.h"

namespace fm {

// Whether the blur of this frame is too small to change any pixel.
bool isNegligible(const RenderSettings& s, const double scale[3]);

// Renders one frame into `out`, which it allocates with outRect's size. On false, `out` is
// released and `message` (when given) says why.
bool render(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& input,
            const Rect& inputBounds, const Rect& layerBounds, const MapImage* map,
            const Rect& outRect, Buffer& out, std::string* message);

}  // namespace fm
