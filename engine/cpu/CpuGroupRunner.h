// The CPU's runners for the group pass (fm_group), part of the level body (CpuLevelBody.h): the
// translation runner, and the band runner for rotations and scalings.
#pragma once

namespace group {

constexpr int kTile = 64;  // columns accumulated together: their sums stay in L1
constexpr int kRows = 4;   // rows of a chunk that share their interpolated source rows

// Where each column of a tile samples along x for one tap, computed as the kernel's work item
// computes it. A tap's x position does not depend on the row, so this is done once per chunk.
struct TapColumns {
  int ix[kTile];     // left source column
  float a1[kTile];   // weight of the right column (the kernel's ax)
  float a0[kTile];   // 1 - ax
  int lo = 0, hi = 0;      // columns whose sample lies inside (-1, aW): the others read zero
  int inLo = 0, inHi = 0;  // of those, the columns whose two source columns are in the image
};

// The kernel's x position of column c of a tap, and whether its sample lies inside the source.
float columnX(int c, float shift) { return (float(c) + 0.5f + shift) - 0.5f; }
bool insideX(float X, float w) { return X > -1.0f && X < w; }

void findColumns(TapColumns& tc, int x0, int n, float shift, int aW) {
  const float w = float(aW);
  // Two branch-free loops, so that both vectorise: a conversion that follows a selection in
  // the same loop is not if-converted while floating-point traps are honoured.
  float xs[kTile];
  for (int c = 0; c < n; ++c) {
    const float X = columnX(x0 + c, shift);
    // Positions outside read nothing; zero keeps the conversion below defined (no NaN, no
    // huge value) without changing the valid ones.
    xs[c] = ((X > -1.0f) & (X < w)) ? X : 0.0f;
  }
  for (int c = 0; c < n; ++c) {
    // Floor by truncation: equal to floorf on the valid range.
    const int t = int(xs[c]);
    const int i = t - (float(t) > xs[c] ? 1 : 0);
    tc.ix[c] = i;
    tc.a1[c] = xs[c] - float(i);
    tc.a0[c] = 1.0f - tc.a1[c];
  }
  // Positions grow with the column, so each set is one run of columns, and a run that holds
  // both ends of the tile holds all of it: only tiles at the source's edges need a search.
  auto valid = [&](int c) { return insideX(columnX(x0 + c, shift), w); };
  auto interior = [&](int c) { return tc.ix[c] >= 0 && tc.ix[c] + 1 < aW; };
  int lo = 0, hi = n;
  if (!(valid(0) && valid(n - 1))) {
    while (lo < n && !valid(lo)) ++lo;
    hi = lo;
    while (hi < n && valid(hi)) ++hi;
  }
  int inLo = lo, inHi = hi;
  if (lo < hi && !(interior(lo) && interior(hi - 1))) {
    while (inLo < hi && !interior(inLo)) ++inLo;
    inHi = inLo;
    while (inHi < hi && interior(inHi)) ++inHi;
  }
  tc.lo = lo;
  tc.hi = hi;
  tc.inLo = inLo;
  tc.inHi = inHi;
}

// Where one row samples along y for one tap.
struct TapRow {
  bool valid;  // the sample lies inside (-1, aH); otherwise the tap adds nothing
  int iy;      // top source row
  float a1;    // the kernel's ay
  float a0;    // 1 - ay
};

TapRow findRow(int y, float shift, int aH) {
  TapRow r{};
  const float py = float(y) + 0.5f;
  const float Y = (py + shift) - 0.5f;
  r.valid = Y > -1.0f && Y < float(aH);
  if (!r.valid) return r;
  const float fy = fm_floorf(Y);
  r.iy = int(fy);
  r.a1 = Y - fy;
  r.a0 = 1.0f - r.a1;
  return r;
}

struct Source {
  const float4* px;
  int w, h, pitch;
  const float4* row(int y) const { return px + fm_idx(y) * pitch; }
};

// The kernel's bilinear formula with every neighbour fetched under the edge rule.
float4 edgeSample(const Source& s, int ix, int iy, float ax0, float ax1, float ay0, float ay1) {
  const float4 a = fm_fetch0(s.px, s.w, s.h, s.pitch, ix, iy);
  const float4 b = fm_fetch0(s.px, s.w, s.h, s.pitch, ix + 1, iy);
  const float4 c = fm_fetch0(s.px, s.w, s.h, s.pitch, ix, iy + 1);
  const float4 d = fm_fetch0(s.px, s.w, s.h, s.pitch, ix + 1, iy + 1);
  return (a * ax0 + b * ax1) * ay0 + (c * ax0 + d * ax1) * ay1;
}

void addEdgeColumns(float4* acc, const Source& s, const TapColumns& tc, int from, int to, const TapRow& r,
                    float weight) {
  for (int c = from; c < to; ++c)
    acc[c] += edgeSample(s, tc.ix[c], r.iy, tc.a0[c], tc.a1[c], r.a0, r.a1) * weight;
}

// R rows whose top source rows are consecutive, all R + 1 of them inside the image: each source
// row is interpolated along x once and serves the two output rows that read it.
template <int R>
void addInterior(float4 (*acc)[kTile], const TapColumns& tc, const float4* top, int pitch, const TapRow* rows,
                 float weight) {
  for (int c = tc.inLo; c < tc.inHi; ++c) {
    const float4* q = top + tc.ix[c];
    const float ax0 = tc.a0[c], ax1 = tc.a1[c];
    float4 upper = q[0] * ax0 + q[1] * ax1;
#pragma GCC unroll 4
    for (int j = 0; j < R; ++j) {
      q += pitch;
      const float4 lower = q[0] * ax0 + q[1] * ax1;
      acc[j][c] += (upper * rows[j].a0 + lower * rows[j].a1) * weight;
      upper = lower;
    }
  }
}

void addInteriorRows(float4 (*acc)[kTile], int count, const TapColumns& tc, const float4* top, int pitch,
                     const TapRow* rows, float weight) {
  switch (count) {
    case 1: return addInterior<1>(acc, tc, top, pitch, rows, weight);
    case 2: return addInterior<2>(acc, tc, top, pitch, rows, weight);
    case 3: return addInterior<3>(acc, tc, top, pitch, rows, weight);
    default: return addInterior<4>(acc, tc, top, pitch, rows, weight);
  }
}

// One tap over a block of `count` rows (1 to kRows) starting at row y of a tile.
void addTap(float4 (*acc)[kTile], const Source& s, const TapColumns& tc, int y, int count, float shiftY,
            float weight) {
  // The bounds the compiler cannot see from the callers, stated so that its checks of the
  // array's accesses agree.
  count = std::min(std::max(count, 1), kRows);
  TapRow rows[kRows] = {};
  bool together = true;
  for (int j = 0; j < count; ++j) {
    rows[j] = findRow(y + j, shiftY, s.h);
    together = together && rows[j].valid && rows[j].iy == rows[0].iy + j;
  }
  together = together && rows[0].iy >= 0 && rows[0].iy + count < s.h;
  if (together) {
    addInteriorRows(acc, count, tc, s.row(rows[0].iy), s.pitch, rows, weight);
    for (int j = 0; j < count; ++j) {
      addEdgeColumns(acc[j], s, tc, tc.lo, tc.inLo, rows[j], weight);
      addEdgeColumns(acc[j], s, tc, tc.inHi, tc.hi, rows[j], weight);
    }
    return;
  }
  for (int j = 0; j < count; ++j) {
    const TapRow& r = rows[j];
    if (!r.valid) continue;  // the kernel adds a zero sample, which changes no sum
    if (r.iy >= 0 && r.iy + 1 < s.h) {
      addInteriorRows(acc + j, 1, tc, s.row(r.iy), s.pitch, &r, weight);
      addEdgeColumns(acc[j], s, tc, tc.lo, tc.inLo, r, weight);
      addEdgeColumns(acc[j], s, tc, tc.inHi, tc.hi, r, weight);
    } else {
      addEdgeColumns(acc[j], s, tc, tc.lo, tc.hi, r, weight);
    }
  }
}

// fm_group in translate mode over rows [first, end): a tile of pixels is accumulated tap by tap,
// each tap's column positions are found once for all rows of the chunk, and neighbouring rows
// share the horizontally interpolated source rows they both read. Every pixel still sees the
// operations, in the order, of the kernel's own work item, so the results are identical.
void runGroupTranslate(const CpuLaunch& l, int first, int end) {
  const FMParams p = *l.p;  // a local block: fields stay in registers across pixel stores
  float4* d = static_cast<float4*>(l.dst);
  const Source s{static_cast<const float4*>(l.srcA), p.aW, p.aH, p.aP};
  const int count = fm_clampi(p.count, 0, FM_MAX_TAPS);
  const int width = std::min(l.gridW, p.dW);
  const int rowEnd = std::min(end, std::min(p.y1, p.dH) - p.y0);  // grid rows with work
  if (width <= 0 || first >= rowEnd) return;

  // Skipping a sample that lies outside the source is exact only because 0 * weight adds
  // nothing to a sum; a weight that is not finite would turn it into NaN, so such a block
  // (never made by the planners) goes through the kernel itself.
  for (int i = 0; i < count; ++i) {
    if (!std::isfinite(p.t[3 * i + 2])) {
      for (int gy = first; gy < end; ++gy)
        for (int gx = 0; gx < l.gridW; ++gx) fm_group(gx, gy, d, s.px, nullptr, nullptr, p);
      return;
    }
  }

  TapColumns columns[FM_MAX_TAPS];
  float4 acc[kRows][kTile];
  for (int x0 = 0; x0 < width; x0 += kTile) {
    const int n = std::min(kTile, width - x0);
    for (int i = 0; i < count; ++i) findColumns(columns[i], p.ax + x0, n, p.t[3 * i], p.aW);
    for (int gy = first; gy < rowEnd; gy += kRows) {
      const int rows = std::min(kRows, rowEnd - gy);
      const int y = p.y0 + gy;
      for (int j = 0; j < rows; ++j)
        for (int c = 0; c < n; ++c) acc[j][c] = f4z();
      for (int i = 0; i < count; ++i) {
        const TapColumns& tc = columns[i];
        if (tc.lo >= tc.hi) continue;  // every sample of this tap lies outside: zeros
        addTap(acc, s, tc, y + p.ay, rows, p.t[3 * i + 1], p.t[3 * i + 2]);
      }
      for (int j = 0; j < rows; ++j) {
        float4* out = d + fm_idx(y + j) * p.dP + x0;
        for (int c = 0; c < n; ++c) out[c] = acc[j][c];
      }
    }
  }
}

// Where a rotation or scaling samples for one pixel, as the kernel's work item computes it:
// X = qx + (a ux - b uy), Y = qy + (b vx + a vy) for a rotation by (a, b) = (cos, sin), and
// X = qx + ux a, Y = qy + vy a for a scaling by a. ux and vx depend on the column only, uy and
// vy on the row only, so a tile keeps one array of each column term for all its rows.
struct TileColumns {
  float ux[kTile], vx[kTile];
};
struct RowTerms {
  float uy, vy;
};

void setColumn(TileColumns& t, int c, const FMParams& p, int x) {
  const float px = float(x) + 0.5f;
  if (p.mode == FM_GROUP_ROTATE) {
    const float dx = (px - p.cx) * p.kx;
    t.ux[c] = dx / p.kx;
    t.vx[c] = dx / p.ky;
  } else {
    t.ux[c] = px - p.cx;
    t.vx[c] = 0.0f;
  }
}

RowTerms rowTerms(const FMParams& p, int y) {
  const float py = float(y) + 0.5f;
  if (p.mode != FM_GROUP_ROTATE) return {0.0f, py - p.cy};
  const float dy = (py - p.cy) * p.ky;
  return {dy / p.kx, dy / p.ky};
}

// setColumn for columns [0, n) of a tile from column x0, kLanes columns at a time where the
// level has vectors.
void setColumns(TileColumns& t, int n, const FMParams& p, int x0) {
  int c = 0;
#if FM_CPU_LANES >= 8
  for (; c + kLanes <= n; c += kLanes) {
    const Lf px = toFloat(li(x0 + c) + laneIndex()) + 0.5f;
    if (p.mode == FM_GROUP_ROTATE) {
      const Lf dx = (px - p.cx) * p.kx;
      storeLanes(t.ux + c, dx / p.kx);
      storeLanes(t.vx + c, dx / p.ky);
    } else {
      storeLanes(t.ux + c, px - p.cx);
      storeLanes(t.vx + c, lf(0.0f));
    }
  }
#endif
  for (; c < n; ++c) setColumn(t, c, p, x0 + c);
}

// One tap's row terms as they enter the sums: bu = b uy and av = a vy (rotation), or vy a
// (scaling, in av), the same products the work item forms.
struct TapRowTerms {
  float bu, av;
};

template <int Mode>
TapRowTerms tapRowTerms(const RowTerms& r, float a, float b) {
  return Mode == FM_GROUP_ROTATE ? TapRowTerms{b * r.uy, a * r.vy} : TapRowTerms{0.0f, r.vy * a};
}

#if FM_CPU_LANES >= 8
template <int Mode>
FM_LANE_FN void lanePositions(const TileColumns& t, int c, const FMParams& p, float a, float b, TapRowTerms r, Lf& X,
                              Lf& Y) {
  const Lf qx = lf(p.cx - 0.5f), qy = lf(p.cy - 0.5f);
  const Lf ux = loadLanes(t.ux + c);
  if (Mode == FM_GROUP_ROTATE) {
    X = qx + (a * ux - r.bu);
    Y = qy + (b * loadLanes(t.vx + c) + r.av);
  } else {
    X = qx + ux * a;
    Y = qy + r.av;
  }
}

template <int Mode>
void addTransformTapLanes(float4* acc, const TileColumns& t, int c, const float4* src, const FMParams& p, float a,
                          float b, TapRowTerms r, float weight) {
  Lf X, Y;
  lanePositions<Mode>(t, c, p, a, b, r, X, Y);
  bilinear::addAnywhere(acc + c, src, p.aW, p.aH, p.aP, X, Y, weight);
}

// A whole tile's positions and sample offsets first, then its samples. Group by group, each
// group's loads wait on its own address arithmetic; this way the arithmetic is done ahead.
// Worth 10 to 20% of a rotation or scaling on Zen 1.
template <int Mode>
void addTransformTapTile(float4* acc, const TileColumns& t, const float4* src, const FMParams& p, float a, float b,
                         TapRowTerms r, float weight) {
  constexpr int kGroups = kTile / kLanes;
  Lf X[kGroups], Y[kGroups];
  bilinear::Samples s[kGroups];
  bool inside = true;
  for (int k = 0; k < kGroups; ++k) {
    lanePositions<Mode>(t, k * kLanes, p, a, b, r, X[k], Y[k]);
    inside &= bilinear::interior(X[k], Y[k], p.aW, p.aH, p.aP, s[k]);
  }
  if (inside) {
    for (int k = 0; k < kGroups; ++k) bilinear::add(acc + k * kLanes, src, p.aP, s[k], weight);
    return;
  }
  for (int k = 0; k < kGroups; ++k)
    bilinear::addAnywhere(acc + k * kLanes, src, p.aW, p.aH, p.aP, X[k], Y[k], weight);
}
#endif

template <int Mode>
void addTransformTap(float4* acc, const TileColumns& t, int n, const float4* src, const FMParams& p, float a,
                     float b, const RowTerms& row, float weight, bool wide) {
  const TapRowTerms r = tapRowTerms<Mode>(row, a, b);
  int c = 0;
#if FM_CPU_LANES >= 8
  if (wide && n == kTile) return addTransformTapTile<Mode>(acc, t, src, p, a, b, r, weight);
  if (wide)
    for (; c + kLanes <= n; c += kLanes) addTransformTapLanes<Mode>(acc, t, c, src, p, a, b, r, weight);
#else
  (void)wide;
#endif
  const float qx = p.cx - 0.5f, qy = p.cy - 0.5f;
  for (; c < n; ++c) {
    const float X = Mode == FM_GROUP_ROTATE ? qx + (a * t.ux[c] - r.bu) : qx + t.ux[c] * a;
    const float Y = Mode == FM_GROUP_ROTATE ? qy + (b * t.vx[c] + r.av) : qy + r.av;
    acc[c] += fm_bilin0(src, p.aW, p.aH, p.aP, X, Y) * weight;
  }
}

// fm_group over grid rows [first, end) of a band. Rotations and scalings take a tile of pixels
// tap by tap, so each tap reads the source along one line instead of every pixel reading all
// taps' scattered positions; each pixel still adds its samples in tap order, exactly as the
// kernel's work item. Translations and malformed blocks run item by item.
__attribute__((flatten)) void runGroupBand(int gridW, int first, int end, void* dst, const void* srcA,
                                           const void*, const void*, const FMParams& block) {
  const FMParams p = block;  // a local block: fields stay in registers across pixel stores
  float4* d = static_cast<float4*>(dst);
  const float4* a = static_cast<const float4*>(srcA);
  if (p.mode != FM_GROUP_ROTATE && p.mode != FM_GROUP_SCALE) {
    for (int gy = first; gy < end; ++gy)
      for (int gx = 0; gx < gridW; ++gx) fm_group(gx, gy, d, a, nullptr, nullptr, p);
    return;
  }
  const int count = fm_clampi(p.count, 0, FM_MAX_TAPS);
  const int width = std::min(gridW, p.dW);  // items past the destination do nothing
#if FM_CPU_LANES >= 8
  const bool wide = bilinear::offsetsFit(p.aP, p.aH);
#else
  const bool wide = false;
#endif
  // A block of rows goes through each tap together (kTransformRows, CpuChunking.h).
  RowTerms rowTerm[kTransformRows];
  TileColumns columns;
  float4 acc[kTransformRows][kTile];
  for (int g0 = first; g0 < end; g0 += kTransformRows) {
    int rows = 0;  // rows of the block with work: the first ones, as rows past the end have none
    while (rows < kTransformRows && g0 + rows < end && p.y0 + g0 + rows < std::min(p.y1, p.dH)) ++rows;
    if (rows == 0) continue;
    const int y0 = p.y0 + g0;
    for (int j = 0; j < rows; ++j) rowTerm[j] = rowTerms(p, p.ay + y0 + j);
    for (int x0 = 0; x0 < width; x0 += kTile) {
      const int n = std::min(kTile, width - x0);
      setColumns(columns, n, p, p.ax + x0);
      for (int j = 0; j < rows; ++j)
        for (int c = 0; c < n; ++c) acc[j][c] = f4z();
      for (int i = 0; i < count; ++i)
        for (int j = 0; j < rows; ++j) {
          if (p.mode == FM_GROUP_ROTATE)
            addTransformTap<FM_GROUP_ROTATE>(acc[j], columns, n, a, p, p.t[3 * i], p.t[3 * i + 1], rowTerm[j],
                                             p.t[3 * i + 2], wide);
          else
            addTransformTap<FM_GROUP_SCALE>(acc[j], columns, n, a, p, p.t[3 * i], 0.0f, rowTerm[j], p.t[3 * i + 2],
                                            wide);
        }
      for (int j = 0; j < rows; ++j) {
        float4* out = d + fm_idx(y0 + j) * p.dP + x0;
        for (int c = 0; c < n; ++c) out[c] = acc[j][c];
      }
    }
  }
}

}  // namespace group
