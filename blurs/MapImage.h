// The map layer of Vector and Camera Lens Blur, as the plug-in layer hands it to the engine.
#pragma once

#include "engine/Backend.h"

namespace fm {

struct MapImage {
  const Buffer* buffer = nullptr;
  Rect rect;    // where the buffer lies in the map layer's coordinates
  Rect bounds;  // the map layer's full rectangle; may be empty
};

}  // namespace fm
