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

// Pixels of a row accumulated together by the gather: few, so that the parts of the prefix rows
// a tile's spans read stay in the cache from one of its rows to the next.
constexpr int kTile = 64;
constexpr int kSpanBlock = 8;  // spans a vector of sums takes before going back to memory

// The prefix integral at X for an X strictly inside the row's plain range, where fm_pint takes
// neither edge branch: the same operations without the tests.
__attribute__((always_inline)) inline float4 interiorIntegral(const float4* row, float X) {
  const float fi = fm_floorf(X);
  const int i = int(fi);
  const float a = X - fi;
  return row[i] + (row[i + 1] - row[i]) * a;
}

#if FM_CPU_LANES == 16
// Four neighbouring pixels' interior spans in one 512-bit vector, lane for lane the operations of
// interiorIntegral, so each pixel's sum is unchanged to the bit. Positions, floors and
// fractions are computed in the vector too (each pixel's value repeated over its four lanes);
// the reads are one 64-byte load where the four cells are consecutive, as they nearly always
// are.
typedef float Quad __attribute__((vector_size(64)));
typedef int QuadI __attribute__((vector_size(64)));

constexpr Quad kQuadLane = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};

__attribute__((always_inline)) inline Quad quadAt(const float4* row, const QuadI& i) {
  const int i0 = i[0];
  Quad q;
  if (i[4] == i0 + 1 && i[8] == i0 + 2 && i[12] == i0 + 3) {
    std::memcpy(&q, row + i0, sizeof q);
  } else {
    for (int k = 0; k < 4; ++k) std::memcpy(reinterpret_cast<float4*>(&q) + k, row + i[4 * k], sizeof(float4));
  }
  return q;
}

// row's integral at X: X holds each pixel's position, finite and inside the row.
__attribute__((always_inline)) inline Quad quadIntegral(const float4* row, Quad X) {
  // floor: truncation, one less where that rounded a negative position up
  QuadI i = __builtin_convertvector(X, QuadI);
  i += reinterpret_cast<QuadI>(__builtin_convertvector(i, Quad) > X);
  const Quad a = X - __builtin_convertvector(i, Quad);
  const Quad lo = quadAt(row, i), hi = quadAt(row + 1, i);
  return lo + (hi - lo) * a;
}

// What one span adds to four pixels from `column`, before its weight.
__attribute__((always_inline)) inline Quad quadSpan(const float4* row, int column, float xl, float xr) {
  const Quad xk = (float(column) + kQuadLane) + 0.5f;  // the scalar path's X0, exact
  return quadIntegral(row, xk + xr) - quadIntegral(row, xk + xl);
}

__attribute__((always_inline)) inline void addInteriorQuad(float4* acc, const float4* P, int column, float xl,
                                                            float xr, float wt) {
  Quad sum;
  std::memcpy(&sum, acc, sizeof sum);
  sum += quadSpan(P, column, xl, xr) * wt;
  std::memcpy(acc, &sum, sizeof sum);
}
#endif

// Whether a span from L to R lies strictly inside the plain range (lowB, highB), where fm_span
// takes neither edge branch.
__attribute__((always_inline)) inline bool plainSpan(float L, float R, float lowB, float highB) {
  return L > lowB && L < highB && R > lowB && R < highB;
}

// What one span, scaled by `wt`, adds to `count` pixels from `column` whose two ends lie strictly
// inside the plain range.
__attribute__((always_inline)) inline void addInteriorRun(float4* acc, const float4* P, int column, int count,
                                                           float xl, float xr, float wt) {
  int c = 0;
#if FM_CPU_LANES == 16
  for (; c + 4 <= count; c += 4) addInteriorQuad(acc + c, P, column + c, xl, xr, wt);
#endif
  for (; c < count; ++c) {
    const float x = float(column + c) + 0.5f;  // fm_span's X0
    acc[c] += (interiorIntegral(P, x + xr) - interiorIntegral(P, x + xl)) * wt;
  }
}

#if FM_CPU_LANES >= 8
// One end of a span for kLanes neighbouring pixels, at positions X. Where they are exactly
// X[0], X[0] + 1, ..., as they are unless the pixels straddle a power of two, every lane has
// the same cell fraction and the cells are consecutive: interiorIntegral's floor and fraction
// are taken once, and the interpolation weight is the same in every lane. False otherwise.
struct LaneEnd {
  int cell;
  Lf frac;
};

// Whether a and b share their sign and exponent, positive and below 2^24: between them, steps
// of 1 from a are exact. (A rounded step could equal a position whose fraction differs.)
FM_LANE_FN bool sameBinade(float a, float b) {
  uint32_t u, v;
  std::memcpy(&u, &a, sizeof a);
  std::memcpy(&v, &b, sizeof b);
  return u >> 23 == v >> 23 && u >> 23 < 127 + 24;
}

