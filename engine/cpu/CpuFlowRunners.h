// Band runners for the flow kernels of a level (fm_flow_refine, fm_flow_warp, fm_flow_edges,
// fm_densify) and of the finest flow (fm_flow_up, fm_flow_stats), part of the level body
// (CpuLevelBody.h). Each takes kLanes pixels of a row at once, every lane doing the operations
// of the kernel's own work item in its order; pixels at the level's edges, whose neighbours the
// kernel tests one by one, take the work items.
#pragma once

namespace flow {

// Columns [1, aW - 1) of rows [1, aH - 1): the four neighbours of every such pixel lie inside.
FM_LANE_FN void innerSpan(const FMParams& p, int y, int& lo, int& hi) {
  const bool inner = y >= 1 && y + 1 < p.aH;
  lo = 1;
  hi = inner ? p.aW - 1 : 0;
}

// One Jacobi step of kLanes pixels, as fm_flow_refine takes it: U their flow, (r0, gx, gy) their
// data term, and for the right, left, lower and upper neighbour in turn its weight a[k], its flow
// (nu[k], nv[k]) and whether it lies inside (in[k]).
FM_LANE_FN Pixels jacobiStep(const FMParams& p, const Pixels& U, Lf r0, Lf gx, Lf gy, const Lf* a, const Lf* nu,
                             const Lf* nv, const Li* in) {
  const Lf it = r0 + gx * U.x + gy * U.y;
  const Lf wd = p.g3 / lsqrt(it * it + 1e-6f);
  Lf sa = {}, su = {}, sv = {};
  for (int k = 0; k < 4; ++k) {
    const Li m = (a[k] > 0.0f) & in[k];  // a NaN weight counts as absent
    su = select(m, su + a[k] * nu[k], su);
    sv = select(m, sv + a[k] * nv[k], sv);
    sa = select(m, sa + a[k], sa);
  }
  const Lf a11 = wd * gx * gx + sa, a12 = wd * gx * gy, a22 = wd * gy * gy + sa;
  const Lf b1 = su - wd * gx * r0, b2 = sv - wd * gy * r0;
  const Lf det = a11 * a22 - a12 * a12;
  const Lf nu0 = (b1 * a22 - a12 * b2) / det, nv0 = (a11 * b2 - a12 * b1) / det;
  const Li solved = (det > 1e-24f) & finite(nu0) & finite(nv0);
  Lf u = select(solved, nu0, U.x), v = select(solved, nv0, U.y);
  limitFlow(u, v, p.g0);
  const Lf r = labs(it);
  return p.mode == 1 ? Pixels{u, v, 1.0f / (1.0f + 64.0f * r), r} : Pixels{u, v, U.z, U.w};
}

// One Jacobi step for pixels [x, x + kLanes) of row y, all of whose neighbours lie inside.
FM_LANE_FN void refineLanes(const BandArgs& g, int x, int y) {
  const FMParams& p = g.p;
  const float4* uc = g.a + fm_idx(y) * p.aP + x;
  const Pixels wp = loadPixels(g.b + fm_idx(y) * p.bP + x);
  const Pixels wt = loadPixels(reinterpret_cast<const float4*>(g.t + (fm_idx(y) * p.n + x) * 4));
  const Pixels n[4] = {loadPixels(uc + 1), loadPixels(uc - 1), loadPixels(uc + p.aP), loadPixels(uc - p.aP)};
  const Lf a[4] = {wt.x, wt.y, wt.z, wt.w}, nu[4] = {n[0].x, n[1].x, n[2].x, n[3].x},
           nv[4] = {n[0].y, n[1].y, n[2].y, n[3].y};
  const Li in[4] = {li(-1), li(-1), li(-1), li(-1)};
  g.put(x, y, jacobiStep(p, loadPixels(uc), wp.x, wp.y, wp.z, a, nu, nv, in));
}

void runRefineBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                   const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  laneRows<fm_flow_refine>(
      gridW, first, end, g, [&](int y, int& lo, int& hi) { innerSpan(g.p, y, lo, hi); },
      [&](int x, int y) { refineLanes(g, x, y); });
}

