// Two pixels as one eight-lane vector, for runners that handle pixel pairs; part of the level
// body (CpuLevelBody.h). Where the level has 256-bit vectors one instruction serves both
// pixels; the lanes see the same operations either way.
#pragma once

typedef float Pair __attribute__((vector_size(32), aligned(16), may_alias));

// Pairs are only passed between always-inlined helpers, so the calling convention for
// eight-lane values that the compiler warns about never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

__attribute__((always_inline)) inline Pair pairOf(float4 a, float4 b) {
  return Pair{a[0], a[1], a[2], a[3], b[0], b[1], b[2], b[3]};
}
