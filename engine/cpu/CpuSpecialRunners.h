// CPU runners that process whole rows or strips of columns of one launch at once. Each gives
// every destination pixel exactly the value the kernel's own work item gives it.
#pragma once

#include "engine/cpu/CpuKernelTable.h"

namespace fm {

// fm_box_rows over rows [first, end), every row cut into segments as the work items cut it.
void runBoxRows(const CpuLaunch& launch, int first, int end);

// fm_box_cols over the strip of columns [first, end), all segments: reads memory row by row
// across the strip instead of walking one column at a time.
void runBoxCols(const CpuLaunch& launch, int first, int end);

// fm_lens_gather with one radius (mode 0) over rows [first, end): spans outer, pixels inner,
// so each prefix row is read sequentially.
void runLensGatherConstant(const CpuLaunch& launch, int first, int end);

}  // namespace fm