// The warp image for pixels [x, x + kLanes) of row y.
FM_LANE_FN void warpLanes(const BandArgs& g, int x, int y) {
  const FMParams& p = g.p;
  const Pixels U = loadPixels(g.a + fm_idx(y) * p.aP + x);
  const Lf z0 = loadPixels(g.b + fm_idx(y) * p.bP + x).x;
  ChannelSampler tw(g.b, p.bW, p.bH, p.bP, 3);
  const Lf X = columnsOf(x) + U.x, Y = float(y) + U.y;
  const Lf gain = U.z;
  const Lf z1 = gain * tw(X, Y) + U.w;
  const Lf gx = 0.5f * gain * (tw(X + 1.0f, Y) - tw(X - 1.0f, Y));
  const Lf gy = 0.5f * gain * (tw(X, Y + 1.0f) - tw(X, Y - 1.0f));
  g.put(x, y, {z1 - z0 - gx * U.x - gy * U.y, gx, gy, z0});
}

void runWarpBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                 const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  if (!lanesReach(g.p.bH, g.p.bP) || g.p.bW < 1 || g.p.bH < 1) return itemRows<fm_flow_warp>(gridW, first, end, g);
  laneRows<fm_flow_warp>(
      gridW, first, end, g, [&](int, int& lo, int& hi) { lo = 0; hi = g.p.dW; },
      [&](int x, int y) { warpLanes(g, x, y); });
}

// Smoothness weights for pixels [x, x + kLanes) of row y, all of whose neighbours lie inside.
FM_LANE_FN void edgesLanes(const BandArgs& g, int x, int y) {
  const FMParams& p = g.p;
  const float4* c = g.a + fm_idx(y) * p.aP + x;
  const Lf z = loadPixels(c).x;
  auto weight = [&](const float4* at) {
    const Lf d = p.g2 * (loadPixels(at).x - z);
    return p.g1 / (1.0f + d * d);
  };
  g.put(x, y, {weight(c + 1), weight(c - 1), weight(c + p.aP), weight(c - p.aP)});
}

void runEdgesBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                  const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  laneRows<fm_flow_edges>(
      gridW, first, end, g, [&](int y, int& lo, int& hi) { innerSpan(g.p, y, lo, hi); },
      [&](int x, int y) { edgesLanes(g, x, y); });
}

// The patches of one row of the patch grid that a block of pixels reads: kLanes of them from
// the block's first candidate on, read whole where the lanes' patches all lie among them (they
// span a few steps) and the level has a permute across a whole vector, gathered elsewhere.
class PatchRow {
 public:
  PatchRow(const FMParams& p, const float4* row, int first)
      : row(row),
        first(first),
        whole(kLanes >= 8 && first >= 0 && first + kLanes <= p.aP),
        patches(whole ? loadPixels(row + first) : Pixels{}) {}

  // Patch i of every lane; lanes outside m read some patch of the row, for them unused.
  FM_LANE_FN Pixels operator()(Li m, Li i) const {
    if (whole) {
      const Li at = select(m, i - first, li(0));
      if (!anyLane((at < 0) | (at >= kLanes)))
        return {__builtin_shuffle(patches.x, at), __builtin_shuffle(patches.y, at), __builtin_shuffle(patches.z, at),
                __builtin_shuffle(patches.w, at)};
    }
    return gatherPixels(row, select(m, i, li(laneFirst(m, i))));
  }

 private:
  FM_LANE_FN static int laneFirst(Li m, Li i) { return i[__builtin_ctz(laneMask(m))]; }
  const float4* row;
  int first;
  bool whole;
  // Zeroed where unused: they are never read then, but zeroing in registers costs nothing.
  Pixels patches;
};

// One candidate patch f of the lanes in m: its weight from how well it predicts the pixels,
// added to the sums.
FM_LANE_FN void mergePatch(ChannelSampler& tw, const Pixels& f, Lf xf, Lf yf, Lf z0, Li m, Pixels& acc, Lf& wsum) {
  const Lf d = f.z * tw(xf + f.x, yf + f.y) + f.w - z0;
  const Lf w = 1.0f / lmax(lf(1.0f), 255.0f * labs(d));
  acc.x = select(m, acc.x + f.x * w, acc.x);
  acc.y = select(m, acc.y + f.y * w, acc.y);
  acc.z = select(m, acc.z + f.z * w, acc.z);
  acc.w = select(m, acc.w + f.w * w, acc.w);
  wsum = select(m, wsum + w, wsum);
}

FM_LANE_FN void putDensified(const BandArgs& g, int x, int y, const Pixels& acc, Lf wsum) {
  const Li some = wsum > 0.0f;
  g.put(x, y, {select(some, acc.x / wsum, lf(0.0f)), select(some, acc.y / wsum, lf(0.0f)),
               select(some, acc.z / wsum, lf(1.0f)), select(some, acc.w / wsum, lf(0.0f))});
}

