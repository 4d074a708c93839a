// The kernels and runners of each instruction-set level. One body of code (CpuLevelBody.h) is
// compiled once per level, each time inside its own namespace and under its own target
// options, so every level's functions are distinct symbols: no inline function or template
// built for a wide level can be merged by the linker into code that a narrower processor runs.
#pragma once

#include "engine/cpu/CpuKernelTable.h"

// Wider levels are built where the compiler can target them function by function.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define FM_CPU_LEVELS 1
#else
#define FM_CPU_LEVELS 0
#endif

namespace fm {

struct CpuRunners {
  BandRunner items[FM_KERNEL_COUNT];        // the plain item-by-item runners
  BandRunner bands[FM_KERNEL_COUNT];        // the fastest band runner of each kernel
  SpecialRunner specials[FM_KERNEL_COUNT];  // whole-row/strip runners; null where none
  ChainRunner rowChain;
  ChainRunner columnChain;
  ChainRunner convPair;
  ChainRunner refineChain;
};

namespace baseline {
extern const CpuRunners kRunners;
}
#if FM_CPU_LEVELS
namespace avx2 {
extern const CpuRunners kRunners;
}
namespace avx512 {
extern const CpuRunners kRunners;
}
#endif

}  // namespace fm
