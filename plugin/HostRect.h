// Rectangles between the host's records and the engine, and the checkout ids that pre-render
// and render share.
#pragma once

#include "engine/Rect.h"
#include "host/EffectInterface.h"

namespace fm {

// Layer checkouts: the input at the current time, the map (or matte) layer once to learn its
// size and once for its pixels, and the input one time step before and after.
enum CheckoutId : int32_t {
  kCheckoutInput = 1,
  kCheckoutMapSize = 2,
  kCheckoutMap = 3,
  kCheckoutPrevious = 4,
  kCheckoutNext = 5
};

inline Rect toRect(const PF_Rect& r) { return Rect{r.left, r.top, r.right, r.bottom}; }

// An empty rectangle goes to the host as the zero rectangle, never inverted.
inline PF_Rect toHostRect(const Rect& r) {
  if (isEmpty(r)) return PF_Rect{0, 0, 0, 0};
  return PF_Rect{r.left, r.top, r.right, r.bottom};
}

// The rectangle, or the zero rectangle when it is empty.
inline Rect normalized(const Rect& r) { return isEmpty(r) ? Rect{} : r; }

// The overlap, or the zero rectangle when there is none.
inline Rect overlap(const Rect& a, const Rect& b) { return normalized(intersection(a, b)); }

}  // namespace fm