// The dense flow of pixels [x, x + kLanes) of row y. Every lane walks its own candidate
// patches in the kernel's order; `shift` is log2 of the patch step.
FM_LANE_FN void densifyLanes(const BandArgs& g, int x, int y, int shift) {
  const FMParams& p = g.p;
  const int n = p.n, s = 1 << shift;
  const Li xs = li(x) + laneIndex();
  const Lf xf = toFloat(xs), yf = lf(float(y));
  const Lf z0 = loadPixels(g.b + fm_idx(y) * p.bP + x).x;
  const Li ia = select(xs - n + 1 <= 0, li(0), (xs - n + s) >> shift);
  const Li ib = lmini(xs >> shift, li(p.aW - 1));
  const int ja = y - n + 1 <= 0 ? 0 : (y - n + s) >> shift, jb = std::min(y >> shift, p.aH - 1);
  ChannelSampler tw(g.b, p.bW, p.bH, p.bP, 3);
  Pixels acc = {};
  Lf wsum = {};
  for (int jj = ja; jj <= jb + 1; ++jj) {
    if (jj == jb + 1 && p.aH - 1 <= jb) break;
    const int j = jj == jb + 1 ? p.aH - 1 : jj;
    const int py0 = std::min(j * s, p.dH - n);
    if (y < py0 || y >= py0 + n) continue;
    const PatchRow patchAt(p, g.a + fm_idx(j) * p.aP, ia[0]);
    for (int c = 0;; ++c) {
      const Li ii = ia + c;
      // The index one past the last candidate stands for the last, pulled-back patch column.
      const Li last = ii == ib + 1;
      const Li active = (ii <= ib) | (last & (p.aW - 1 > ib));
      if (!anyLane(active)) break;
      const Li i = select(last, li(p.aW - 1), ii);
      const Li px0 = lmini(i * s, li(p.dW - n));
      const Li m = active & (xs >= px0) & (xs < px0 + n);
      if (!anyLane(m)) continue;
      // Lanes that add nothing sample at another lane's patch, which keeps every lane's
      // samples on shared rows; their results are dropped.
      mergePatch(tw, patchAt(m, i), xf, yf, z0, m, acc, wsum);
    }
  }
  putDensified(g, x, y, acc, wsum);
}

// Whether pixels [x, x + kLanes) of row y lie where patches twice their step long cover each
// with exactly two columns and two rows of them, none pulled back from the level's edge.
FM_LANE_FN bool innerDensify(const FMParams& p, int x, int y, int shift) {
  const int s = 1 << shift;
  return p.n == 2 * s && x >= s && y >= s &&
         int64_t(x) + kLanes - 1 < std::min(int64_t(p.aW - 1) * s, int64_t(p.dW) - p.n) &&
         int64_t(y) < std::min(int64_t(p.aH - 1) * s, int64_t(p.dH) - p.n);
}

// densifyLanes where innerDensify holds: the candidates the kernel walks, in its order, are
// then the rows and columns just before and at the pixels' own.
FM_LANE_FN void densifyInner(const BandArgs& g, int x, int y, int shift) {
  const FMParams& p = g.p;
  const Li xs = li(x) + laneIndex();
  const Lf xf = toFloat(xs), yf = lf(float(y));
  const Lf z0 = loadPixels(g.b + fm_idx(y) * p.bP + x).x;
  const Li i0 = (xs >> shift) - 1, all = li(-1);
  ChannelSampler tw(g.b, p.bW, p.bH, p.bP, 3);
  Pixels acc = {};
  Lf wsum = {};
  for (int j = (y >> shift) - 1; j <= y >> shift; ++j) {
    const PatchRow patchAt(p, g.a + fm_idx(j) * p.aP, i0[0]);
    mergePatch(tw, patchAt(all, i0), xf, yf, z0, all, acc, wsum);
    mergePatch(tw, patchAt(all, i0 + 1), xf, yf, z0, all, acc, wsum);
  }
  putDensified(g, x, y, acc, wsum);
}

void runDensifyBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                    const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  const FMParams& p = g.p;
  const int s = std::max(p.segLen, 1);
  // Shifts stand for the divisions by the step; positions and indices must stay in the lanes'
  // reach.
  const bool lanes = (s & (s - 1)) == 0 && p.n >= 1 && p.n <= 1024 && p.aW >= 1 && p.aH >= 1 && p.bW >= 1 &&
                     p.bH >= 1 && p.dW < (1 << 24) && p.dH < (1 << 24) && lanesReach(p.aH, p.aP) &&
                     lanesReach(p.bH, p.bP) && int64_t(p.aW) * s < (int64_t(1) << 30);
  if (!lanes) return itemRows<fm_densify>(gridW, first, end, g);
  const int shift = __builtin_ctz(unsigned(s));
  laneRows<fm_densify>(
      gridW, first, end, g, [&](int, int& lo, int& hi) { lo = 0; hi = p.dW; },
      [&](int x, int y) {
        if (innerDensify(p, x, y, shift))
          densifyInner(g, x, y, shift);
        else
          densifyLanes(g, x, y, shift);
      });
}

// The flow on a finer grid for pixels [x, x + kLanes) of row y.
FM_LANE_FN void upLanes(const BandArgs& g, int x, int y) {
  const FMParams& p = g.p;
  const float f = p.g0;
  const Lf X = (toFloat(li(x + p.ax) + laneIndex()) + 0.5f) / f - 0.5f;
  const Lf Y = lf((float(y + p.ay) + 0.5f) / f - 0.5f);
  const ClampedTaps t = clampedTaps(p.aW, p.aH, X, Y);
  PixelFetch fetch(g.a, p.aW, p.aH, p.aP);
  const Li all = li(-1);
  const Pixels a = fetch(all, t.x0, t.y0), b = fetch(all, t.x1, t.y0), c = fetch(all, t.x0, t.y1),
               d = fetch(all, t.x1, t.y1);
  g.put(x, y,
              {blend(a.x, b.x, c.x, d.x, t) * f, blend(a.y, b.y, c.y, d.y, t) * f, blend(a.z, b.z, c.z, d.z, t), lf(0.0f)});
}

// Row y of a flow brought up by a factor of 1, columns [0, width): every position then lies on
// a source pixel, clamped or not, so both of its blends weigh the taps by 1 and 0 alike for
// every channel. The pixels go as they lie in memory, with the lanes' operations in their order.
FM_LANE_FN void upRowOnPixels(const BandArgs& g, int y, int width) {
  const FMParams& p = g.p;
  const int y0 = std::clamp(y + p.ay, 0, p.aH - 1), y1 = std::min(y0 + 1, p.aH - 1);
  const float4* top = g.a + fm_idx(y0) * p.aP;
  const float4* bottom = g.a + fm_idx(y1) * p.aP;
  float4* out = g.d + fm_idx(y) * p.dP;
  const float t = 0.0f, s = 1.0f - t;
  for (int x = 0; x < width; ++x) {
    const int x0 = std::clamp(x + p.ax, 0, p.aW - 1), x1 = std::min(x0 + 1, p.aW - 1);
    const float4 v = (top[x0] * s + top[x1] * t) * s + (bottom[x0] * s + bottom[x1] * t) * t;
    const float4 q = make_f4(FM_X(v) * p.g0, FM_Y(v) * p.g0, FM_Z(v), 0.0f);
    if (g.stream)
      streamStore(out + x, q);
    else
      out[x] = q;
  }
}

void runFlowUpBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                   const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  const FMParams& p = g.p;
  // Factor 1, and positions that convert to floats and back exactly.
  const int width = std::min(gridW, p.dW);
  constexpr int64_t kExact = int64_t(1) << 22;
  if (p.g0 == 1.0f && p.aW >= 1 && p.aH >= 1 && p.ax > -kExact && int64_t(width) + p.ax < kExact &&
      p.ay > -kExact && int64_t(p.dH) + p.ay < kExact) {
    for (int gy = first; gy < end; ++gy) {
      const int y = p.y0 + gy;
      if (y < p.y1 && y < p.dH) upRowOnPixels(g, y, width);
    }
    if (g.stream) streamFence();
    return;
  }
  // Columns x + ax must not wrap, and the source's indices must stay in the lanes' reach.
  const bool lanes = p.aW >= 1 && p.aH >= 1 && lanesReach(p.aH, p.aP) && int64_t(p.dW) + p.ax < (int64_t(1) << 30) &&
                     int64_t(p.ax) > -(int64_t(1) << 30);
  if (!lanes) return itemRows<fm_flow_up>(gridW, first, end, g);
  laneRows<fm_flow_up>(
      gridW, first, end, g, [&](int, int& lo, int& hi) { lo = 0; hi = p.dW; },
      [&](int x, int y) { upLanes(g, x, y); });
}

