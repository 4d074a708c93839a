// Everything the level body needs from outside it, included before any level's target options
// take effect, so that standard and engine headers are always built for the baseline.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__x86_64__) || defined(__SSE2__)
#include <immintrin.h>
#endif

#include "engine/cpu/CpuChunking.h"
#include "engine/cpu/CpuLevels.h"
#include "kernels/FMKernelTypes.h"
