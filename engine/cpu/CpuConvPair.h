// A direct rows pass and the column pass that reads it, run as one; part of the level body
// (CpuLevelBody.h), after the convolution bands and the box runners. Each tile keeps the rows
// pass's results in scratch in the cache until its column pass has read them, so the image
// between the two passes is never written or read; a copy leading the chain is made a row at a
// time into scratch as well. Either pass alone is bound by memory, not arithmetic. Every pixel
// still sees exactly the additions, in order, of the kernels' own work items.
#pragma once

namespace conv {

// Output rows a tile's column pass takes at a time; the scratch holds the rows pass's results
// for these and the 2n rows around them that the column pass also reads. Short steps keep a
// tile's reads of its source and writes of its result going together instead of in turns.
constexpr int kPairRows = 32;

// Pixels [c0, c1) of row y of the leading copy, pixel c0 into out[0].
inline void copyRow(const float4* src, int y, int c0, int c1, float4* out, const FMParams& p) {
  int sy = y + p.ay;
  if (p.mode == 1) sy = fm_clampi(sy, p.lo2, p.hi2 - 1);
  // The run of pixels that neither the window nor the source's edges move: the source row as
  // it stands, times g0, as fm_copy_value gives it.
  int ra = c1, rb = c1;
  if (sy >= 0 && sy < p.aH) {
    int64_t lo = 0, hi = p.aW;
    if (p.mode == 1) {
      lo = std::max<int64_t>(lo, p.lo);
      hi = std::min<int64_t>(hi, p.hi);
    }
    ra = int(std::min<int64_t>(std::max<int64_t>(lo - p.ax, c0), c1));
    rb = int(std::min<int64_t>(std::max<int64_t>(hi - p.ax, ra), c1));
  }
  for (int x = c0; x < ra; ++x) out[x - c0] = fm_copy_value(src, x, y, &p);
  if (ra < rb) {
    const float4* run = src + (fm_idx(sy) * p.aP + p.ax);  // run[x] is what pixel x reads
    const Vec g = splat<Vec>(p.g0);
    int x = ra;
    for (; x + kVecPixels <= rb; x += kVecPixels) {
      prefetchLines<kVecPixels * 16>(run + x + p.aP);  // the next row's piece, read next
      storeVec<false>(out + (x - c0), vecAt(run + x) * g);
    }
    for (; x < rb; ++x) out[x - c0] = run[x] * p.g0;
  }
  for (int x = rb; x < c1; ++x) out[x - c0] = fm_copy_value(src, x, y, &p);
}

// Each pass out of line, on its own copy of the block: inlined into the tile's loops, the rows
// run's taps no longer fit the registers, and stores through a shared block may change it.
__attribute__((noinline)) void pairRowsPass(int r, int x0, int x1, float4* d, const float4* a, const FMParams& block,
                                            fm_idx next) {
  const FMParams p = block;
  convRow<true, false>(r, x0, x1, d, a, p, next);
}

__attribute__((noinline)) void pairColsPass(int ya, int yb, int x0, int x1, float4* d, const float4* a,
                                            const FMParams& block) {
  const FMParams p = block;
  convColsRange(ya, yb, x0, x1, d, a, p, false);  // the scratch is in the cache
}

// Columns [x0, x1), rows [y0, y1) of the pair's result, written to `out` (a view of `outPitch`
// pixels a row placed so that the column pass's positions land where they go), the rows pass
// being link r. `mid` holds kPairRows + 2n rows of the tile's width, `copied` one row of the
// copy's. Both passes run on views of the scratch: a block whose pitch is the scratch's, with a
// base placed so that the kernels' absolute positions (which their edge rules depend on) land
// on the rows and columns the scratch holds.
inline void pairTile(const CpuChain& c, int r, int x0, int x1, int y0, int y1, float4* out, int outPitch,
                     float4* mid, int midPitch, float4* copied, int copiedPitch) {
  const bool copy = r == 1;
  const FMParams& pc = c.links[0].p;
  FMParams pr = c.links[r].p, pk = c.links[r + 1].p;
  const int nr = fm_mini(pr.n, FM_CONV_MAX_N), nk = fm_mini(pk.n, FM_CONV_MAX_N);
  const float4* rowsSource = static_cast<const float4*>(copy ? nullptr : c.src);
  const int c0 = std::max(0, x0 - nr), c1 = std::min(pr.aW, x1 + nr);
  if (copy) pr.aP = copiedPitch;
  pr.dP = midPitch;
  pk.aP = midPitch;
  pk.dP = outPitch;
  int m0 = std::max(0, y0 - nk), m1 = m0;  // rows of the rows pass that `mid` holds
  for (int y = y0; y < y1; y += kPairRows) {
    const int ye = std::min(y1, y + kPairRows);
    const int need0 = std::max(0, y - nk), need1 = std::min(pk.aH, ye + nk);
    if (need0 > m0) {
      const int keep = std::max(0, m1 - need0);
      if (keep > 0) std::memmove(mid, mid + fm_idx(need0 - m0) * midPitch, size_t(keep) * midPitch * sizeof(float4));
      m0 = need0;
      m1 = m0 + keep;
    }
    float4* midView = mid - (fm_idx(m0) * midPitch + x0);
    for (int row = m1; row < need1; ++row) {
      const float4* a = rowsSource;
      if (copy) {
        if (row < pc.dH) copyRow(static_cast<const float4*>(c.src), row, c0, c1, copied, pc);
        a = copied - (fm_idx(row) * copiedPitch + c0);
      }
      pairRowsPass(row, x0, x1, midView, a, pr, copy ? 0 : pr.aP);
    }
    m1 = std::max(m1, need1);
    pairColsPass(y, ye, x0, x1, out, midView, pk);
  }
}

// Tiles [first, end) of the pair: c.tileW columns by c.tileH rows each of the chain's area,
// numbered along rows of tiles. Where a copy follows the pair, its destination's pixels that
// read outside the result are zero, each cleared by the tile next to it. False when out of
// memory.
bool runConvPair(const CpuChain& c, int first, int end) {
  const int r = c.links[0].kernel == FM_K_COPY ? 1 : 0;
  const bool tail = c.count == r + 3;
  const FMParams& pr = c.links[r].p;
  const FMParams& pk = c.links[r + 1].p;
  const FMParams& pt = c.links[c.count - 1].p;  // the copy after the pair, where there is one
  float4* dst = static_cast<float4*>(c.dst);
  float4* out = tail ? dst - (fm_idx(pt.ay) * pt.dP + pt.ax) : dst;
  const int outPitch = tail ? pt.dP : pk.dP;
  const int across = (c.areaW + c.tileW - 1) / c.tileW, down = (c.areaH + c.tileH - 1) / c.tileH;
  // Rows of the scratch a power of two apart would compete for the same cache sets.
  const int midPitch = (c.tileW + 3) / 4 * 4 + 4;
  const int copiedPitch = (c.tileW + 2 * fm_mini(pr.n, FM_CONV_MAX_N) + 3) / 4 * 4;
  const size_t midPixels = size_t(kPairRows + 2 * fm_mini(pk.n, FM_CONV_MAX_N)) * midPitch;
  // The copied row has an aligned vector to spare on each side: the rows run reads whole
  // aligned vectors, up to three pixels past the ones its windows need.
  special::ChainScratch scratch(midPixels + (r == 1 ? size_t(copiedPitch) + 8 : 0));
  if (!scratch.data) return false;
  for (int t = first; t < end; ++t) {
    const int tx = t % across, ty = t / across;
    const int x0 = c.areaX + tx * c.tileW, y0 = c.areaY + ty * c.tileH;
    const int x1 = std::min(c.areaX + c.areaW, x0 + c.tileW), y1 = std::min(c.areaY + c.areaH, y0 + c.tileH);
    pairTile(c, r, x0, x1, y0, y1, out, outPitch, scratch.data, midPitch, scratch.data + midPixels + 4, copiedPitch);
    if (!tail) continue;
    // The area in the destination's own positions.
    const int left = c.areaX - pt.ax, right = left + c.areaW, top = c.areaY - pt.ay, bottom = top + c.areaH;
    if (tx == 0) special::clearPixels(dst, pt.dP, 0, left, y0 - pt.ay, y1 - pt.ay);
    if (tx == across - 1) special::clearPixels(dst, pt.dP, right, pt.dW, y0 - pt.ay, y1 - pt.ay);
    if (tx == 0 && ty == 0) special::clearPixels(dst, pt.dP, 0, pt.dW, 0, top);
    if (tx == 0 && ty == down - 1) special::clearPixels(dst, pt.dP, 0, pt.dW, bottom, pt.dH);
  }
  streamFence();
  return true;
}

}  // namespace conv
