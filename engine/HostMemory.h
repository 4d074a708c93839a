// Running out of host memory is one more way for an engine step to fail: the step returns false
// and std::bad_alloc never reaches the host.
#pragma once

#include <new>

#include "engine/Rect.h"

namespace fm {

// Whether a render may allocate `count` work images covering `work`, for a picture (output
// and input together) covering `picture`. Always up to 2^27 pixels each or twice the picture;
// beyond that only while the images take at most half the machine's memory. An absurd setting
// would otherwise reserve more than the machine has, and the first pass to touch it would have
// the host killed; a legitimate one is refused only where its work could not be held anyway.
bool workImagesFit(const Rect& work, const Rect& picture, int count);

template <class Step>
bool falseOnBadAlloc(Step&& step) noexcept {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace fm
