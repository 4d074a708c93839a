// A device's compiled kernels: the embedded kernel text built once per OpenCL device, with one
// kernel object per identifier. Renders on several threads share it.
#pragma once

#include <mutex>
#include <string>

#include "gpu/OpenCLApi.h"
#include "kernels/FMKernelTypes.h"

namespace fm {

struct OpenCLProgram {
  cl_context context = nullptr;
  cl_device_id device = nullptr;
  cl_program program = nullptr;
  cl_kernel kernels[FM_KERNEL_COUNT] = {};
  // Kernel arguments are state of the kernel object: whoever sets them must enqueue before anyone
  // else sets them again.
  std::mutex lock;
};

// Builds the embedded kernel text for `device` of `context` (host-owned, not retained); null with
// the reason in `message` (optional) when the runtime is missing or a step fails. Loads the
// runtime on first use.
OpenCLProgram* buildOpenCLProgram(cl_context context, cl_device_id device, std::string* message);

// Releases the kernels that were created, the program and the object; null is ignored.
void destroyOpenCLProgram(OpenCLProgram* program);

// `size` bytes of OpenCL C built for the one device with no options; null with "OpenCL build
// failed: " and the build log, or the failing call, in `message`. The runtime must be loaded.
cl_program compileOpenCLSource(cl_context context, cl_device_id device, const char* source, size_t size,
                               std::string* message);

}  // namespace fm
