// Running one kernel over host images on a target: the CPU backend or OpenCL.
#pragma once

#include <string>
#include <vector>

#include "kernels/FMKernelTypes.h"
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

// The process-wide OpenCL program built from the embedded kernel text.
class OpenCLHarness {
 public:
  // Null when no OpenCL platform or device exists; why() then says so.
  static OpenCLHarness* get();
  static const std::string& why();

  bool run(const KernelCall& call, std::string* error = nullptr);

  // Builds `extraSource` appended to the embedded text and runs `kernel(__global int* out,
  // FMParams p)` once; `out` receives `outInts` ints.
  bool runProbe(const std::string& extraSource, const char* kernel, const FMParams& p,
                std::vector<int>& out, int outInts, std::string* error = nullptr);

  // The harness's context, queue and program of the kernel text alone (a cl_context,
  // cl_command_queue and cl_program), shared with backends that keep images on the device.
  // False when the program does not build.
  bool objects(void** context, void** queue, void** program, std::string* error = nullptr);

  struct Impl;

 private:
  OpenCLHarness() = default;
  Impl* impl = nullptr;
};

// Without an OpenCL platform the OpenCL tests skip, except in CI (the environment variable CI
// set), where bootstrap installs PoCL and a missing platform is a fault: this records one or
// the other in the running test.
void reportNoOpenCL(const std::string& why);

// Ends the running test (or its SetUp) when no OpenCL platform exists, as reportNoOpenCL says.
#define FM_REQUIRE_OPENCL()                                                   \
  do {                                                                        \
    if (!::fmtest::OpenCLHarness::get()) {                                    \
      ::fmtest::reportNoOpenCL(::fmtest::OpenCLHarness::why());               \
      return;                                                                 \
    }                                                                         \
  } while (0)

// Runs on the CPU and on OpenCL from the same starting destination and compares
// the results exactly (NaN equal to NaN) or within tol + rel * |value|; "" when they agree
// (and when OpenCL is absent, after reportNoOpenCL).
std::string compareTargets(const KernelCall& call, float tol = 0.0f, float rel = 0.0f);

// Runs the kernel's item-by-item CPU function over the whole grid on the calling thread,
// bypassing the backend's chunking and specialised runners.
bool runItemsOnCpu(const KernelCall& call);

}  // namespace fmtest
