// The half-size levels of a frame's tracking feature, and which of them the flow estimation
// visits.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/Backend.h"
#include "tracking/ScratchPool.h"

namespace fm {

// Index = level; level 0 has the size of the rectangle it was built over, level k + 1 is
// ceil(w_k / 2) x ceil(h_k / 2). The images belong to a ScratchPool.
using FeaturePyramid = std::vector<Buffer*>;

// The levels on which flow is estimated, and the largest flow in level-0 pixels.
struct PyramidRange {
  int finest = 0;
  int coarsest = 0;  // finest <= coarsest <= kMaxPyramidLevel
  float maxFlow = 0.0f;
};

constexpr int kMaxPyramidLevel = 12;

// Levels 0 ... coarsest of the frame's feature over `rect` (layer coordinates; outside the
// frame the feature is that of transparency). False when the frame is absent, coarsest lies
// outside 0 ... 12, an image cannot be had or a launch fails; images already taken stay in
// the pool.
bool buildFeaturePyramid(Backend& be, ScratchPool& pool, const PlacedImage& frame, const Rect& rect,
                         int coarsest, FeaturePyramid& pyramid);

// Coarse enough that the largest motion is at most 4 pixels on the coarsest level, but no
// level used for estimation has a side under 16 pixels, and no level under 8.
PyramidRange choosePyramidRange(int64_t width, int64_t height, int vectorDetail, float maxFlow);

// Frees every level of the pyramid and empties it.
void releasePyramid(ScratchPool& pool, FeaturePyramid& pyramid);

// Level-0 pixels per level-L pixel, 2^L as a float: flow limits of level L are maxFlow / 2^L
// in single precision.
float levelFactor(int level);

}  // namespace fm
