// A device's compiled kernels: the embedded PTX loaded once per CUDA device (the driver compiles
// it for that device), with one function per identifier. Renders on several threads share it:
// function handles are read-only and launches take their arguments by value.
#pragma once

#include <string>

#include "gpu/CudaApi.h"
#include "kernels/FMKernelTypes.h"

namespace fm {

struct CudaModule {
  CUcontext context = nullptr;  // the host's, not owned; null when the host keeps one current
  CUmodule module = nullptr;
  CUfunction functions[FM_KERNEL_COUNT] = {};
};

// Loads the embedded PTX under `context` (pushed for the call when non-null); null with the
// reason in `message` (optional) when the driver is missing or a step fails, the driver's JIT
// error log included. Loads the driver on first use.
CudaModule* loadCudaModule(CUcontext context, std::string* message);

// Unloads the module under its context and deletes the object; null is ignored.
void destroyCudaModule(CudaModule* module);

}  // namespace fm
