// The render driver: one entry for every blur kind except Tracked Motion Blur.
#pragma once

#include <string>

#include "engine/Backend.h"
#include "engine/RenderSettings.h"

namespace fm {

// The map layer of Vector and Camera Lens Blur.
struct MapImage {
  const Buffer* buffer = nullptr;
  Rect rect;    // where the buffer lies in the map layer's coordinates
  Rect bounds;  // the map layer's full rectangle; may be empty
};

// Horizontal and vertical render pixels per square layer unit: (downsampleX / PAR, downsampleY).
double scaleX(const double scale[3]);
double scaleY(const double scale[3]);

// Whether the blur of this frame is too small to change any pixel.
bool isNegligible(const RenderSettings& s, const double scale[3]);

// Copies `in` (placed at inRect) into `out` (placed at outRect), transparent where it does not reach.
bool copyInput(Backend& be, Buffer& out, const Rect& outRect, const Buffer& in, const Rect& inRect);

// Renders one frame into `out`, which it allocates with outRect's size. On false, `out` is
// released and `message` (when given) says why.
bool render(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& input,
            const Rect& inputBounds, const Rect& layerBounds, const MapImage* map,
            const Rect& outRect, Buffer& out, std::string* message);

}  // namespace fm
