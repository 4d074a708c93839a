#include "engine/CpuConvBands.h"

#include <algorithm>

#include "engine/CpuKernels.h"
#include "engine/CpuPairs.h"
#include "engine/StreamStore.h"

namespace fm {
namespace {

constexpr int kGroup = 8;

// Column passes: a strip of pixels gathers its sums in a small buffer, kTapBlock source rows at
// a time. Each source row then streams through the cache on its own, instead of 2n + 1 rows a
// multiple of 4 KiB apart competing for the same cache sets (a UHD row is 60 KiB).
constexpr int kStrip = 384;
constexpr int kTapBlock = 4;

// Adds taps [k0, k0 + count) of a strip of `pairs` pixel pairs to `acc`, in tap order. The first
// block starts from zero, as the kernel's sum does; the last one stores the results.
template <int Count, bool First, bool Last>
__attribute__((always_inline)) inline void addTaps(Pair* acc, int pairs, const float4* base, fm_idx step, int k0,
                                                   const float* t, float4* out) {
  const Pair* rows[Count];
  Pair taps[Count];
  for (int j = 0; j < Count; ++j) {
    rows[j] = reinterpret_cast<const Pair*>(base + fm_idx(k0 + j) * step);
    taps[j] = Pair{} + t[k0 + j];
  }
  for (int c = 0; c < pairs; ++c) {
    Pair sum = First ? Pair{} : acc[c];
#pragma GCC unroll 8
    for (int j = 0; j < Count; ++j) sum += rows[j][c] * taps[j];
    if (Last) {
      const float4* two = reinterpret_cast<const float4*>(&sum);
      streamStore(out + 2 * c, two[0]);
      streamStore(out + 2 * c + 1, two[1]);
    } else {
      acc[c] = sum;
    }
  }
}

template <bool First>
__attribute__((always_inline)) inline void lastTaps(int count, Pair* acc, int pairs, const float4* base, fm_idx step,
                                                    int k0, const float* t, float4* out) {
  switch (count) {
    case 1: return addTaps<1, First, true>(acc, pairs, base, step, k0, t, out);
    case 2: return addTaps<2, First, true>(acc, pairs, base, step, k0, t, out);
    case 3: return addTaps<3, First, true>(acc, pairs, base, step, k0, t, out);
    default: return addTaps<4, First, true>(acc, pairs, base, step, k0, t, out);
  }
}

// Output pixels [x, x + 2 pairs) of one row of a column pass; `centre` is the source row of the
// output row. `ahead`, when not null, is a source row that the next rows will need first: it is
// read from memory, where the rows already in use come from the cache, so it is asked for early.
__attribute__((always_inline)) inline void convColsStrip(int x, int pairs, const float4* centre, fm_idx step, int n,
                                                         const float* t, const float4* ahead, float4* out) {
  static_assert(kTapBlock == 4, "lastTaps covers blocks of up to four taps");
  if (ahead) {
    const char* line = reinterpret_cast<const char*>(ahead + x);
    for (int b = 0; b < pairs * 32; b += 64) __builtin_prefetch(line + b, 0, 2);
  }
  alignas(64) Pair acc[kStrip / 2];
  const int taps = 2 * n + 1;
  const float4* base = centre + x - fm_idx(n) * step;
  if (taps <= kTapBlock) return lastTaps<true>(taps, acc, pairs, base, step, 0, t, out + x);
  addTaps<kTapBlock, true, false>(acc, pairs, base, step, 0, t, out + x);
  int k0 = kTapBlock;
  for (; taps - k0 > kTapBlock; k0 += kTapBlock)
    addTaps<kTapBlock, false, false>(acc, pairs, base, step, k0, t, out + x);
  lastTaps<false>(taps - k0, acc, pairs, base, step, k0, t, out + x);
}

// Interior pixels [x0, x1) of one row of a column pass. Successive rows on one thread share
// all but a few source rows; walking the strips in alternate directions starts each row where
// the previous one left its source rows in the cache.
__attribute__((always_inline)) inline int convColsInterior(int x0, int x1, const float4* centre, fm_idx step, int n,
                                                           const float* t, const float4* ahead, float4* out) {
  const int pairs = (x1 - x0) / 2;
  const int strips = (pairs + kStrip / 2 - 1) / (kStrip / 2);
  static thread_local bool backwards = false;
  backwards = !backwards;
  for (int i = 0; i < strips; ++i) {
    const int s = backwards ? strips - 1 - i : i;
    const int first = s * (kStrip / 2);
    convColsStrip(x0 + 2 * first, std::min(kStrip / 2, pairs - first), centre, step, n, t, ahead, out);
  }
  return x0 + 2 * pairs;
}

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
  // Two rows past the window: with rows handed out in turn, the next row of this thread.
  const float4* ahead = !Rows && y + n + 2 < p.aH ? rowCentre + fm_idx(n + 2) * step : nullptr;
  int x = Rows ? x0 : convColsInterior(x0, x1, rowCentre, step, n, p.t, ahead, out);
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
