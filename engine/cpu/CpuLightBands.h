// Band runners for the conversions into and out of linear light (fm_lens_prep without
// highlights, fm_lens_finish), part of the level body (CpuLevelBody.h). With 512-bit vectors
// four pixels go at once: lane for lane the kernels' divisions, square roots and table
// lookups. Pixels the fast path does not cover (transparent, over-range, read past the source)
// take the kernel's own work item.
#pragma once

namespace light {

#if FM_CPU_LANES == 16 && defined(FM_F4_NATIVE)
constexpr bool kWide = true;
constexpr __mmask16 kColour = 0x7777, kAlpha = 0x8888, kAll = 0xFFFF;

// fm_curve_lookup on the colour lanes of four pixels.
__attribute__((always_inline)) inline __m512 lookup(const float* tab, __m512 f) {
  // The masked forms throughout: the plain ones start from an undefined vector, which this
  // compiler then reports as maybe uninitialised.
  const __m512 fi = _mm512_mask_roundscale_ps(f, kAll, f, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  const __m512i zero = _mm512_setzero_si512();
  const __m512i t = _mm512_mask_cvttps_epi32(zero, kAll, fi);
  const __m512i i = _mm512_mask_min_epi32(zero, kAll, t, _mm512_set1_epi32(FM_CURVE_N - 1));
  const __m512 a = _mm512_sub_ps(f, _mm512_mask_cvtepi32_ps(f, kAll, i));
  // Only the colour lanes read the table: an alpha lane may hold anything (NaN from inf / inf).
  const __m512 t0 = _mm512_mask_i32gather_ps(f, kColour, i, tab, 4);
  const __m512 t1 = _mm512_mask_i32gather_ps(f, kColour, _mm512_add_epi32(i, _mm512_set1_epi32(1)), tab, 4);
  return _mm512_add_ps(t0, _mm512_mul_ps(_mm512_sub_ps(t1, t0), a));
}

// Whether every colour lane lies in [0, 1], where the kernels take the table.
__attribute__((always_inline)) inline bool inTableRange(__m512 v) {
  const __mmask16 in = _mm512_mask_cmp_ps_mask(kColour, v, _mm512_setzero_ps(), _CMP_GE_OQ) &
                       _mm512_mask_cmp_ps_mask(kColour, v, _mm512_set1_ps(1.0f), _CMP_LE_OQ);
  return in == kColour;
}

// Straight colour of four pixels whose alphas are in (0, 1] into linear light, or back, and
// premultiplied: the colour lanes converted, the alpha lanes the alpha.
__attribute__((always_inline)) inline bool convertFour(const float4* in, float4* out, bool toLinear, int srgb) {
  const __m512 c = _mm512_loadu_ps(reinterpret_cast<const float*>(in));
  const __m512 a = _mm512_mask_permute_ps(c, kAll, c, 0xFF);  // each pixel's alpha in its four lanes
  const __mmask16 usable = toLinear ? _mm512_mask_cmp_ps_mask(kAlpha, a, _mm512_setzero_ps(), _CMP_GT_OQ)
                                    : _mm512_mask_cmp_ps_mask(kAlpha, a, _mm512_set1_ps(1e-7f), _CMP_GT_OQ) &
                                          _mm512_mask_cmp_ps_mask(kAlpha, a, _mm512_set1_ps(1.0f), _CMP_LE_OQ);
  if (usable != kAlpha) return false;
  // Into linear light the kernel divides by alpha; out of it, it multiplies by 1 / alpha.
  const __m512 straight =
      toLinear ? _mm512_div_ps(c, a) : _mm512_mul_ps(c, _mm512_div_ps(_mm512_set1_ps(1.0f), a));
  if (!inTableRange(straight)) return false;
  __m512 f = _mm512_mask_sqrt_ps(straight, kAll, straight);
  if (!toLinear) f = _mm512_mask_sqrt_ps(f, kAll, f);
  f = _mm512_mul_ps(f, _mm512_set1_ps(float(FM_CURVE_N)));
  const int which = toLinear ? (srgb ? FM_CURVE_SRGB_DECODE : FM_CURVE_GAMMA_DECODE)
                             : (srgb ? FM_CURVE_SRGB_ENCODE : FM_CURVE_GAMMA_ENCODE);
  const __m512 v = _mm512_mul_ps(lookup(fm_curve_table(which), f), a);
  const __m512 result = _mm512_mask_blend_ps(kAlpha, v, a);
  if ((reinterpret_cast<uintptr_t>(out) & 63) == 0)
    _mm512_stream_ps(reinterpret_cast<float*>(out), result);
  else
    _mm512_storeu_ps(reinterpret_cast<float*>(out), result);
  return true;
}
#else
constexpr bool kWide = false;
inline bool convertFour(const float4*, float4*, bool, int) { return false; }
#endif

// Rows [first, end) of one of the two kernels; `ToLinear` picks fm_lens_prep.
template <bool ToLinear, KernelFn K>
__attribute__((always_inline)) inline void convertBand(int gridW, int first, int end, void* dst,
                                                       const void* srcA, const FMParams& block) {
  const FMParams p = block;
  float4* d = static_cast<float4*>(dst);
  const float4* a = static_cast<const float4*>(srcA);
  const bool fast = kWide && (p.flags & FM_F_LINEAR) && !(ToLinear && (p.flags & FM_F_HIGHLIGHT));
  const int srgb = (p.flags & FM_F_SRGB) != 0;
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
      x0 = int(std::min<int64_t>((lo + 3) / 4 * 4, width));
      x1 = std::max(x0, int(hi >= x0 ? x0 + (hi - x0) / 4 * 4 : x0));
      const float4* in = ToLinear ? a + fm_idx(sy) * p.aP + p.ax : out;
      for (int x = x0; x < x1; x += 4)
        if (!convertFour(in + x, out + x, ToLinear, srgb))
          for (int k = x; k < x + 4; ++k) K(k, gy, d, a, nullptr, nullptr, p);
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
