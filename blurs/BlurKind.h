// One home per blur kind: what the render driver and the footprint functions ask of a kind,
// answered in the kind's own file, so nothing above re-decides a kind's rules.
#pragma once

#include <cstdint>

#include "blurs/MapImage.h"
#include "engine/Backend.h"
#include "engine/RenderSettings.h"

namespace fm {

// One frame as the render driver hands it to a kind.
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

struct BlurKind {
  // Whether the blur of this frame is too small to change any pixel.
  bool (*negligible)(const RenderSettings& s, const double scale[3]);
  // `forward`: the rectangle the pixels of `r` can reach; otherwise the rectangle the output
  // pixels of `r` read. `mapSoftness` adds what softening a map made from the source reads.
  Rect (*spread)(const RenderSettings& s, const double scale[3], const Rect& r, bool forward, bool mapSoftness);
  // Whether the output stays within the input's bounds (edges repeated, or a kind that never
  // grows the layer).
  bool (*staysInBounds)(const RenderSettings& s);
  // The part of the map layer read to render `request`; null for kinds without a map.
  Rect (*mapRequest)(const RenderSettings& s, const double scale[3], const Rect& request, const Rect& inputBounds,
                     const Rect& layerBounds, const Rect& mapBounds);
  // Writes the frame into `out`; false when it fails.
  bool (*render)(const BlurRequest& request);
};

// The kind of a "Blur Type" value; null outside 1 to 6.
const BlurKind* blurKind(int32_t blurType);

extern const BlurKind vectorBlurKind;
extern const BlurKind gaussianBlurKind;
extern const BlurKind cameraLensBlurKind;
extern const BlurKind boxBlurKind;
extern const BlurKind radialBlurKind;
extern const BlurKind motionBlurKind;

}  // namespace fm
