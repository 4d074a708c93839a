// Running out of host memory is one more way for an engine step to fail: the step returns false
// and std::bad_alloc never reaches the host.
#pragma once

#include <new>

namespace fm {

template <class Step>
bool falseOnBadAlloc(Step&& step) noexcept {
  try {
    return step();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace fm
