// Translation unit that clang compiles to PTX (FM_TARGET_CUDA is defined on its command line).
#include "kernels/FMKernelTypes.h"
#include "kernels/FMKernels.h"
