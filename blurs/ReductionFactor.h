// How far a large blur's working image is reduced: the smallest power of two from 1 to 64
// that brings the blur's extent to at most 512 working pixels, so that pass lengths and
// working images stay bounded however large the blur is.
#pragma once

#include <cstdint>

namespace fm {

inline int32_t reductionFactor(double extent) {
  if (!(extent > 512)) return 1;  // NaN included: nothing to reduce for
  if (0.5 * extent <= 512) return 2;
  if (0.25 * extent <= 512) return 4;
  if (0.125 * extent <= 512) return 8;
  if (0.0625 * extent <= 512) return 16;
  if (0.03125 * extent <= 512) return 32;
  return 64;
}

}  // namespace fm
