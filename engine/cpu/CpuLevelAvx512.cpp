// The kernels and runners for x86-64-v4 (AVX-512), with whole 512-bit vectors where the code
// leaves the width to the compiler. Fusing stays off, as for every level.
#include "engine/cpu/CpuLevelPrelude.h"

#if FM_CPU_LEVELS
#pragma GCC push_options
#pragma GCC target("arch=x86-64-v4,prefer-vector-width=512")
#define FM_CPU_LANES 16
namespace fm::avx512 {
#include "engine/cpu/CpuLevelBody.h"
}  // namespace fm::avx512
#pragma GCC pop_options
#endif
