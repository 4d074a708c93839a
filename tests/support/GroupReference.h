// Straightforward double-precision group passes: every pixel of every pass is the weighted sum
// of its taps' bilinear samples, written out from the transforms' definitions (shift, rotation
// in square units about a centre, scaling about a centre), so that the engine's passes and the
// blurs composed from them can be checked against it.
#pragma once

#include <vector>

#include "blurs/GroupPass.h"
#include "tests/support/Reference.h"

namespace fmtest {

// Bilinear sample at pixel-centre layer coordinates (pixel x has its centre at x); the image is
// transparent outside its rectangle.
void refBilinear(const RefImage& im, double X, double Y, double out[4]);

// Where output pixel (x, y) reads tap (a, b) of a pass: pixel-centre coordinates. (cx, cy) is the
// centre in pixel-edge coordinates, kx the square units per x pixel.
void refTapPosition(int mode, double a, double b, int x, int y, double cx, double cy, double kx, double& X,
                    double& Y);

// One pass over `canvas`.
RefImage refGroupPass(const RefImage& in, int mode, const std::vector<float>& taps, double cx, double cy, double kx,
                      const fm::Rect& canvas);

// The passes in order, each over the input's own canvas (make it large enough that nothing
// that matters falls off it).
RefImage refGroupPasses(const RefImage& in, const std::vector<fm::GroupPass>& passes, double cx, double cy,
                        double kx);

// The direct average the passes stand for: output (x, y) is the weighted mean of `values.size()`
// bilinear samples, one per transform parameter (a shift fraction of (dx, dy), an angle, or a log
// scale), weights as given.
RefImage refDirectAverage(const RefImage& in, int mode, const std::vector<double>& values,
                          const std::vector<double>& weights, double dx, double dy, double cx, double cy, double kx,
                          const fm::Rect& canvas);

}  // namespace fmtest
