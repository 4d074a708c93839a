// The render driver's call into the planning code of one blur kind. Defined with the
// blur kinds (blurs/Dispatch.cpp), so the driver does not depend on their headers.
#pragma once

#include "engine/Render.h"

namespace fm {

struct BlurRequest {
  Backend* be = nullptr;
  const RenderSettings* settings = nullptr;
  const double* scale = nullptr;
  const PlacedImage* input = nullptr;
  Rect inputBounds;
  Rect layerBounds;
  const MapImage* map = nullptr;
  Rect mapRect;  // the map's bounds, or its rectangle when those are empty; zero without a map
  Rect outRect;
  Buffer* out = nullptr;  // allocated with outRect's size
};

// Runs the runner of settings->blurType; false when it fails or the kind has no runner.
bool dispatchBlur(const BlurRequest& request);

}  // namespace fm
