// Radial Blur: the layer averaged over copies rotated about a centre (Spin) or scaled about it
// (Zoom), sampled as finely as the sweep is long at the farthest corner it affects, and applied
// as rotation or scaling group passes.
#pragma once

#include <cstdint>
#include <vector>

#include "blurs/GroupPass.h"
#include "engine/RenderSettings.h"

namespace fm {

struct RadialSweep {
  bool zoom = false;
  // Spin: angles in radians, -A / 2 to +A / 2. Zoom: natural logarithms of the scales,
  // ln(1 - z / 2) to ln(1 + z / 2), z the fraction of "Amount" (at most 1).
  double lo = 0, hi = 0;
  double cx = 0, cy = 0;  // the centre, pixel-edge layer coordinates at the render's resolution
};

// The sweep of this frame. Settings that are not numbers count as 0; a spin is kept below a
// billion degrees and the centre within a billion pixels of the origin.
RadialSweep makeRadialSweep(const RenderSettings& s);

// Square units per x pixel relative to y: pixel aspect times downsampleY / downsampleX
// (1 for a degenerate scale). Rotations are made in square units.
double radialAspect(const double scale[3]);

// Forward: the rectangle that the content of `rect` can reach under the sweep (where the output
// can be non-transparent). Backward: the rectangle of source pixels that the output pixels of
// `rect` read. Both include the spread that bilinear sampling between passes adds (a few pixels
// for each pass after the first), so that the pixels of a tile never depend on where the tile
// ends. An empty `rect` is returned unchanged.
Rect radialBounds(const RadialSweep& sweep, const Rect& rect, bool forward, const double scale[3]);

struct RadialPlan {
  RadialSweep sweep;
  Rect work;          // where the passes run; empty: the output is transparent
  double kx = 1;      // radialAspect
  double radius = 0;  // farthest corner of the swept input from the centre, square units
  int64_t samples = 1;
  std::vector<GroupPass> passes;
};

// Everything the render decides before its first launch.
void makeRadialPlan(const RenderSettings& s, const double scale[3], const Rect& inputRect, const Rect& outputRect,
                    RadialPlan& plan);

// The render of this kind: `destination` covers `outputRect`; `inputRect` is where the layer
// can have content.
bool renderRadialBlur(Backend& be, const RenderSettings& s, const double scale[3], const PlacedImage& source,
                      const Rect& inputRect, const Rect& outputRect, Buffer& destination);

}  // namespace fm
