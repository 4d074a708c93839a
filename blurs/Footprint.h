// The footprint of a frame: which input pixels an output rectangle needs, and how far the
// output can reach. Pure functions of the settings, reading each kind's answers.
#pragma once

#include <cstdint>

#include "blurs/Reach.h"
#include "engine/Rect.h"
#include "engine/RenderSettings.h"

namespace fm {

// The rect cut to the largest output a render may produce (29990 pixels per axis at full
// resolution), centred on the reference.
Rect capExtent(const Rect& rect, const Rect& reference, const double scale[3]);

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

// Map pixels per layer pixel along one axis when the map is stretched onto the layer.
double stretchAlong(int32_t layerLo, int32_t layerHi, int32_t mapLo, int32_t mapHi);

}  // namespace fm
