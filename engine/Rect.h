// Integer rectangle, right and bottom exclusive. All rectangles of one render share the
// input layer's pixel grid at the render's downsampling.
#pragma once

#include <cstdint>

namespace fm {

struct Rect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

inline bool isEmpty(const Rect& r) { return r.right <= r.left || r.bottom <= r.top; }
// Widths are formed in 64 bits: rectangles may span most of the 32-bit range.
inline int64_t width(const Rect& r) { return int64_t(r.right) - r.left; }
inline int64_t height(const Rect& r) { return int64_t(r.bottom) - r.top; }
inline bool operator==(const Rect& a, const Rect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
inline bool operator!=(const Rect& a, const Rect& b) { return !(a == b); }

// Grown coordinates stay within this bound, far inside the 32-bit range, so that
// sums of bounds and reaches never overflow.
constexpr int32_t kCoordLimit = 1000000000;

namespace rectDetail {
inline int32_t saturate(int64_t v) {
  return int32_t(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
}
inline int64_t clampCoord(int64_t v) {
  return v < -kCoordLimit ? -kCoordLimit : v > kCoordLimit ? kCoordLimit : v;
}
inline int64_t floorDiv(int64_t a, int64_t f) { return a >= 0 ? a / f : -((-a + f - 1) / f); }
}  // namespace rectDetail

// The overlap of two rectangles; empty (possibly with crossed bounds) when they do not meet.
inline Rect intersection(const Rect& a, const Rect& b) {
  return Rect{a.left > b.left ? a.left : b.left, a.top > b.top ? a.top : b.top,
              a.right < b.right ? a.right : b.right, a.bottom < b.bottom ? a.bottom : b.bottom};
}

// The smallest rectangle holding both; an empty one contributes nothing.
inline Rect boundingBox(const Rect& a, const Rect& b) {
  if (isEmpty(a)) return b;
  if (isEmpty(b)) return a;
  return Rect{a.left < b.left ? a.left : b.left, a.top < b.top ? a.top : b.top,
              a.right > b.right ? a.right : b.right, a.bottom > b.bottom ? a.bottom : b.bottom};
}

// The pixels of a grid `factor` times coarser that the rectangle touches: the near
// bounds round down, the far bounds up. An empty rectangle is left as it is.
inline Rect reducedBy(const Rect& r, int32_t factor) {
  if (factor <= 1 || isEmpty(r)) return r;
  using rectDetail::floorDiv;
  return Rect{int32_t(floorDiv(r.left, factor)), int32_t(floorDiv(r.top, factor)),
              int32_t(-floorDiv(-int64_t(r.right), factor)), int32_t(-floorDiv(-int64_t(r.bottom), factor))};
}

// Moved outward by h horizontally and v vertically, every bound kept within the
// coordinate limit. An empty rectangle is not grown.
inline Rect grownBy(const Rect& r, int64_t h, int64_t v) {
  if (isEmpty(r)) return r;
  using rectDetail::clampCoord;
  return Rect{int32_t(clampCoord(r.left - h)), int32_t(clampCoord(r.top - v)),
              int32_t(clampCoord(r.right + h)), int32_t(clampCoord(r.bottom + v))};
}

// Shifted by (dx, dy), saturating at the 32-bit range.
inline Rect offsetBy(const Rect& r, int64_t dx, int64_t dy) {
  using rectDetail::saturate;
  return Rect{saturate(r.left + dx), saturate(r.top + dy), saturate(r.right + dx), saturate(r.bottom + dy)};
}

}  // namespace fm
