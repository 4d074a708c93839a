// Synthetic frame pairs with known motion for the flow tests and benchmarks, and the flow
// pipeline run on them.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/Backend.h"
#include "tests/support/TestImage.h"

namespace fmtest {

// A smooth multi-scale value-noise texture in [0, 1], defined at every real position, so a
// frame can be sampled at exactly moved positions.
class FlowTexture {
 public:
  explicit FlowTexture(uint32_t seed, double finestScale = 4.0) : seed(seed), finest(finestScale) {}
  double operator()(double x, double y) const;

 private:
  double lattice(int64_t i, int64_t j, int octave) const;
  uint32_t seed;
  double finest;
};

// Two frames and the true flow from the first to the second: content at pixel x of `current`
// sits at x + flow(x) in `other`. `inside` marks the pixels whose target stays in the frame.
struct FlowPair {
  HostImage current, other;
  std::vector<float> u, v;
  std::vector<uint8_t> inside;
  int width() const { return current.width(); }
  int height() const { return current.height(); }
};

// The other frame is the current one under the affine motion x -> A (x - c) + c + t, with c
// the frame centre (pixel-centre coordinates).
FlowPair affinePair(int w, int h, uint32_t seed, double a11, double a12, double a21, double a22, double tx,
                    double ty);
FlowPair translatedPair(int w, int h, double dx, double dy, uint32_t seed = 1);
FlowPair rotatedPair(int w, int h, double degrees, uint32_t seed = 1);
FlowPair zoomedPair(int w, int h, double factor, uint32_t seed = 1);
// No motion; the other frame's colour is gain * colour + offset.
FlowPair brightnessPair(int w, int h, double gain, double offset, uint32_t seed = 1);
// A textured square of `side` pixels at (x0, y0) moving by (dx, dy) over a still background.
FlowPair movingSquarePair(int w, int h, int x0, int y0, int side, double dx, double dy, uint32_t seed = 1);

// A grey opaque frame of the texture, its finest detail about `finestScale` pixels across.
HostImage textureFrame(int w, int h, uint32_t seed, double finestScale = 4.0);

// A "scene": a brightness ramp across the frame (left to right, or top to bottom) under a
// texture. Two scenes of different seeds and ramps stand for the frames around a cut.
HostImage sceneFrame(int w, int h, uint32_t seed, bool horizontalRamp);

// What the pipeline gave: the flow brought to full size (u, v, confidence, 0) and the
// match measure of the pair.
struct TrackResult {
  bool ok = false;
  HostImage flow;
  bool held = false;
  bool correlationValid = false;
  double correlation = 0.0;
  int finest = 0, coarsest = 0;
};

// Builds both pyramids over the current frame's rectangle, estimates the flow with the range
// of choosePyramidRange(w, h, vectorDetail, maxFlow), measures the match and brings the flow
// to full size. `otherRect` places the other frame (default: the current frame's rectangle).
TrackResult trackPair(fm::Backend& be, const HostImage& current, const HostImage& other, int vectorDetail,
                      float maxFlow, const fm::Rect* otherRect = nullptr);

// Mean end-point error over the pixels whose target stays inside the frame (and, when given,
// inside `mask`).
double meanEndPointError(const FlowPair& pair, const HostImage& flow, const std::vector<uint8_t>* mask = nullptr);

}  // namespace fmtest
