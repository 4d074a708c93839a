// The demo's generated pictures: nothing is read from files.
#pragma once

#include "host/Image.h"

namespace fm::cli {

// A test card: colour bars, a sharp black-and-white checkerboard and rings, coloured lettering,
// and small bright highlights on a dark ground.
host::Image testCard(int width, int height, int depth);

// Frame t of a short shot: a square moving right, a disc moving down and left and a bar moving
// up, over a still textured background; frame 0 has them in the middle of their paths.
host::Image movingFrame(int width, int height, int depth, int t);

// A smooth field of hills and valleys for Vector Blur to flow along.
host::Image flowMap(int width, int height, int depth);

// A depth map for Camera Lens Blur: near (black) on the left to far (white) on the right.
host::Image depthRamp(int width, int height, int depth);

}  // namespace fm::cli
