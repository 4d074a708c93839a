// Two pixels as one eight-lane vector, for CPU runners that handle pixel pairs. Where the
// processor has AVX, functions marked FM_AVX_CLONES are also built for it and pick that build at
// load time; one instruction then serves two pixels. The lanes see the same operations either
// way (AVX without fused multiply-add), so results never depend on which build runs.
#pragma once

#include "engine/cpu/CpuKernels.h"

namespace fm {

typedef float Pair __attribute__((vector_size(32), aligned(16), may_alias));

// Pairs are only passed between always-inlined helpers, so the calling convention for
// eight-lane values that the compiler warns about never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

__attribute__((always_inline)) inline Pair pairOf(float4 a, float4 b) {
  return Pair{a[0], a[1], a[2], a[3], b[0], b[1], b[2], b[3]};
}

}  // namespace fm

// Function clones confuse the sanitizers' start-up, so sanitizer builds use the default build.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define FM_AVX_CLONES __attribute__((target_clones("avx", "default")))
#else
#define FM_AVX_CLONES
#endif
