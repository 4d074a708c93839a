// The CPU's runners for the group pass (fm_group): the translation runner, and the band runner
// for rotations and scalings.
#pragma once

#include "engine/cpu/CpuKernelTable.h"

namespace fm {

// fm_group in translate mode over rows [first, end): a tile of pixels is accumulated tap by tap,
// each tap's column positions are found once for all rows of the chunk, and neighbouring rows
// share the horizontally interpolated source rows they both read. Every pixel still sees the
// operations, in the order, of the kernel's own work item, so the results are identical.
void runGroupTranslate(const CpuLaunch& launch, int first, int end);

// fm_group over grid rows [first, end) of a band. Rotations and scalings take a tile of pixels
// tap by tap, so each tap reads the source along one line instead of every pixel reading all
// taps' scattered positions; each pixel still adds its samples in tap order, exactly as the
// kernel's work item. Translations and malformed blocks run item by item.
void runGroupBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                  const FMParams& p);

}  // namespace fm
