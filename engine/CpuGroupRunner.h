// The CPU's whole-row runner for the translation group pass (fm_group, FM_GROUP_TRANSLATE).
#pragma once

#include "engine/CpuKernelTable.h"

namespace fm {

// fm_group in translate mode over rows [first, end): a tile of pixels is accumulated tap by tap,
// each tap's column positions are found once for all rows of the chunk, and neighbouring rows
// share the horizontally interpolated source rows they both read. Every pixel still sees the
// operations, in the order, of the kernel's own work item, so the results are identical.
void runGroupTranslate(const CpuLaunch& launch, int first, int end);

}  // namespace fm
