// The kernel source as the GPU runtimes receive it, generated from kernels/ at build time.
#pragma once

#include <cstddef>

namespace fm {

// OpenCL C: "#define FM_TARGET_OPENCL 1" followed by both kernel headers, flattened.
const char* openclKernelText();
size_t openclKernelTextSize();

// PTX 4.2 for sm_50, one entry per kernel.
const char* ptxKernelText();
size_t ptxKernelTextSize();

}  // namespace fm
