// Tracked Motion Blur: the motion of the current frame against its neighbour frames, rendered
// as a blur along that motion or written as a motion-vector image.
#pragma once

#include <string>

#include "engine/Backend.h"
#include "engine/RenderSettings.h"

namespace fm {

// The frames of one call, all placed in the same layer pixel coordinates. An image takes part
// only when it is present and its buffer holds data.
struct TrackedFrames {
  PlacedImage current;
  const PlacedImage* previous = nullptr;
  const PlacedImage* next = nullptr;
  const PlacedImage* matte = nullptr;  // depth from its premultiplied luminance
};

// The frames of one render from images that may be missing (no buffer: the host delivered
// none); those are left out.
inline TrackedFrames presentFrames(const PlacedImage& current, const PlacedImage& previous,
                                   const PlacedImage& next, const PlacedImage& matte) {
  TrackedFrames f;
  f.current = current;
  f.previous = previous.buffer ? &previous : nullptr;
  f.next = next.buffer ? &next : nullptr;
  f.matte = matte.buffer ? &matte : nullptr;
  return f;
}

// Renders `outRect` into `out` (allocated with the rectangle's size when its data is null; the
// caller owns it either way). Reads blurAmount, motionSensitivity, tracking, vectorDetail,
// motionOutput, maxDisplacement, bitDepth and the downsampling. On failure returns false with
// a short fixed text in `message` ("memory", "flow up", ...); none after an abort during the
// flow or the gather.
bool renderTrackedMotion(Backend& be, const RenderSettings& settings, const TrackedFrames& frames,
                         const Rect& outRect, Buffer& out, std::string* message);

}  // namespace fm
