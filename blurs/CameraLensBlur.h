// Camera Lens Blur: every pixel becomes the average over an iris-shaped window of one radius, or
// of a radius per pixel read from a blur map, with highlight boost, a diffraction ring and
// linear light around the gather; large radii work on a reduced image.
#pragma once

#include "engine/Backend.h"
#include "blurs/MapImage.h"
#include "engine/RenderSettings.h"

namespace fm {

// Renders into `out`, which covers `outRect`. `inputBounds` is where the input has pixels (its
// edges repeat with "Repeat Edge Pixels"); `map` is the blur map layer or null, and
// `layerBounds` and `mapBounds` place it. False when an allocation or launch failed; every
// image and table it makes is released before it returns.
bool renderCameraLensBlur(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& input,
                          const Rect& inputBounds, const Rect& layerBounds, const MapImage* map,
                          const Rect& mapBounds, const Rect& outRect, Buffer& out);

}  // namespace fm
