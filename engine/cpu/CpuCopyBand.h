// Band runner for fm_copy: the kernel's values, written past the cache when not accumulating.
#pragma once

#include "kernels/FMKernelTypes.h"

namespace fm {

void runCopyBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                 const FMParams& p);

}  // namespace fm
