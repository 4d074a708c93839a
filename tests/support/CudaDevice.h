// The CUDA device the tests and benchmarks run on, reached through the product's loader: the
// first device of the driver, its primary context, and the device's module object as the product
// loads it. Made once per process.
#pragma once

#include <string>

#include "gpu/CudaModule.h"

namespace fmtest {

class CudaDevice {
 public:
  // Null when the driver or a device is missing; why() then says which.
  static CudaDevice* get();
  static const std::string& why();

  // A stream on the device (one per concurrent render); null when the driver refuses.
  fm::CUstream createStream();
  void destroyStream(fm::CUstream stream);
  // The driver's own device-to-device copy, queued on `stream`: the yardstick of a memory-bound
  // pass. The context must be current.
  bool copy(const void* to, const void* from, size_t bytes, fm::CUstream stream);

  fm::CUcontext context = nullptr;
  // The device's kernels as the product loads them; null when that failed, with loadError.
  fm::CudaModule* module = nullptr;
  std::string loadError;
  std::string name;

 private:
  CudaDevice(fm::CUcontext context, std::string name);
  static CudaDevice* open();
};

// Without a driver the CUDA tests skip, except where a GPU is expected (the environment
// variable FM_REQUIRE_CUDA set, as scripts/gpu-check does on a machine with an NVIDIA GPU): this
// records one or the other in the running test.
void reportNoCuda(const std::string& why);

// Ends the running test (or its SetUp, and with it the test) when there is no CUDA device or its
// module did not load.
#define FM_REQUIRE_CUDA()                                                       \
  do {                                                                          \
    const ::fmtest::CudaDevice* fmCuda = ::fmtest::CudaDevice::get();           \
    if (!fmCuda || !fmCuda->module) {                                           \
      ::fmtest::reportNoCuda(fmCuda ? fmCuda->loadError : ::fmtest::CudaDevice::why()); \
      return;                                                                   \
    }                                                                           \
  } while (0)

}  // namespace fmtest