FM_LANE_FN bool laneEnd(Lf X, LaneEnd& e) {
  const float x = X[0];
  if (!sameBinade(x, X[kLanes - 1]) || !allLanes(X == x + toFloat(laneIndex()))) return false;
  const float fi = fm_floorf(x);
  e.cell = int(fi);
  e.frac = lf(x - fi);
  return true;
}

// The integrals at the end of bilinear::kPer of the pixels (vector q).
FM_LANE_FN Lf endIntegral(const float4* row, const LaneEnd& e, int q) {
  const Lf lo = loadLanes(row + e.cell + bilinear::kPer * q), hi = loadLanes(row + e.cell + bilinear::kPer * q + 1);
  return lo + (hi - lo) * e.frac;
}

// Where both ends of a span stay in one binade over a whole run of columns, every group of the
// run has the same fractions, and its cells lie as far on from the first group's as its column:
// taken once per run.
struct RunEnds {
  int cellR, cellL;
  float fracR, fracL;
  bool whole;
};

// The ends of span s (positions xl, xr) for the kLanes-pixel groups of columns [first, last]:
// whole when the first group's first position and the last group's last one share a binade,
// below 2^24, so every position is the first plus its distance, exactly.
FM_LANE_FN RunEnds runEnds(float xl, float xr, int first, int last) {
  RunEnds e{};
  const float x0 = float(first) + 0.5f, x1 = float(last) + 0.5f;  // fm_span's X0, exact
  const Lf xk = toFloat(laneIndex()) + x0;
  LaneEnd r, l;
  e.whole = sameBinade(x0 + xr, x1 + xr) && sameBinade(x0 + xl, x1 + xl) && laneEnd(xk + xr, r) &&
            laneEnd(xk + xl, l);
  if (e.whole) {
    e.cellR = r.cell;
    e.cellL = l.cell;
    e.fracR = r.frac[0];
    e.fracL = l.frac[0];
  }
  return e;
}

// Adds spans [s0, s1) to the sums of kLanes pixels from `column` (acc), in order, each as
// addInteriorRun would add it; `ends` are the spans' ends over the run, whose first group this
// one follows by `shift` columns.
__attribute__((always_inline)) inline void addSpansLanes(float4* acc, bool fresh, const float4* const* rowOf,
                                                         const float* tab, int s0, int s1, int column,
                                                         const RunEnds* ends, int shift) {
  // Sums stay in registers: they are stored and loaded only around the rare span that takes
  // addInteriorRun (an array whose address is taken would live on the stack).
  Lf sum[4];
#pragma GCC unroll 4
  for (int q = 0; q < 4; ++q) sum[q] = fresh ? Lf{} : loadLanes(acc + bilinear::kPer * q);
  const Lf xk = (float(column) + toFloat(laneIndex())) + 0.5f;  // fm_span's X0, exact
  for (int s = s0; s < s1; ++s) {
    const float* sp = tab + 4 * s;
    const float4* P = rowOf[s];
    LaneEnd r, l;
    bool plain = ends[s].whole;
    if (plain) {
      r = LaneEnd{ends[s].cellR + shift, lf(ends[s].fracR)};
      l = LaneEnd{ends[s].cellL + shift, lf(ends[s].fracL)};
    } else {
      plain = laneEnd(xk + sp[2], r) && laneEnd(xk + sp[1], l);
    }
    if (plain) {
      const Lf w = lf(sp[3]);
#pragma GCC unroll 4
      for (int q = 0; q < 4; ++q) sum[q] += (endIntegral(P, r, q) - endIntegral(P, l, q)) * w;
    } else {
#pragma GCC unroll 4
      for (int q = 0; q < 4; ++q) storeLanes(acc + bilinear::kPer * q, sum[q]);
      addInteriorRun(acc, P, column, kLanes, sp[1], sp[2], sp[3]);
#pragma GCC unroll 4
      for (int q = 0; q < 4; ++q) sum[q] = loadLanes(acc + bilinear::kPer * q);
    }
  }
#pragma GCC unroll 4
  for (int q = 0; q < 4; ++q) storeLanes(acc + bilinear::kPer * q, sum[q]);
}
#endif

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
  auto plain = [&](int c) { return plainSpan(X0(c) + xl, X0(c) + xr, lowB, highB); };
  auto general = [&](int c) {
    acc[c] += fm_span(pre, p.aP, W, H, ys, dy, X0(c), xl, xr, clampMode, p.lo, p.hi, p.lo2, p.hi2) * wt;
  };
  int a = 0, b = w;
  while (a < b && !plain(a)) general(a++);
  while (b > a && !plain(b - 1)) general(--b);
  addInteriorRun(acc + a, P, x0 + a + p.ax, b - a, xl, xr, wt);
}

