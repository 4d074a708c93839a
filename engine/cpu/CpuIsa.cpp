#include "engine/cpu/CpuIsa.h"

#include <cstdlib>
#include <cstring>

#include "engine/cpu/CpuLevels.h"

namespace fm {
namespace {

bool processorRuns(CpuIsa isa) {
#if FM_CPU_LEVELS
  // Also checks that the operating system saves the wider registers.
  switch (isa) {
    case CpuIsa::Avx2:
      return __builtin_cpu_supports("x86-64-v3");
    case CpuIsa::Avx512:
      return __builtin_cpu_supports("x86-64-v4");
    default:
      return true;
  }
#else
  return isa == CpuIsa::Baseline;
#endif
}

CpuIsa widest() {
  for (int i = kCpuIsaCount - 1; i > 0; --i)
    if (cpuIsaSupported(CpuIsa(i))) return CpuIsa(i);
  return CpuIsa::Baseline;
}

CpuIsa choose() {
  const char* forced = std::getenv("FM_CPU_ISA");
  if (forced)
    for (int i = 0; i < kCpuIsaCount; ++i) {
      const CpuIsa isa = CpuIsa(i);
      // A level the processor lacks would crash: the widest supported one runs instead.
      if (std::strcmp(forced, cpuIsaName(isa)) == 0 && cpuIsaSupported(isa)) return isa;
    }
  return widest();
}

}  // namespace

bool cpuIsaSupported(CpuIsa isa) {
  const int i = int(isa);
  return i >= 0 && i < kCpuIsaCount && processorRuns(isa);
}

CpuIsa cpuIsa() {
  static const CpuIsa chosen = choose();
  return chosen;
}

const char* cpuIsaName(CpuIsa isa) {
  switch (isa) {
    case CpuIsa::Avx2:
      return "avx2";
    case CpuIsa::Avx512:
      return "avx512";
    default:
      return "baseline";
  }
}

}  // namespace fm
