// Separable blurs as a plan of one-dimensional passes, and the runner that executes a plan
// on a working image (reduced for large blurs) between two ping-pong images.
#pragma once

#include <cstdint>
#include <vector>

#include "blurs/BlurKind.h"
#include "engine/Backend.h"

namespace fm {

struct SeparablePass {
  bool horizontal = true;   // along rows; false: along columns
  bool direct = false;      // convolution with `taps`; false: sliding box
  int32_t n = 0;            // whole taps on each side of the centre
  float frac = 0.0f;        // box only: weight of the two taps at distance n + 1
  std::vector<float> taps;  // direct only: 2n + 1 normalised weights, offset -n first
};

struct SeparablePlan {
  std::vector<SeparablePass> passes;  // run in order
  int32_t factor = 1;                 // the passes work on an image reduced by this factor
  int32_t reach[4] = {0, 0, 0, 0};    // left, top, right, bottom, full-resolution pixels
};

// Pixels a pass reads beyond the one it writes, on each side.
int64_t passReach(const SeparablePass& pass);

// A box pass of continuous radius `radius` (working pixels): whole taps up to floor(radius),
// the remainder as the weight of the two outer taps (dropped below 1e-4).
SeparablePass boxPass(double radius, bool horizontal);

// A reach measured at working resolution, in full-resolution pixels: times the factor, plus
// two reduced pixels for the enlargement's spread when reduced; kept within the coordinate limit.
int32_t fullResolutionReach(int64_t workingReach, int32_t factor);

// Launches one pass from `s` into `d` (same frame, same size): a direct pass (at most 96
// taps, else false and nothing launched) or a sliding box, cut into segments on a GPU.
// [lo, hi) is the valid range along the pass's axis, read by FM_EDGE_CLAMP/FM_EDGE_INSIDE.
bool launchSeparablePass(Backend& be, const SeparablePass& pass, Buffer& d, const Buffer& s, int mode,
                         int32_t lo, int32_t hi);
// The same launch as a chain link, not launched; false when the pass is malformed.
bool passLink(const Backend& be, const SeparablePass& pass, Buffer& d, const Buffer& s, int mode, int32_t lo,
              int32_t hi, ChainLink& link);

// Blurs `source` by `plan` into `destination`, which covers `outputRect`. `edgeMode` is
// FM_EDGE_ZERO, FM_EDGE_CLAMP or FM_EDGE_INSIDE against `inputRect`, the part of the source
// that holds the layer's pixels. `linearLight` runs the passes on sRGB-decoded colour.
// False when the plan or mode is malformed (nothing is done then), or when an allocation,
// a launch or the abort check fails; every image it allocates is released before it returns.
bool runSeparable(Backend& be, const SeparablePlan& plan, int edgeMode, const PlacedImage& source,
                  const Rect& inputRect, const Rect& outputRect, Buffer& destination, bool linearLight);

// What the separable kinds share: a planner, and the rectangles and render it implies.
using SeparablePlanner = void (*)(const RenderSettings& s, const double scale[3], SeparablePlan& plan);

// The rectangle grown by the plan's reach.
Rect separableSpread(SeparablePlanner makePlan, const RenderSettings& s, const double scale[3], const Rect& r);

// A plan made for this frame, run, and dropped whatever the result.
bool renderSeparableKind(const BlurRequest& r, SeparablePlanner makePlan, int edgeMode, bool linearLight);

}  // namespace fm
