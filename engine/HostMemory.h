// Running out of host memory is one more way for an engine step to fail: the step returns false
// and std::bad_alloc never reaches the host.
#pragma once

#include <new>

namespace fm {

// Whether a render may allocate `count` work images of `pixels` each, for a picture (output and
// input together) of `contentPixels`. Always up to 2^27 pixels or twice the picture; beyond
// that only while the images take at most half the machine's memory. Without a limit an
// absurd setting would reserve more than the machine has, and the first pass to touch it
// would have the host killed; every setting a picture can legitimately need stays below it.
bool workImagesFit(double pixels, int count, double contentPixels);

template <class Step>
bool falseOnBadAlloc(Step&& step) noexcept {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace fm
