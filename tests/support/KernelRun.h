// Running one kernel over host images on a target: the CPU backend or fm::OpenCLBackend.
#pragma once

#include <string>
#include <vector>

#include "kernels/FMKernelTypes.h"
#include "tests/support/OpenCLDevice.h"
#include "tests/support/TestImage.h"

namespace fmtest {

// One launch: dst is read (for accumulating kernels) and written in place.
struct KernelCall {
  int kernel = 0;
  HostImage* dst = nullptr;
  const HostImage* srcA = nullptr;
  const HostImage* srcB = nullptr;
  const std::vector<float>* table = nullptr;
  FMParams params{};
  int gridW = 0;
  int gridH = 0;
  double cost = 1.0;
};

// Block from the images' sizes (makeParams), y1 = dst height.
FMParams blockFor(const HostImage* dst, const HostImage* srcA, const HostImage* srcB);

// Runs on a CpuBackend over a ThreadParallel of `threads` threads.
bool runOnCpu(const KernelCall& call, int threads = 4);

// Runs on the CPU and on OpenCL from the same starting destination and compares
// the results exactly (NaN equal to NaN) or within tol + rel * |value|; "" when they agree
// (and when OpenCL is absent, after reportNoOpenCL).
std::string compareTargets(const KernelCall& call, float tol = 0.0f, float rel = 0.0f);

// Runs the kernel's item-by-item CPU function over the whole grid on the calling thread,
// bypassing the backend's chunking and specialised runners.
bool runItemsOnCpu(const KernelCall& call);

}  // namespace fmtest
