// The iris of Camera Lens Blur: a regular polygon, optionally rounded towards its circumcircle,
// stretched horizontally by its aspect ratio and turned clockwise on screen, with a half-pixel
// edge. Lengths are in y pixels, relative to the iris centre, y pointing down.
#pragma once

#include <cstdint>
#include <optional>

namespace fm {

struct Iris {
  int32_t sides = 6;       // 3 to 10
  double roundness = 0.0;  // 0 polygon, 1 disc
  double aspect = 1.0;     // width over height, before rotation
  double rotation = 0.0;   // radians; with 0 the first vertex points up
};

struct IrisSpan {
  double left = 0.0;
  double right = 0.0;
};

// Whether (x, y) lies inside the iris of radius r, its half-pixel edge included.
bool irisContains(const Iris& iris, double x, double y, double r);

// The iris's extent along the horizontal line at height y; none when the line misses it. The
// search covers |x| <= max(aspect, 1) r + 0.601, so an iris stretched further is cut there.
std::optional<IrisSpan> irisRowSpan(const Iris& iris, double y, double r);

// The iris's vertical half-extent (the larger of the extents above and below its centre),
// searched up to max(aspect, 1) r + 0.61.
double irisHalfHeight(const Iris& iris, double r);

}  // namespace fm
