// The vector stage: the per-frame motion written as a motion-vector image.
#pragma once

#include <string>

#include "engine/Backend.h"

namespace fm {

// fm_mvview encoding of a host bit depth: 2 float, 1 16-bit, 0 8-bit.
int vectorEncoding(int bitDepth);

// Writes `velocity` (W x H at `currentRect`) into `out` at `outRect`, over a range of
// `maxDisplacement` full-resolution pixels scaled by the downsampling. False with "vectors"
// when the launch fails.
bool runVectorStage(Backend& be, const Buffer& velocity, const Rect& currentRect, Buffer& out, const Rect& outRect,
                    double maxDisplacement, double downsampleX, double downsampleY, int bitDepth,
                    std::string* message);

}  // namespace fm
