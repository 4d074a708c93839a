// Band runners for the direct convolutions. A tile of pixels is accumulated tap by tap, so
// source rows stream through the cache and no pixel waits on its own running sum; each
// pixel still sees exactly the additions, in the order, of the kernel's own work item.
#pragma once

#include "kernels/FMKernelTypes.h"

namespace fm {

void runConvRowsBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB,
                     const void* tab, const FMParams& p);
void runConvColsBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB,
                     const void* tab, const FMParams& p);

}  // namespace fm
