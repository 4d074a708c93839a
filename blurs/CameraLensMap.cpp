#include "blurs/CameraLensMap.h"

#include <algorithm>
#include <cmath>

#include "blurs/CameraLensPlan.h"
#include "blurs/Footprint.h"

namespace fm {

MapTransform blurMapTransform(int64_t workLeft, int64_t workTop, int32_t factor, int32_t placement,
                              const Rect& layerBounds, const Rect& mapBounds, int64_t mapX0, int64_t mapY0) {
  double qx = 1, qy = 1, ox, oy;
  if (placement == kStretchMapToFit) {
    // A layer point lands on the corresponding point of the map layer.
    if (width(layerBounds) > 0) qx = double(width(mapBounds)) / double(width(layerBounds));
    if (height(layerBounds) > 0) qy = double(height(mapBounds)) / double(height(layerBounds));
    ox = mapBounds.left - layerBounds.left * qx;
    oy = mapBounds.top - layerBounds.top * qy;
  } else {
    // The two centres coincide.
    ox = (double(mapBounds.left) + mapBounds.right) / 2 - (double(layerBounds.left) + layerBounds.right) / 2;
    oy = (double(mapBounds.top) + mapBounds.bottom) / 2 - (double(layerBounds.top) + layerBounds.bottom) / 2;
  }
  MapTransform t;
  t.g0 = float(qx * factor);
  t.g1 = float(double(workLeft) * qx * factor + ox - double(mapX0));
  t.g2 = float(qy * factor);
  t.g3 = float(double(workTop) * qy * factor + oy - double(mapY0));
  return t;
}

Rect lensMapRequest(const RenderSettings& s, const double scale[3], const Rect& R, const Rect& B,
                    const Rect& layerBounds, const Rect& mapBounds) {
  const LensPlan plan = makeLensPlan(s, scale);
  const Reach reach = reachOf(plan.reach);
  const Rect Q = intersection(grow(R, reach), s.lensRepeatEdgePixels ? B : grow(B, reach));
  // The margin is in render pixels' worth of map: a reduced render reads the map at pixel
  // centres up to half a reduced pixel beyond Q, which a stretched map widens in map pixels.
  const bool stretch = s.blurMapPlacement == kStretchMapToFit;
  double k = 1.0;
  if (stretch)
    k = std::max({k, stretchAlong(layerBounds.left, layerBounds.right, mapBounds.left, mapBounds.right),
                  stretchAlong(layerBounds.top, layerBounds.bottom, mapBounds.top, mapBounds.bottom)});
  const int margin = int(std::min(std::ceil((plan.factor + 2) * k), double(kCoordLimit)));
  return placeOnMap(Q, layerBounds, mapBounds, stretch, margin);
}

}  // namespace fm
