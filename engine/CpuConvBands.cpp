#include "engine/CpuConvBands.h"

#include <algorithm>

#include "engine/CpuKernels.h"
#include "engine/CpuPairs.h"
#include "engine/StreamStore.h"

namespace fm {
namespace {

constexpr int kGroup = 8;

constexpr int kNewRowAhead = 32;

// Pixels [x0, x1) of row y whose whole window reads plain pixels; the rest go through the kernel.
template <bool Rows>
__attribute__((always_inline)) inline void convRow(int gy, int y, int gridW, float4* d, const float4* a, const FMParams& p) {
  const int width = std::min(gridW, p.dW);
  const int n = fm_mini(p.n, FM_CONV_MAX_N);
  const int lenCols = y < p.aH ? p.aW : 0;  // rows pass: length of this row
  int x0 = 0, x1 = 0;                         // interior columns
  if (Rows) {
    x0 = std::max(0, fm_direct_lo(p.mode, p.lo) + n);
    x1 = std::min(width, fm_direct_hi(p.mode, p.hi, lenCols) - n);
  } else if (y - n >= fm_direct_lo(p.mode, p.lo) && y + n < fm_direct_hi(p.mode, p.hi, p.aH)) {
    x1 = std::min(width, p.aW);  // columns past the source have no pixels to read
  }
  if (x1 < x0) x1 = x0;
  const float4* nul = nullptr;
  for (int xe = 0; xe < x0; ++xe) (Rows ? fm_conv_rows : fm_conv_cols)(xe, gy, d, a, nul, nullptr, p);
  const fm_idx step = Rows ? 1 : p.aP;
  const float4* rowCentre = a + fm_idx(y) * p.aP;
  float4* out = d + fm_idx(y) * p.dP;
  int x = x0;
  // Groups of kGroup pixels keep their sums in registers: independent chains, no spills.
  for (; x + kGroup <= x1; x += kGroup) {
    Pair acc[kGroup / 2] = {};
    const float4* src = rowCentre + x - fm_idx(n) * step;
    for (int k = 0; k <= 2 * n; ++k, src += step) {
      const float tap = p.t[k];
      const Pair taps = {tap, tap, tap, tap, tap, tap, tap, tap};
      const Pair* pairs = reinterpret_cast<const Pair*>(src);
#pragma GCC unroll 4
      for (int c = 0; c < kGroup / 2; ++c) acc[c] += pairs[c] * taps;
    }
    const float4* sums = reinterpret_cast<const float4*>(acc);
#pragma GCC unroll 8
    for (int c = 0; c < kGroup; ++c) streamStore(out + x + c, sums[c]);
  }
  for (; x < x1; ++x) {
    float4 acc = f4z();
    const float4* src = rowCentre + x - fm_idx(n) * step;
    for (int k = 0; k <= 2 * n; ++k, src += step) acc += *src * p.t[k];
    out[x] = acc;
  }
  for (int xe = x1; xe < gridW; ++xe) (Rows ? fm_conv_rows : fm_conv_cols)(xe, gy, d, a, nul, nullptr, p);
}

template <bool Rows>
__attribute__((always_inline)) inline void convBand(int gridW, int first, int end, void* dst, const void* srcA, const FMParams& block) {
  const FMParams p = block;  // keeps the fields in registers across pixel stores
  float4* d = static_cast<float4*>(dst);
  const float4* a = static_cast<const float4*>(srcA);
  for (int gy = first; gy < end; ++gy) {
    const int y = p.y0 + gy;
    if (y >= p.y1 || y >= p.dH) continue;
    convRow<Rows>(gy, y, gridW, d, a, p);
  }
  streamFence();
}

}  // namespace

FM_AVX_CLONES void runConvRowsBand(int gridW, int first, int end, void* dst, const void* srcA, const void*,
                     const void*, const FMParams& p) {
  convBand<true>(gridW, first, end, dst, srcA, p);
}

FM_AVX_CLONES void runConvColsBand(int gridW, int first, int end, void* dst, const void* srcA, const void*,
                     const void*, const FMParams& p) {
  convBand<false>(gridW, first, end, dst, srcA, p);
}

}  // namespace fm