// Rows of a tile whose spans do not all read a row of the source (the top and bottom edges of
// a gather that reads zeros outside): spans outer, pixels inner, each pixel's sum in span order.
void gatherSpanBySpan(float4* acc, int w, int x0, const FMParams& p, const float4* pre, const float* tab, int W,
                      int H, int ys, int clampMode) {
  for (int c = 0; c < w; ++c) acc[c] = f4z();
  for (int s = 0; s < p.count; ++s) {
    const float* sp = tab + 4 * s;
    addSpan(acc, w, x0, p, pre, W, H, ys, clampMode, int(sp[0]), sp[1], sp[2], sp[3]);
  }
}

// fm_lens_gather with one radius (mode 0) over rows [first, end). With 256- and 512-bit vectors,
// kLanes pixels at a time take a block of spans into sums held in registers; the prefix rows'
// cache lines they read are read again by the next pixels, and a small block keeps few such
// streams going at once. Other pixels of the run take the block span by span. A column of tiles
// is finished before the next, so the prefix rows of one tile's spans are still in cache for the
// row below, which needs all but one.
void runLensGatherConstant(const CpuLaunch& l, int first, int end) {
  const Images im(l);
  const FMParams p = *l.p;
  const int W = p.aW - 1, H = p.aH;
  const int clampMode = p.channel == FM_EDGE_CLAMP;
  const int width = std::min(l.gridW, p.dW);
  const int accum = p.flags & FM_F_ACCUM;
  const int count = std::max(p.count, 0);
  const float lowB = clampMode ? float(p.lo) : 0.0f, highB = clampMode ? float(p.hi) : float(W);
  std::vector<const float4*> rowOf(static_cast<size_t>(count));
#if FM_CPU_LANES >= 8
  std::vector<RunEnds> runs(static_cast<size_t>(count));
#endif
  float4 acc[kTile];
  for (int x0 = 0; x0 < width; x0 += kTile) {
    const int w = std::min(kTile, width - x0);
    auto X0 = [&](int c) { return float(x0 + c + p.ax) + 0.5f; };
    // Columns [qa, qb) of the tile, where every span's two ends lie strictly inside the plain
    // range: each span's own such columns are one run, as positions grow with the column.
    int qa = 0, qb = w;
    for (int s = 0; s < count && qa < qb; ++s) {
      const float xl = im.t[4 * s + 1], xr = im.t[4 * s + 2];
      auto plain = [&](int c) { return plainSpan(X0(c) + xl, X0(c) + xr, lowB, highB); };
      while (qa < qb && !plain(qa)) ++qa;
      while (qb > qa && !plain(qb - 1)) --qb;
    }
#if FM_CPU_LANES >= 8
    const int groups = (qb - qa) / kLanes, runFirst = x0 + qa + p.ax;
    if (groups > 0)
      for (int s = 0; s < count; ++s)
        runs[size_t(s)] = runEnds(im.t[4 * s + 1], im.t[4 * s + 2], runFirst, runFirst + groups * kLanes - 1);
#endif
    for (int y = first; y < end; ++y) {
      const int ys = y + p.ay;
      bool inside = qb > qa && count > 0;
      for (int s = 0; s < count && inside; ++s) {
        int row = ys + int(im.t[4 * s]);
        if (clampMode) row = fm_clampi(row, p.lo2, p.hi2 - 1);
        inside = row >= 0 && row < H;
        if (inside) rowOf[size_t(s)] = im.a + fm_idx(row) * p.aP;
      }
      if (!inside) {
        gatherSpanBySpan(acc, w, x0, p, im.a, im.t, W, H, ys, clampMode);
      } else {
        // Pixels outside the run take the kernel's own spans.
        auto edge = [&](int c) {
          float4 sum = f4z();
          for (int s = 0; s < count; ++s) {
            const float* sp = im.t + 4 * s;
            sum += fm_span(im.a, p.aP, W, H, ys, int(sp[0]), X0(c), sp[1], sp[2], clampMode, p.lo, p.hi, p.lo2,
                           p.hi2) * sp[3];
          }
          acc[c] = sum;
        };
        for (int c = 0; c < qa; ++c) edge(c);
        for (int c = qb; c < w; ++c) edge(c);
        for (int s0 = 0; s0 < count; s0 += kSpanBlock) {
          const int s1 = std::min(count, s0 + kSpanBlock);
          int c = qa;
#if FM_CPU_LANES >= 8
          for (; c + kLanes <= qb; c += kLanes)
            addSpansLanes(acc + c, s0 == 0, rowOf.data(), im.t, s0, s1, x0 + c + p.ax, runs.data(), c - qa);
#endif
          if (c == qb) continue;
          if (s0 == 0)
            for (int k = c; k < qb; ++k) acc[k] = f4z();
          for (int s = s0; s < s1; ++s) {
            const float* sp = im.t + 4 * s;
            addInteriorRun(acc + c, rowOf[size_t(s)], x0 + c + p.ax, qb - c, sp[1], sp[2], sp[3]);
          }
        }
      }
      float4* drow = im.d + fm_idx(y) * p.dP;
      for (int c = 0; c < w; ++c) fm_store(drow, x0 + c, acc[c] * p.norm, accum);
    }
  }
}

}  // namespace special
