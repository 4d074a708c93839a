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

}  // namespace fm
