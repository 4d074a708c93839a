// The kernels and runners for x86-64-v3 (AVX2). Fusing stays off (-ffp-contract=off), so the
// fused multiply-add this level brings is never used and every lane rounds as the baseline does.
#include "engine/cpu/CpuLevelPrelude.h"

#if FM_CPU_LEVELS
#pragma GCC push_options
#pragma GCC target("arch=x86-64-v3")
#define FM_CPU_LANES 8
namespace fm::avx2 {
#include "engine/cpu/CpuLevelBody.h"
}  // namespace fm::avx2
#pragma GCC pop_options
#endif
