// The velocity stage: the full-size forward and backward flows of the current frame become
// one blur extent (or motion per frame) per pixel, with a depth for the gather's ordering.
#pragma once

#include <string>

#include "engine/Backend.h"
#include "tracking/ScratchPool.h"

namespace fm {

struct VelocityStage {
  Buffer* forward = nullptr;   // towards the next frame, pool image or null
  Buffer* backward = nullptr;  // towards the previous frame, pool image or null
  bool vectorsOutput = false;  // motion per frame instead of the shutter's half extent
  double blurAmount = 0.5;     // shutter length in frames
  float maxFlow = 0.0f;        // largest motion tracked, pixels per frame
  const Buffer* current = nullptr;  // W x H, placed at currentRect
  Rect currentRect;
  const PlacedImage* matte = nullptr;  // depth from its luminance when present
};

// Scale (half the shutter) and length limit of the velocities, in single precision.
float velocityScale(const VelocityStage& s);
float velocityLimit(const VelocityStage& s);

// Fills `velocity` with a W x H pool image (vx, vy, depth, length) and releases both flows. False
// with "memory" when an image or the matte copy fails, "velocity" when fm_mvel fails.
bool runVelocityStage(Backend& be, ScratchPool& pool, VelocityStage& s, Buffer*& velocity, std::string* message);

}  // namespace fm
