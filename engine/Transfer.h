// Launches of the transfer kernels that planning code shares: clearing an image, and copying
// one into another placed elsewhere on the same grid.
#pragma once

#include <cstdint>

#include "engine/Backend.h"

namespace fm {

// Every pixel of `dst` transparent.
bool clearImage(Backend& be, Buffer& dst);

// `src` into `dst`, the destination's pixel (x, y) taking the source's (x + ax, y + ay),
// transparent where that lies outside the source.
bool copyShifted(Backend& be, Buffer& dst, const Buffer& src, int64_t ax, int64_t ay);

// Copies `in` (placed at inRect) into `out` (placed at outRect), transparent where it does not reach.
bool copyInput(Backend& be, Buffer& out, const Rect& outRect, const Buffer& in, const Rect& inRect);

}  // namespace fm
