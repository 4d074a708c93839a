// The OpenCL device the tests run on, reached through the product's loader: a GPU where there is
// one, else the first device of any kind (PoCL's CPU device on machines without a GPU). Its
// context, an in-order queue and the device's program object are made once per process.
#pragma once

#include <string>
#include <vector>

#include "gpu/OpenCLProgram.h"
#include "kernels/FMKernelTypes.h"

namespace fmtest {

class OpenCLDevice {
 public:
  // Null when the runtime, a platform or a device is missing; why() then says which.
  static OpenCLDevice* get();
  static const std::string& why();

  // Another queue on the device (one per concurrent render), in order unless `properties` say
  // otherwise; null when the device cannot make it.
  fm::cl_command_queue createQueue(fm::cl_command_queue_properties properties = 0);
  void releaseQueue(fm::cl_command_queue queue);

  // Builds `extraSource` appended to the embedded kernel text and runs `kernel(__global int* out,
  // FMParams p)` once; `out` receives `outInts` ints.
  bool runProbe(const std::string& extraSource, const char* kernel, const FMParams& p, std::vector<int>& out,
                int outInts, std::string* error = nullptr);

  fm::cl_context context = nullptr;
  fm::cl_device_id device = nullptr;
  fm::cl_command_queue queue = nullptr;
  // The device's kernels as the product builds them; null when that failed, with buildError.
  fm::OpenCLProgram* program = nullptr;
  std::string buildError;
  std::string name;  // "vendor device (platform)"
  bool isGpu = false;

 private:
  OpenCLDevice(fm::cl_context context, fm::cl_device_id device, fm::cl_command_queue queue, bool isGpu,
               std::string name);
  static OpenCLDevice* open();
};

// Without an OpenCL platform the OpenCL tests skip, except in CI (the environment variable CI
// set), where bootstrap installs PoCL and a missing platform is a fault: this records one or
// the other in the running test.
void reportNoOpenCL(const std::string& why);

// Ends the running test (or its SetUp) when no OpenCL device exists, as reportNoOpenCL says.
#define FM_REQUIRE_OPENCL()                                     \
  do {                                                          \
    if (!::fmtest::OpenCLDevice::get()) {                       \
      ::fmtest::reportNoOpenCL(::fmtest::OpenCLDevice::why());  \
      return;                                                   \
    }                                                           \
  } while (0)

}  // namespace fmtest
