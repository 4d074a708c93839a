// The CPU backend's per-identifier runners, at each instruction-set level.
#pragma once

#include "engine/cpu/CpuIsa.h"
#include "kernels/FMKernelTypes.h"

namespace fm {

// Runs a kernel for every gx in [0, gridW) and gy in [first, end), rows outer.
using BandRunner = void (*)(int gridW, int first, int end, void* dst, const void* srcA,
                            const void* srcB, const void* tab, const FMParams& p);

// What a specialised runner gets: the launch as the backend received it.
struct CpuLaunch {
  int gridW = 0;
  int gridH = 0;
  void* dst = nullptr;
  const void* srcA = nullptr;
  const void* srcB = nullptr;
  const void* tab = nullptr;
  const FMParams* p = nullptr;
};

// Processes rows (or, for column passes, columns) [first, end) of a launch at once,
// producing exactly what the kernel's own work items produce.
using SpecialRunner = void (*)(const CpuLaunch& launch, int first, int end);

// Each lookup gives the code of `isa`, or of the baseline where this processor cannot run it.

// The fastest band runner of a kernel; null for an identifier outside 0..33.
BandRunner cpuBandRunner(int kernel, CpuIsa isa = cpuIsa());

// The plain item-by-item runner of a kernel (rows outer, columns inner), whatever faster band
// runner the table holds; the reference that the faster runners must match exactly.
BandRunner cpuItemRunner(int kernel, CpuIsa isa = cpuIsa());

// The whole-row/strip runner of kernels 4, 5, 8 and 10; null where there is none.
SpecialRunner cpuSpecialRunner(int kernel, CpuIsa isa = cpuIsa());

}  // namespace fm
