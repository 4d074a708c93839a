// Band runner for fm_copy, part of the level body (CpuLevelBody.h): the kernel's values,
// written past the cache when not accumulating.
#pragma once

namespace copy {

void runCopyBand(int gridW, int first, int end, void* dst, const void* srcA, const void*, const void*,
                 const FMParams& block) {
  const FMParams p = block;
  float4* d = static_cast<float4*>(dst);
  const float4* a = static_cast<const float4*>(srcA);
  const int width = std::min(gridW, p.dW);
  for (int gy = first; gy < end; ++gy) {
    const int y = p.y0 + gy;
    if (y >= p.y1 || y >= p.dH) continue;
    float4* row = d + fm_idx(y) * p.dP;
    if (p.flags & FM_F_ACCUM) {
      for (int x = 0; x < width; ++x) row[x] = row[x] + fm_copy_value(a, x, y, &p);
    } else {
      for (int x = 0; x < width; ++x) streamStore(row + x, fm_copy_value(a, x, y, &p));
    }
  }
  streamFence();
}

}  // namespace copy
