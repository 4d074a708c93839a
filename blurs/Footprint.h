// The footprint of a frame: how far each blur kind reaches, which input pixels an output
// rectangle needs, and how far the output can reach. Pure functions of the settings.
#pragma once

#include <cstdint>

#include "engine/Rect.h"
#include "engine/RenderSettings.h"

namespace fm {

// Pixels a blur takes colour from on each side.
struct Reach {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

// A non-empty rect grown by the reach, within the coordinate limit; an empty one unchanged.
Rect grow(const Rect& rect, const Reach& reach);

// The rect cut to the largest output a render may produce (29990 pixels per axis at full
// resolution), centred on the reference.
Rect capExtent(const Rect& rect, const Rect& reference, const double scale[3]);

// Reach of Vector Blur; with the softening of a map made from the source itself.
Reach vectorReach(const RenderSettings& s, const double scale[3], bool withSoftness);

// Reach of Directional Motion Blur.
Reach directionalReach(const RenderSettings& s, const double scale[3]);

// The largest rectangle the output can cover, given the input's bounds.
Rect outputExtent(const RenderSettings& s, const double scale[3], const Rect& inputBounds);

// The input rectangle needed to render the output rectangle `request`, within `limit`.
Rect inputRequest(const RenderSettings& s, const double scale[3], const Rect& request, const Rect& limit);

// The output pixels that the input pixels of `request` (within inputBounds) can reach.
Rect resultRect(const RenderSettings& s, const double scale[3], const Rect& request, const Rect& inputBounds);

// The part of the map layer (its own coordinates) that Vector or Camera Lens Blur reads to
// render `request`; a zero rectangle for other kinds or without a map.
Rect mapRequest(const RenderSettings& s, const double scale[3], const Rect& request, const Rect& inputBounds,
                const Rect& layerBounds, const Rect& mapBounds);

// A layer rectangle carried into map coordinates: stretched from the layer's rectangle onto
// the map's, or centred on it; widened by `margin` and kept within the map.
Rect placeOnMap(const Rect& rect, const Rect& layerBounds, const Rect& mapBounds, bool stretch, int margin);

}  // namespace fm
