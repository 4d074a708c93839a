// Straightforward double-precision references for the separable blurs: every output pixel
// is a weighted sum written out directly, with no running sums and no single-precision
// arithmetic, so that the engine's results can be checked against them.
#pragma once

#include <vector>

#include "engine/Backend.h"
#include "tests/support/TestImage.h"

namespace fmtest {

// An RGBA image in layer coordinates; transparent outside `rect`.
class RefImage {
 public:
  RefImage() = default;
  explicit RefImage(const fm::Rect& rect);

  const fm::Rect& rect() const { return r; }
  bool contains(int x, int y) const { return x >= r.left && x < r.right && y >= r.top && y < r.bottom; }
  double* at(int x, int y);  // inside only
  // Channel values at (x, y); zero outside.
  void get(int x, int y, double out[4]) const;

 private:
  fm::Rect r;
  std::vector<double> px;
};

// The pixels of `image` placed at `placed` that lie inside `valid`, on a canvas; zero elsewhere.
RefImage refLoad(const HostImage& image, const fm::Rect& placed, const fm::Rect& valid,
                 const fm::Rect& canvas);

// Every pixel of the canvas takes the value of the nearest pixel of `valid` (edges repeat).
void refRepeatEdges(RefImage& im, const fm::Rect& valid);

// A box of continuous radius: taps up to floor(radius) at weight 1, the two at floor(radius) + 1
// at weight radius - floor(radius), divided by the total weight. With `inside` ({lo, hi} along the
// axis, layer coordinates), only taps in [lo, hi) count and the weight is theirs alone (zero
// weight gives zero). Outside the canvas the image is transparent.
void refBox(RefImage& im, bool horizontal, double radius, const int* inside = nullptr);

// Convolution with taps centred on the middle one; transparent outside the canvas.
void refConvolve(RefImage& im, bool horizontal, const std::vector<double>& taps);

// A sampled Gaussian of `sigma`, truncated at 6 sigma and normalised.
std::vector<double> gaussianTaps(double sigma);

// Block averages over factor x factor blocks of the full-resolution grid; with `onlyInside`,
// only pixels inside it count (a block without any gives zero).
RefImage refReduce(const RefImage& im, int factor, const fm::Rect* onlyInside = nullptr);

// Bilinear enlargement by `factor` onto `outRect`, the reduced canvas's edges repeating.
RefImage refEnlarge(const RefImage& reduced, int factor, const fm::Rect& outRect);

// Premultiplied colour to and from linear light (the sRGB curve applied to straight colour).
void refToLinear(RefImage& im);
void refFromLinear(RefImage& im);

// Largest channel difference between an engine image covering `outRect` (host memory) and the reference.
double maxDifference(const fm::Buffer& out, const fm::Rect& outRect, const RefImage& ref);

// The engine image covering `outRect` as a reference image, for comparing two renders.
RefImage refFromBuffer(const fm::Buffer& out, const fm::Rect& outRect);

}  // namespace fmtest
