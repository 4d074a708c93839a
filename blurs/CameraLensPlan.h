// Camera Lens Blur's plan: the iris from the settings, how far the blur reaches, the reduction
// for large radii, and the two descriptions of the iris that the gather reads: a span list for
// one radius, a normalised iris table for a radius per pixel.
#pragma once

#include <cstdint>
#include <vector>

#include "blurs/CameraLensIris.h"
#include "blurs/Reach.h"
#include "engine/RenderSettings.h"

namespace fm {

struct LensPlan {
  int32_t sides = 6;
  double roundness = 0.0;
  double aspect = 1.0;
  double rotation = 0.0;             // radians
  double radius = 0.0;               // y pixels of the render resolution
  double xPerY = 1.0;                // x pixels per y pixel
  int32_t factor = 1;                // the gather works on an image reduced by this
  int32_t reach[4] = {0, 0, 0, 0};   // left, top, right, bottom, render pixels
  double fringe = 0.0;               // weight of the inner iris subtracted for the diffraction ring
  double ringShrink = 0.06;          // the inner iris is this much smaller
};

// `scale` is the render scale (downsampleX, downsampleY, pixelAspect).
LensPlan makeLensPlan(const RenderSettings& s, const double scale[3]);

Iris lensIris(const LensPlan& plan);

// Pixels a length of L pixels reaches, with two to spare for the iris edge and rounding.
inline int32_t lensReach(double length) { return int32_t(lengthReach(length, 2)); }

// Appends the spans (dy, xl, xr, weight) of the iris of radius r (reduced y pixels), stretched
// by kx horizontally and weighted by `weight`, and adds its weighted area to weightSum. Rows at
// the iris's top and bottom are cut into four sub-rows to follow its outline.
void buildLensSpans(const Iris& iris, double r, double kx, double weight, std::vector<float>& spans,
                    double& weightSum);

// The iris of unit radius (edge included) as 257 rows of (xl, xr) from y = -1 to 1, and its
// vertical half-extent in those units. One table serves every radius.
struct IrisTable {
  static constexpr int kRows = 257;
  std::vector<float> rows;
  double halfExtent = 1.0;
};

IrisTable buildIrisTable(const Iris& iris);

}  // namespace fm