// The match statistics of one row (the item at grid column 0). The lanes find each pixel's
// moved sample and whether it counts; the sums then take the pixels one by one, in the
// kernel's order. The largest unmoved difference does not depend on the order. `kept`, where
// not null, holds the row's moved samples from the first pass for the second.
FM_LANE_FN void statsRow(const BandArgs& g, int y, float* kept) {
  const FMParams& p = g.p;
  const int w = std::min(p.aW, p.bW), h = p.bH;
  const float4* U = g.a + fm_idx(y) * p.aP;
  const float4* T = g.b + fm_idx(y) * p.bP;
  const int whole = w / kLanes * kLanes;
  struct Moved {
    Lf z0, z1, residual;
    Li counts;
  };
  // The second pass reads back the samples the first kept, where it could keep them.
  auto moved = [&](int x, bool again) {
    const Pixels u = loadPixels(U + x), t = loadPixels(T + x);
    const Lf X = columnsOf(x) + u.x, Y = float(y) + u.y;
    Lf z1;
    if (again && kept) {
      z1 = loadLanes(kept + x);
    } else {
      ChannelSampler tw(g.b, p.bW, h, p.bP, 3);
      z1 = tw(X, Y);
      if (kept) storeLanes(kept + x, z1);
    }
    return Moved{t.x, z1, u.w, ~outside(X + 0.5f, Y + 0.5f, p.bW, h)};
  };
  auto movedOne = [&](int x, float& z1) {
    const float X = float(x) + FM_X(U[x]), Y = float(y) + FM_Y(U[x]);
    if (fm_outside(X + 0.5f, Y + 0.5f, p.bW, h)) return false;
    z1 = fm_tw(g.b, p.bW, h, p.bP, X, Y);
    return true;
  };
  float still = 0.0f, s0 = 0.0f, s1 = 0.0f, res = 0.0f, cnt = 0.0f;
  Lf stills = {};
  for (int x = 0; x < whole; x += kLanes) {
    const Pixels t = loadPixels(T + x);
    stills = lmax(stills, labs(t.w - t.x));
    const Moved m = moved(x, false);
    for (int i = 0; i < kLanes; ++i)
      if (m.counts[i]) {
        s0 += m.z0[i];
        s1 += m.z1[i];
        res += m.residual[i];
        cnt += 1.0f;
      }
  }
  for (int i = 0; i < kLanes; ++i) still = fm_maxf(still, stills[i]);
  for (int x = whole; x < w; ++x) {
    still = fm_maxf(still, fm_absf(FM_W(T[x]) - FM_X(T[x])));
    float z1;
    if (!movedOne(x, z1)) continue;
    s0 += FM_X(T[x]);
    s1 += z1;
    res += FM_W(U[x]);
    cnt += 1.0f;
  }
  const float m0 = cnt > 0.0f ? s0 / cnt : 0.0f, m1 = cnt > 0.0f ? s1 / cnt : 0.0f;
  float c00 = 0.0f, c11 = 0.0f, c01 = 0.0f;
  auto add = [&](float z0, float z1) {
    const float d0 = z0 - m0, d1 = z1 - m1;
    c00 += d0 * d0;
    c11 += d1 * d1;
    c01 += d0 * d1;
  };
  for (int x = 0; x < whole; x += kLanes) {
    const Moved m = moved(x, true);
    for (int i = 0; i < kLanes; ++i)
      if (m.counts[i]) add(m.z0[i], m.z1[i]);
  }
  for (int x = whole; x < w; ++x) {
    float z1;
    if (movedOne(x, z1)) add(FM_X(T[x]), z1);
  }
  float4* d = g.d + fm_idx(y) * p.dP;
  d[0] = make_f4(m0, m1, cnt, res);
  d[1] = make_f4(c00, c11, c01, still);
}

void runFlowStatsBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                      const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  const FMParams& p = g.p;
  if (!lanesReach(p.bH, p.bP) || p.bW < 1 || p.bW >= (1 << 24)) return itemRows<fm_flow_stats>(gridW, first, end, g);
  // Without room for a row's samples, the second pass takes them again.
  float* kept = static_cast<float*>(std::malloc(size_t(std::max(std::min(p.aW, p.bW), 1)) * sizeof(float)));
  for (int gy = first; gy < end && gridW > 0; ++gy) {
    const int y = p.y0 + gy;
    if (y >= p.y1 || y >= p.dH || y >= p.bH || y >= p.aH) continue;
    statsRow(g, y, kept);
  }
  std::free(kept);
}

}  // namespace flow
