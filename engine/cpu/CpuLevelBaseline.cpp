// The kernels and runners for the target's baseline instruction set.
#include "engine/cpu/CpuLevelPrelude.h"

#define FM_CPU_LANES 4
namespace fm::baseline {
#include "engine/cpu/CpuLevelBody.h"
}  // namespace fm::baseline
