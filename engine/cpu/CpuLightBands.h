// Band runners for the conversions into and out of linear light (fm_lens_prep without
// highlights, fm_lens_finish), part of the level body (CpuLevelBody.h): a vector of pixels at
// once, lane for lane the kernels' divisions, square roots and table lookups. Pixels the fast
// path does not cover (transparent, over-range, read past the source) take the kernel's own
// work item.
#pragma once

namespace light {

// fm_curve_lookup of the square root (decode) or fourth root (encode) of values in [0, 1].
FM_LANE_FN Lf curve(const float* tab, Lf c, bool encode) {
  Lf root = lsqrt(c);
  if (encode) root = lsqrt(root);
  const Lf f = root * float(FM_CURVE_N);
  const Li i = lmini(truncInt(lfloor(f)), li(FM_CURVE_N - 1));
  Lf t0, t1;
  gatherAdjacent(tab, i, t0, t1);
  return t0 + (t1 - t0) * (f - toFloat(i));
}

// kLanes pixels through the kernel's main branch: straight colour (divided by alpha into linear
// light, multiplied by 1 / alpha out of it), through the curve table when `tab` is given, then
// premultiplied. False, with nothing written, where any pixel takes another branch: alpha not
// above 0 (on the way out not above 1e-7, or over 1), or colour outside the table's [0, 1].
template <bool ToLinear>
FM_LANE_FN bool convertLanes(const float4* in, float4* out, const float* tab) {
  const Pixels q = loadPixels(in);
  const Lf a = q.w;
  const Li usable = ToLinear ? a > 0.0f : (a > 1e-7f) & (a <= 1.0f);
  if (!allLanes(usable)) return false;
  Lf c[3] = {q.x, q.y, q.z};
  const Lf inv = lf(1.0f) / a;  // out of linear light only
  Li inRange = li(-1);
  for (Lf& v : c) {
    v = ToLinear ? v / a : v * inv;
    inRange &= (v >= 0.0f) & (v <= 1.0f);
  }
  if (tab) {
    if (!allLanes(inRange)) return false;
    for (Lf& v : c) v = curve(tab, v, !ToLinear);
  }
  streamPixels(out, Pixels{c[0] * a, c[1] * a, c[2] * a, a});
  return true;
}

// Rows [first, end) of one of the two kernels; `ToLinear` picks fm_lens_prep.
template <bool ToLinear, KernelFn K>
__attribute__((always_inline)) inline void convertBand(int gridW, int first, int end, void* dst,
                                                       const void* srcA, const FMParams& block) {
  const FMParams p = block;
  float4* d = static_cast<float4*>(dst);
  const float4* a = static_cast<const float4*>(srcA);
  const bool fast = !(ToLinear && (p.flags & FM_F_HIGHLIGHT));
  const int srgb = (p.flags & FM_F_SRGB) != 0;
  const float* tab = nullptr;
  if (p.flags & FM_F_LINEAR)
    tab = fm_curve_table(ToLinear ? (srgb ? FM_CURVE_SRGB_DECODE : FM_CURVE_GAMMA_DECODE)
                                  : (srgb ? FM_CURVE_SRGB_ENCODE : FM_CURVE_GAMMA_ENCODE));
  const int width = std::min(gridW, p.dW);
  for (int gy = first; gy < end; ++gy) {
    const int y = p.y0 + gy;
    if (y >= p.y1 || y >= p.dH) continue;
    float4* out = d + fm_idx(y) * p.dP;
    int x0 = 0, x1 = 0;  // the columns the fast path took
    const int64_t sy = int64_t(y) + p.ay;
    if (fast && (!ToLinear || (sy >= 0 && sy < p.aH))) {
      // Columns whose source pixel exists: [lo, hi).
      const int64_t lo = ToLinear ? std::max<int64_t>(0, -int64_t(p.ax)) : 0;
      const int64_t hi = ToLinear ? std::min<int64_t>(width, int64_t(p.aW) - p.ax) : width;
      x0 = int(std::min<int64_t>((lo + kLanes - 1) / kLanes * kLanes, width));
      x1 = std::max(x0, int(hi >= x0 ? x0 + (hi - x0) / kLanes * kLanes : x0));
      const float4* in = ToLinear ? a + fm_idx(sy) * p.aP + p.ax : out;
      for (int x = x0; x < x1; x += kLanes)
        if (!convertLanes<ToLinear>(in + x, out + x, tab))
          for (int k = x; k < x + kLanes; ++k) K(k, gy, d, a, nullptr, nullptr, p);
    }
    for (int gx = 0; gx < width; ++gx)
      if (gx < x0 || gx >= x1) K(gx, gy, d, a, nullptr, nullptr, p);
  }
  streamFence();
}

void runLensPrepBand(int gridW, int first, int end, void* dst, const void* srcA, const void*, const void*,
                     const FMParams& p) {
  convertBand<true, fm_lens_prep>(gridW, first, end, dst, srcA, p);
}

void runLensFinishBand(int gridW, int first, int end, void* dst, const void* srcA, const void*, const void*,
                       const FMParams& p) {
  convertBand<false, fm_lens_finish>(gridW, first, end, dst, srcA, p);
}

}  // namespace light
