// How far a blur reaches: whole pixels on each side of a rectangle, and the rule that turns a
// length in pixels into such a reach.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/Rect.h"

namespace fm {

// Pixels a blur takes colour from on each side.
struct Reach {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

inline Reach reachOf(const int32_t r[4]) { return Reach{r[0], r[1], r[2], r[3]}; }

// Reach of a length in pixels: whole pixels plus `extra`, with a ceiling for absurd lengths.
inline int64_t lengthReach(double length, int64_t extra) {
  if (!(length > 0)) return extra;
  if (length > 1e8) return 100000000 + extra;
  return int64_t(std::ceil(length - 1e-9)) + extra;
}

// A reach cut into the coordinate range.
inline int32_t limitedReach(int64_t v) { return int32_t(std::min<int64_t>(std::max<int64_t>(v, 0), kCoordLimit)); }

// A non-empty rect grown by the reach, within the coordinate limit; an empty one unchanged.
inline Rect grow(const Rect& rect, const Reach& r) {
  if (isEmpty(rect)) return rect;
  using rectDetail::clampCoord;
  return Rect{int32_t(clampCoord(int64_t(rect.left) - r.left)), int32_t(clampCoord(int64_t(rect.top) - r.top)),
              int32_t(clampCoord(int64_t(rect.right) + r.right)),
              int32_t(clampCoord(int64_t(rect.bottom) + r.bottom))};
}

}  // namespace fm
