// The kernel source compiled as inline C++ functions in namespace fm.
#pragma once

#include <cmath>
#include <cstring>

#include "kernels/FMKernelTypes.h"

namespace fm {
#include "kernels/FMKernels.h"
}  // namespace fm
