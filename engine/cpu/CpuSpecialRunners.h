// CPU runners that process whole rows or strips of columns of one launch at once, part of the
// level body (CpuLevelBody.h). Each gives every destination pixel exactly the value the
// kernel's own work item gives it.
#pragma once

namespace special {


struct Images {
  float4* d;
  const float4* a;
  const float4* b;
  const float* t;
  explicit Images(const CpuLaunch& l)
      : d(static_cast<float4*>(l.dst)),
        a(static_cast<const float4*>(l.srcA)),
        b(static_cast<const float4*>(l.srcB)),
        t(static_cast<const float*>(l.tab)) {}
};

constexpr int kStrip = 64;   // widest column strip held in registers/L1 at once
constexpr int kTile = 256;   // pixels of a row accumulated together by the gather
constexpr int kAhead = 12;   // rows prefetched ahead by the column runner

// Rows y and y + 1 (same source length) through the box as fm_box_run would, one row per half
// of each pair: both slide the same box at the same positions. Results are streamed.
__attribute__((always_inline)) inline void boxRowPair(const Images& im, const FMParams& p, int gridW, int y,
                                                      int len) {
  const float4* r0 = im.a + fm_idx(y) * p.aP;
  const float4* r1 = r0 + p.aP;
  float4* d0 = im.d + fm_idx(y) * p.dP;
  float4* d1 = d0 + p.dP;
  const int n = p.n;
  const float frac = p.frac;
  auto sample = [&](int i) {
    const int j = fm_ax_index(i, len, p.mode, p.lo, p.hi);
    return j < 0 ? Pair{} : pairOf(r0[j], r1[j]);
  };
  const int dlo = fm_direct_lo(p.mode, p.lo), dhi = fm_direct_hi(p.mode, p.hi, len);
  const int wlo = p.lo + n + 1, whi = p.hi - n - 1;
  const float wInterior = fm_box_weight(wlo, n, frac, p.mode, p.lo, p.hi);
  for (int seg = 0; seg < gridW; ++seg) {
    const int s0 = seg * p.segLen;
    if (s0 >= p.dW) break;
    const int s1 = std::min(s0 + p.segLen, p.dW);
    Pair S = {};
    const int k1 = fm_box_first_hi(s0, n, p.mode, dhi);
    for (int k = fm_box_first_lo(s0, n, p.mode, dlo); k <= k1; ++k) S += sample(s0 + k);
    for (int i = s0; i < s1; ++i) {
      if (i > s0) {
        S += sample(i + n);
        S -= sample(i - n - 1);
      }
      Pair o = S;
      if (frac > 0.0f) o += (sample(i - n - 1) + sample(i + n + 1)) * frac;
      const float weight = (p.mode != FM_EDGE_INSIDE || (i >= wlo && i < whi))
                               ? wInterior
                               : fm_box_weight(i, n, frac, p.mode, p.lo, p.hi);
      const Pair v = weight > 0.0f ? o * (1.0f / weight) : Pair{};
      const float4* halves = reinterpret_cast<const float4*>(&v);
      streamStore(d0 + i, halves[0]);
      streamStore(d1 + i, halves[1]);
    }
  }
}

// fm_box_rows over rows [first, end), every row cut into segments as the work items cut it.
void runBoxRows(const CpuLaunch& l, int first, int end) {
  const Images im(l);
  const FMParams p = *l.p;
  auto rowLength = [&](int y) { return y < p.aH ? p.aW : 0; };
  for (int y = first; y < end; ++y) {
    if (y >= p.y1 || y >= p.dH) continue;
    const int len = rowLength(y);
    if (y + 1 < end && y + 1 < p.y1 && y + 1 < p.dH && rowLength(y + 1) == len && len > 0) {
      boxRowPair(im, p, l.gridW, y, len);
      ++y;
      continue;
    }
    // A row on its own: the work items' own run, streamed.
    float4* drow = im.d + fm_idx(y) * p.dP;
    for (int seg = 0; seg < l.gridW; ++seg) {
      const int s0 = seg * p.segLen;
      if (s0 >= p.dW) break;
      const int s1 = std::min(s0 + p.segLen, p.dW);
      FMBoxRun r = fm_box_begin(im.a, fm_idx(y) * p.aP, 1, len, s0, p.n, p.frac, p.mode, p.lo, p.hi);
      for (int i = s0; i < s1; ++i) streamStore(drow + i, fm_box_next(&r, im.a, i, i == s0));
    }
  }
  streamFence();
}

// fm_box_cols over the strip of columns [first, end), all segments: reads memory row by row
// across the strip instead of walking one column at a time.
void runBoxCols(const CpuLaunch& l, int first, int end) {
  const Images im(l);
  const FMParams p = *l.p;
  const int segments = std::min(p.y1, l.gridH);
  const int n = p.n;
  const float frac = p.frac;
  // The kernel's weight rule, which for a negative n is not the weight of each position.
  const int wlo = p.lo + n + 1, whi = p.hi - n - 1;
  const float wInterior = fm_box_weight(wlo, n, frac, p.mode, p.lo, p.hi);
  static const float4 kZeros[kStrip] = {};
  // Every column of a strip resolves a row index the same way, so rows are resolved once and
  // the strip is then updated with straight vector arithmetic; per pixel the operations are
  // exactly those of the kernel's own work item.
  for (int x0 = first; x0 < end; x0 += kStrip) {
    const int w = std::min(kStrip, end - x0);
    // Columns past the source read as transparent; they take the per-column path.
    const int inside = std::max(0, std::min(w, p.aW - x0));
    auto row = [&](int i) -> const float4* {
      const int j = fm_ax_index(i, p.aH, p.mode, p.lo, p.hi);
      return j < 0 ? kZeros : im.a + fm_idx(j) * p.aP + x0;
    };
    auto at = [&](const float4* r, int c) { return c < inside ? r[c] : f4z(); };
    float4 sum[kStrip];
    for (int seg = 0; seg < segments; ++seg) {
      const int s0 = seg * p.segLen;
      if (s0 >= p.dH) continue;
      const int s1 = std::min(s0 + p.segLen, p.dH);
      for (int c = 0; c < w; ++c) sum[c] = f4z();
      // Columns past the source read nothing at all, so the source's own rows decide.
      const int k1 = fm_box_first_hi(s0, n, p.mode, fm_direct_hi(p.mode, p.hi, p.aH));
      for (int k = fm_box_first_lo(s0, n, p.mode, fm_direct_lo(p.mode, p.lo)); k <= k1; ++k) {
        const float4* r = row(s0 + k);
        for (int c = 0; c < w; ++c) sum[c] += at(r, c);
      }
      for (int i = s0; i < s1; ++i) {
        // Each row of a strip is a short run in a different page, which the hardware
        // prefetcher does not follow: ask for the rows a few steps ahead.
        const float4* ahead = row(i + n + kAhead);
        if (ahead != kZeros)
          for (int c = 0; c < inside; c += 4) __builtin_prefetch(ahead + c);
        const float weight = (p.mode != FM_EDGE_INSIDE || (i >= wlo && i < whi))
                                 ? wInterior
                                 : fm_box_weight(i, n, frac, p.mode, p.lo, p.hi);
        const float4* left = frac > 0.0f ? row(i - n - 1) : kZeros;
        const float4* right = frac > 0.0f ? row(i + n + 1) : kZeros;
        float4* drow = im.d + fm_idx(i) * p.dP + x0;
        if (i > s0) {
          const float4* add = row(i + n);
          const float4* sub = row(i - n - 1);
          if (inside == w) {
            for (int c = 0; c < w; ++c) {
              float4 s = sum[c];
              s += add[c];
              s -= sub[c];
              sum[c] = s;
              streamStore(drow + c, fm_box_apply(s, left[c], right[c], frac, weight));
            }
            continue;
          }
          for (int c = 0; c < w; ++c) {
            sum[c] += at(add, c);
            sum[c] -= at(sub, c);
          }
        }
        for (int c = 0; c < w; ++c) streamStore(drow + c, fm_box_apply(sum[c], at(left, c), at(right, c), frac, weight));
      }
    }
  }
  streamFence();
}

// The prefix integral at X for an X strictly inside the row's plain range, where fm_pint takes
// neither edge branch: the same operations without the tests.
__attribute__((always_inline)) inline float4 interiorIntegral(const float4* row, float X) {
  const float fi = fm_floorf(X);
  const int i = int(fi);
  const float a = X - fi;
  return row[i] + (row[i + 1] - row[i]) * a;
}

// Four neighbouring pixels' interior spans in one wide vector: lane for lane the operations of
// interiorIntegral, so each pixel's sum is unchanged to the bit; the index arithmetic stays
// scalar, and the reads are one 64-byte load where the four cells are consecutive, as they
// nearly always are.
typedef float Quad __attribute__((vector_size(64)));

__attribute__((always_inline)) inline Quad quadAt(const float4* row, const int* i) {
  Quad q;
  if (i[1] == i[0] + 1 && i[2] == i[0] + 2 && i[3] == i[0] + 3) {
    std::memcpy(&q, row + i[0], sizeof q);
  } else {
    for (int k = 0; k < 4; ++k) std::memcpy(reinterpret_cast<float4*>(&q) + k, row + i[k], sizeof(float4));
  }
  return q;
}

__attribute__((always_inline)) inline Quad quadIntegral(const float4* row, const float* X) {
  int i[4];
  float a[4];
  for (int k = 0; k < 4; ++k) {
    const float fi = fm_floorf(X[k]);
    i[k] = int(fi);
    a[k] = X[k] - fi;
  }
  const Quad lo = quadAt(row, i), hi = quadAt(row + 1, i);
  const Quad f = {a[0], a[0], a[0], a[0], a[1], a[1], a[1], a[1],
                  a[2], a[2], a[2], a[2], a[3], a[3], a[3], a[3]};
  return lo + (hi - lo) * f;
}

__attribute__((always_inline)) inline void addInteriorQuad(float4* acc, const float4* P, int column, float xl,
                                                            float xr, float wt) {
  float R[4], L[4];
  for (int k = 0; k < 4; ++k) {
    const float xk = float(column + k) + 0.5f;  // the scalar path's X0
    R[k] = xk + xr;
    L[k] = xk + xl;
  }
  Quad sum;
  std::memcpy(&sum, acc, sizeof sum);
  sum += (quadIntegral(P, R) - quadIntegral(P, L)) * wt;
  std::memcpy(acc, &sum, sizeof sum);
}

// Adds one span, scaled by `wt`, to the sums of tile pixels [0, w) starting at column x0. Pixels
// whose two ends both lie strictly inside the plain range skip fm_span's edge tests; positions
// grow with the column, so those pixels form one run and only the few others take the kernel's
// path.
__attribute__((always_inline)) inline void addSpan(float4* acc, int w, int x0, const FMParams& p,
                                                   const float4* pre, int W, int H, int ys, int clampMode,
                                                   int dy, float xl, float xr, float wt) {
  int row = ys + dy;
  if (clampMode) row = fm_clampi(row, p.lo2, p.hi2 - 1);
  if (row < 0 || row >= H) {
    const float4 none = f4z() * wt;  // what the kernel adds for a row outside
    for (int c = 0; c < w; ++c) acc[c] += none;
    return;
  }
  const float4* P = pre + fm_idx(row) * p.aP;
  const float lowB = clampMode ? float(p.lo) : 0.0f, highB = clampMode ? float(p.hi) : float(W);
  auto X0 = [&](int c) { return float(x0 + c + p.ax) + 0.5f; };
  auto plain = [&](int c) {
    const float L = X0(c) + xl, R = X0(c) + xr;
    return L > lowB && L < highB && R > lowB && R < highB;
  };
  auto general = [&](int c) {
    acc[c] += fm_span(pre, p.aP, W, H, ys, dy, X0(c), xl, xr, clampMode, p.lo, p.hi, p.lo2, p.hi2) * wt;
  };
  int a = 0, b = w;
  while (a < b && !plain(a)) general(a++);
  while (b > a && !plain(b - 1)) general(--b);
  int c = a;
  for (; c + 4 <= b; c += 4) addInteriorQuad(acc + c, P, x0 + c + p.ax, xl, xr, wt);
  for (; c < b; ++c) {
    const float x = X0(c);
    acc[c] += (interiorIntegral(P, x + xr) - interiorIntegral(P, x + xl)) * wt;
  }
}

// fm_lens_gather with one radius (mode 0) over rows [first, end): spans outer, pixels inner,
// so each prefix row is read sequentially. A column of tiles is finished before the next, so the
// prefix rows of one tile's spans are still in cache for the row below, which needs all but one.
void runLensGatherConstant(const CpuLaunch& l, int first, int end) {
  const Images im(l);
  const FMParams p = *l.p;
  const int W = p.aW - 1, H = p.aH;
  const int clampMode = p.channel == FM_EDGE_CLAMP;
  const int width = std::min(l.gridW, p.dW);
  const int accum = p.flags & FM_F_ACCUM;
  float4 acc[kTile];
  for (int x0 = 0; x0 < width; x0 += kTile) {
    const int w = std::min(kTile, width - x0);
    for (int y = first; y < end; ++y) {
      const int ys = y + p.ay;
      float4* drow = im.d + fm_idx(y) * p.dP;
      for (int c = 0; c < w; ++c) acc[c] = f4z();
      for (int s = 0; s < p.count; ++s) {
        const float* sp = im.t + 4 * s;
        addSpan(acc, w, x0, p, im.a, W, H, ys, clampMode, int(sp[0]), sp[1], sp[2], sp[3]);
      }
      for (int c = 0; c < w; ++c) fm_store(drow, x0 + c, acc[c] * p.norm, accum);
    }
  }
}

}  // namespace special
