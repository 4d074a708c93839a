// A three-frame sequence of a textured square moving over a still background, and a tracked
// render of it read back into a host image.
#pragma once

#include <string>

#include "engine/Backend.h"
#include "engine/RenderSettings.h"
#include "tests/support/TestImage.h"
#include "tracking/TrackedMotion.h"

namespace fmtest {

struct SquareSequence {
  HostImage previous, current, next;
  int x0 = 0, y0 = 0, side = 0;
  double dx = 0, dy = 0;  // motion per frame
  bool inSquare(int x, int y, int margin = 0) const {
    return x >= x0 + margin && x < x0 + side - margin && y >= y0 + margin && y < y0 + side - margin;
  }
};

SquareSequence squareSequence(int w, int h, int x0, int y0, int side, double dx, double dy, uint32_t seed = 1);

// Settings of a tracked render with every tracked field at its default.
RenderSettings trackedSettings(int motionOutput, double blurAmount = 0.5, double sensitivity = 100.0);

// The output of renderTrackedMotion on a CPU-side backend over host frames placed at the
// origin (null frames are absent). `ok` and `message` report the call; the output is freed.
struct TrackedRun {
  bool ok = false;
  std::string message;
  HostImage out;
};
TrackedRun runTracked(fm::Backend& be, const RenderSettings& s, const HostImage& current, const HostImage* previous,
                      const HostImage* next, const fm::Rect& outRect, const HostImage* matte = nullptr);

// The motion of a vector-output pixel, decoded with the range and the bit depth that made it.
void decodeVector(const Px& c, int bitDepth, double range, double& u, double& v);

}  // namespace fmtest
