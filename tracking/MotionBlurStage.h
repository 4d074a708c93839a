// The blur stage: tile maxima of the velocities, their neighbourhood maxima, and the gather
// along the motion into the output.
#pragma once

#include <string>

#include "engine/Backend.h"
#include "tracking/ScratchPool.h"

namespace fm {

constexpr int kMotionTile = 16;
constexpr int kMotionSamples = 95;

// Tiles of kMotionTile pixels that cover `extent` pixels.
int motionTiles(int extent);

// Neighbourhood radius in tiles that reaches any motion of up to maxLen pixels.
int neighbourRadius(float maxLen);

// Renders the blur of `current` (W x H buffer at its rectangle) along `velocity` into `out` at
// `outRect`. `limit` is the velocity limit, assumed when the tile maxima cannot be read back.
// Without visible motion the frame is copied. False with "memory", "tiles", "blur" (not after an
// abort) or the copy's message.
bool runBlurStage(Backend& be, ScratchPool& pool, const Buffer& velocity, float limit, const PlacedImage& current,
                  Buffer& out, const Rect& outRect, std::string* message);

}  // namespace fm
