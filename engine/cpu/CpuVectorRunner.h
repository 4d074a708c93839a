// The CPU's band runners for fm_vector and fm_vec_scalar, part of the level body
// (CpuLevelBody.h). At the AVX2 and AVX-512 levels a vector's worth of neighbouring pixels walk
// their lines together, one sample of each per step, and take their map values together; every
// pixel still sees the kernel's operations in its order, so results are unchanged to the bit.
#pragma once

namespace vecblur {

#if FM_CPU_LANES >= 8
// fm_map_channel lane by lane for the channels that need no division; false for hue and
// saturation.
FM_LANE_FN bool mapChannel(const Pixels& m, int channel, Lf& v) {
  switch (channel) {
    case FM_CH_RED: v = m.x; return true;
    case FM_CH_GREEN: v = m.y; return true;
    case FM_CH_BLUE: v = m.z; return true;
    case FM_CH_ALPHA: v = m.w; return true;
    case FM_CH_LUMINANCE: v = 0.299f * m.x + 0.587f * m.y + 0.114f * m.z; return true;
    case FM_CH_LIGHTNESS: v = 0.5f * (lmax(m.x, lmax(m.y, m.z)) + lmin(m.x, lmin(m.y, m.z))); return true;
    default: return false;
  }
}

// fm_vec_scalar for kLanes pixels from column x of row y, the bilinear formula taken channel
// by channel in each lane. False, with nothing written, where a sample is not wholly inside
// the source (fm_bilin0's edge path).
FM_LANE_FN bool scalarLanes(float4* out, const float4* src, const FMParams& p, int x, int y) {
  Lf mx = (toFloat(li(x) + laneIndex()) + 0.5f) * p.g0 + p.g1;
  float my = (float(y) + 0.5f) * p.g2 + p.g3;
  if (p.mode == 1) {
    mx = lclamp(mx, lf(float(p.lo) + 0.5f), lf(float(p.hi) - 0.5f));
    my = fm_clampf(my, float(p.lo2) + 0.5f, float(p.hi2) - 0.5f);
  }
  bilinear::Samples s;
  if (!bilinear::interior(mx - 0.5f, lf(my - 0.5f), p.aW, p.aH, p.aP, s)) return false;
  const Pixels a = gatherPixels(src, s.offset), b = gatherPixels(src + 1, s.offset);
  const Pixels c = gatherPixels(src + p.aP, s.offset), d = gatherPixels(src + p.aP + 1, s.offset);
  const Lf bx = 1.0f - s.ax, by = 1.0f - s.ay;
  auto blend = [&](Lf Pixels::*ch) {
    return (a.*ch * bx + b.*ch * s.ax) * by + (c.*ch * bx + d.*ch * s.ax) * s.ay;
  };
  const Pixels m{blend(&Pixels::x), blend(&Pixels::y), blend(&Pixels::z), blend(&Pixels::w)};
  Lf v;
  if (!mapChannel(m, p.channel, v)) {
    for (int k = 0; k < kLanes; ++k) v[k] = fm_map_channel(make_f4(m.x[k], m.y[k], m.z[k], m.w[k]), p.channel);
  }
  storePixels(out, Pixels{v, Lf{}, Lf{}, Lf{}});
  return true;
}

// The lines of kLanes neighbouring pixels, as fm_vector_line draws them from the map's
// gradient, lane by lane; a pixel on a flat part of the map keeps its source value (bit k of
// `keep`). False, with nothing set, for the direction types, and where a pixel's neighbours
// along x would be clamped at the map's edges.
FM_LANE_FN bool gradientLines(const float4* map, const FMParams& p, int x, int y, Lf& ox, Lf& oy, Li& centred,
                              unsigned& keep) {
  if (p.mode == FM_VEC_DIR_CENTER || p.mode == FM_VEC_DIR_FADING) return false;
  const int64_t sx = int64_t(x) + p.bx;
  if (sx < 1 || sx + kLanes >= p.bW) return false;
  const int sy = fm_clampi(y + p.by, 0, p.bH - 1);
  const int ym = fm_maxi(sy - 1, 0), yp = fm_mini(sy + 1, p.bH - 1);
  const float4* row = map + fm_idx(sy) * p.bP + sx;
  const Lf left = loadPixels(row - 1).x, right = loadPixels(row + 1).x;
  const Lf up = loadPixels(map + fm_idx(ym) * p.bP + sx).x, down = loadPixels(map + fm_idx(yp) * p.bP + sx).x;
  const Lf gx = (right - left) / 2.0f * p.g1;
  const Lf gy = (down - up) / float(fm_maxi(yp - ym, 1)) * p.g2;
  const Lf slope = lsqrt(gx * gx + gy * gy);
  const Li sloped = slope > 1e-12f;
  Lf nx = gx / slope, ny = gy / slope;
  if (p.mode == FM_VEC_PERPENDICULAR) {
    const Lf t = nx;
    nx = -ny;
    ny = t;
  }
  const Lf vx = p.g3 * nx - p.g4 * ny, vy = p.g4 * nx + p.g3 * ny;
  const Lf len = p.g0 * lmin(lf(1.0f), slope / fm_maxf(p.g5, 1e-7f));
  ox = select(sloped, vx * len * p.g1, lf(0.0f));
  oy = select(sloped, vy * len * p.g2, lf(0.0f));
  centred = li(p.mode != FM_VEC_NATURAL ? -1 : 0);
  keep = laneMask(~sloped) & ((1u << kLanes) - 1);
  return true;
}

// The samples of kLanes pixels along their lines into sums, in the work item's order; the sum
// of their weights. Unit: every weight is 1 (no fading). Samples go in blocks, positions and
// offsets of a whole block first, so that no sample's loads wait on its address arithmetic.
template <bool Unit>
FM_LANE_FN float walkLine(bilinear::Sums& sums, const float4* a, const FMParams& p, int x, int y, Lf OX, Lf OY,
                          Li centred) {
  constexpr int kBlock = 4;
  const Lf X0 = toFloat(li(x) + laneIndex()), Y0 = lf(float(y));
  const int ns = fm_maxi(p.n, 2);
  float wsum = 0.0f;
  auto position = [&](int k, Lf& X, Lf& Y) {
    const float t = float(k) / float(ns - 1);
    const Lf u = select(centred, lf(t - 0.5f), lf(-t));
    X = X0 + OX * u;
    Y = Y0 + OY * u;
    return Unit ? 1.0f : 1.0f - t;
  };
  int k = 0;
  for (; k + kBlock <= ns; k += kBlock) {
    Lf X[kBlock], Y[kBlock];
    float w[kBlock];
    bilinear::Samples s[kBlock];
    bool inside = true;
    for (int j = 0; j < kBlock; ++j) {
      w[j] = position(k + j, X[j], Y[j]);
      inside &= bilinear::interior(X[j], Y[j], p.aW, p.aH, p.aP, s[j]);
    }
    for (int j = 0; j < kBlock; ++j) {
      if (w[j] <= 0.0f) continue;
      if (inside)
        bilinear::add<Unit>(sums, a, p.aP, s[j], w[j]);
      else
        bilinear::addAnywhere<Unit>(sums, a, p.aW, p.aH, p.aP, X[j], Y[j], w[j]);
      wsum += w[j];
    }
  }
  for (; k < ns; ++k) {
    Lf X, Y;
    const float w = position(k, X, Y);
    if (w <= 0.0f) continue;
    bilinear::addAnywhere<Unit>(sums, a, p.aW, p.aH, p.aP, X, Y, w);
    wsum += w;
  }
  return wsum;
}

void lanePixels(float4* d, const float4* a, const float4* b, const FMParams& p, int x, int y) {
  Lf OX, OY;
  Li centred = li(0);
  unsigned keep = 0;  // pixels that keep their source value
  if (!gradientLines(b, p, x, y, OX, OY, centred, keep)) {
    float ox[kLanes], oy[kLanes];
    for (int k = 0; k < kLanes; ++k) {
      int c = 0;
      if (!fm_vector_line(b, x + k, y, &p, &ox[k], &oy[k], &c)) {
        keep |= 1u << k;
        ox[k] = oy[k] = 0.0f;
      }
      centred[k] = c ? -1 : 0;
    }
    OX = loadLanes(ox);
    OY = loadLanes(oy);
  }
  bilinear::Sums sums;
  const float wsum = p.mode == FM_VEC_DIR_FADING ? walkLine<false>(sums, a, p, x, y, OX, OY, centred)
                                                 : walkLine<true>(sums, a, p, x, y, OX, OY, centred);
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

#if FM_CPU_LANES >= 8
void runVecScalarBand(int gridW, int first, int end, void* dst, const void* srcA, const void*, const void*,
                      const FMParams& block) {
  const FMParams p = block;  // a local block: fields stay in registers across pixel stores
  float4* d = static_cast<float4*>(dst);
  const float4* a = static_cast<const float4*>(srcA);
  const int width = std::min(gridW, p.dW);  // items past the destination do nothing
  const bool wide = bilinear::offsetsFit(p.aP, p.aH);
  for (int gy = first; gy < end; ++gy) {
    const int y = p.y0 + gy;
    if (y >= p.y1 || y >= p.dH) continue;
    float4* out = d + fm_idx(y) * p.dP;
    int x = 0;
    if (wide)
      for (; x + kLanes <= width; x += kLanes)
        if (!scalarLanes(out + x, a, p, x, y))
          for (int k = x; k < x + kLanes; ++k) fm_vec_scalar(k, gy, d, a, nullptr, nullptr, p);
    for (; x < width; ++x) fm_vec_scalar(x, gy, d, a, nullptr, nullptr, p);
  }
}
#endif

}  // namespace vecblur
