// The CPU's band runner for fm_vector, part of the level body (CpuLevelBody.h). At the AVX2 and
// AVX-512 levels a vector's worth of neighbouring pixels walk their lines together, one sample
// of each per step; every pixel still adds its samples in the kernel's order, so results are
// unchanged to the bit.
#pragma once

namespace vecblur {

#if FM_CPU_LANES >= 8
void lanePixels(float4* d, const float4* a, const float4* b, const FMParams& p, int x, int y) {
  float ox[kLanes], oy[kLanes];
  Li centred = li(0);
  unsigned keep = 0;  // pixels that keep their source value
  for (int k = 0; k < kLanes; ++k) {
    int c = 0;
    if (!fm_vector_line(b, x + k, y, &p, &ox[k], &oy[k], &c)) {
      keep |= 1u << k;
      ox[k] = oy[k] = 0.0f;
    }
    centred[k] = c ? -1 : 0;
  }
  const Lf OX = loadLanes(ox), OY = loadLanes(oy);
  const Lf X0 = toFloat(li(x) + laneIndex()), Y0 = lf(float(y));
  const int ns = fm_maxi(p.n, 2);
  bilinear::Sums sums;
  float wsum = 0.0f;
  for (int k = 0; k < ns; ++k) {
    const float t = float(k) / float(ns - 1);
    const float w = p.mode == FM_VEC_DIR_FADING ? 1.0f - t : 1.0f;
    if (w <= 0.0f) continue;
    const Lf u = select(centred, lf(t - 0.5f), lf(-t));
    bilinear::addAnywhere(sums, a, p.aW, p.aH, p.aP, X0 + OX * u, Y0 + OY * u, w);
    wsum += w;
  }
  float4 sum[kLanes];
  sums.store(sum);
  float4* out = d + fm_idx(y) * p.dP + x;
  for (int k = 0; k < kLanes; ++k)
    out[k] = keep >> k & 1 ? fm_fetch0(a, p.aW, p.aH, p.aP, x + k, y) : sum[k] / wsum;
}
#endif

__attribute__((flatten)) void runVectorBand(int gridW, int first, int end, void* dst, const void* srcA,
                                            const void* srcB, const void*, const FMParams& block) {
  const FMParams p = block;  // a local block: fields stay in registers across pixel stores
  float4* d = static_cast<float4*>(dst);
  const float4* a = static_cast<const float4*>(srcA);
  const float4* b = static_cast<const float4*>(srcB);
  const int width = std::min(gridW, p.dW);  // items past the destination do nothing
#if FM_CPU_LANES >= 8
  const bool wide = bilinear::offsetsFit(p.aP, p.aH);
#endif
  for (int gy = first; gy < end; ++gy) {
    const int y = p.y0 + gy;
    if (y >= p.y1 || y >= p.dH) continue;
    int x = 0;
#if FM_CPU_LANES >= 8
    if (wide)
      for (; x + kLanes <= width; x += kLanes) lanePixels(d, a, b, p, x, y);
#endif
    for (; x < width; ++x) fm_vector(x, gy, d, a, b, nullptr, p);
  }
}

}  // namespace vecblur
