#include "engine/cpu/CpuKernelTable.h"

#include "engine/cpu/CpuLevels.h"

namespace fm {
namespace {

const CpuRunners& runners(CpuIsa isa) {
#if FM_CPU_LEVELS
  if (cpuIsaSupported(isa)) {
    if (isa == CpuIsa::Avx512) return avx512::kRunners;
    if (isa == CpuIsa::Avx2) return avx2::kRunners;
  }
#else
  (void)isa;
#endif
  return baseline::kRunners;
}

bool known(int kernel) { return kernel >= 0 && kernel < FM_KERNEL_COUNT; }

}  // namespace

BandRunner cpuBandRunner(int kernel, CpuIsa isa) { return known(kernel) ? runners(isa).bands[kernel] : nullptr; }

BandRunner cpuItemRunner(int kernel, CpuIsa isa) { return known(kernel) ? runners(isa).items[kernel] : nullptr; }

SpecialRunner cpuSpecialRunner(int kernel, CpuIsa isa) {
  return known(kernel) ? runners(isa).specials[kernel] : nullptr;
}

ChainRunner cpuChainRunner(bool columns, CpuIsa isa) {
  return columns ? runners(isa).columnChain : runners(isa).rowChain;
}

ChainRunner cpuConvPairRunner(CpuIsa isa) { return runners(isa).convPair; }

ChainRunner cpuRefineChainRunner(CpuIsa isa) { return runners(isa).refineChain; }

}  // namespace fm
