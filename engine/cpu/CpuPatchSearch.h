// Band runner for fm_patch_search, part of the level body (CpuLevelBody.h). Each lane searches
// its own patch, kLanes neighbouring patches of a row at once: every patch's sums still run
// over its pixels in the kernel's order, only side by side with other patches' sums instead of
// one after another, and a lane stops iterating exactly when the kernel's loop would break.
#pragma once

namespace patch {

constexpr int kMaxSide = FM_PATCH_MAX;

// Where every lane samples one column of its patch: fm_tw's cell and fraction along x.
struct Column {
  Li x0, x1;
  Lf ax;
};

// The kernel's cell of a position: unclamped where the whole patch lies inside (its fast
// path), else clamped into the level as fm_bilin_clamp clamps it.
FM_LANE_FN Lf placed(Lf X, Li inside, int last) {
  return select(inside, X, select(X > 0.0f, lmin(X, lf(float(last))), lf(0.0f)));
}

// Whether the lanes' patches sit one step of 4 pixels apart, none pulled back, so that one row
// of all of them is a run of pixels that patchRow can read whole.
FM_LANE_FN bool stridedPatches(const FMParams& p, int x) {
#if FM_CPU_LANES == 16
  return p.segLen == 4 && p.n <= 8 && 4 * (x + kLanes - 1) <= p.aW - p.n && 4 * x + 4 * (kLanes + 1) <= p.aP;
#else
  (void)p, (void)x;
  return false;
#endif
}

// Pixel i of every lane's patch along one row, for lanes whose patches start 4 pixels apart
// from `row` on: the row's 4 (kLanes + 1) pixels read as kLanes + 1 vectors of 4 pixels each,
// transposed so that lane l holds the pixels of vector l.
FM_LANE_FN void patchRow(const float4* row, int n, Pixels* across) {
#if FM_CPU_LANES == 16
  Lf m[kLanes];
  const float* f = reinterpret_cast<const float*>(row);
  for (int l = 0; l < kLanes; ++l) m[l] = loadLanes(f + 16 * l);
  const Lf next = loadLanes(f + 16 * kLanes);
  // Exchanges bit b of the row index with bit b of the column index, for b = 1, 2, 4, 8.
  for (int b = 1; b < kLanes; b *= 2)
    for (int r = 0; r < kLanes; ++r)
      if (!(r & b)) {
        const Lf a = m[r], c = m[r + b];
        m[r] = __builtin_shuffle(a, c, lanes::mask([b](int k) { return k & b ? kLanes + k - b : k; }));
        m[r + b] = __builtin_shuffle(a, c, lanes::mask([b](int k) { return k & b ? kLanes + k : k + b; }));
      }
  // m[4 i + c] now holds channel c of pixel i of every vector; pixels 4 ... 7 are those of the
  // next vector, one lane on.
  for (int i = 0; i < n; ++i) {
    Lf c[4];
    for (int ch = 0; ch < 4; ++ch) {
      const int q = 4 * (i % 4) + ch;
      c[ch] = i < 4 ? m[q] : __builtin_shuffle(m[q], next, lanes::mask([q](int k) { return k < kLanes - 1 ? k + 1 : kLanes + q; }));
    }
    across[i] = {c[0], c[1], c[2], c[3]};
  }
#else
  (void)row, (void)n, (void)across;
#endif
}

FM_LANE_FN void searchLanes(const BandArgs& g, int x, int y) {
  const FMParams& p = g.p;
  const int n = p.n, W = p.aW, H = p.aH, P = p.aP;
  const float* t = reinterpret_cast<const float*>(g.a);
  const Li px0 = lmini((li(x) + laneIndex()) * p.segLen, li(W - n));
  const int py0 = std::min(y * p.segLen, H - n);
  float4* out = g.d + fm_idx(y) * p.dP + x;
  const Pixels start = loadPixels(out);
  const Lf uS = start.x, vS = start.y;

  // The template's sums, and its gradients kept for the iterations.
  Lf tgx[kMaxSide * kMaxSide], tgy[kMaxSide * kMaxSide];
  Lf sxx = {}, sxy = {}, syy = {}, sx = {}, sy = {}, sz = {}, szz = {}, sxz = {}, syz = {};
  const bool strided = stridedPatches(p, x);
  for (int j = 0; j < n; ++j) {
    const Li row = li((py0 + j) * P) + px0;
    Pixels across[kMaxSide];
    if (strided) patchRow(g.a + fm_idx(py0 + j) * P + px0[0], n, across);
    for (int i = 0; i < n; ++i) {
      const Pixels q = strided ? across[i] : gatherPixels(g.a, row + i);
      const Lf z = q.x, gx = q.y, gy = q.z;
      tgx[j * n + i] = gx;
      tgy[j * n + i] = gy;
      sxx += gx * gx; sxy += gx * gy; syy += gy * gy;
      sx += gx; sy += gy; sz += z; szz += z * z;
      sxz += gx * z; syz += gy * z;
    }
  }
  const float N = float(n * n);
  const Lf mT = sz / N;
  const Lf varT = lmax(szz / N - mT * mT, lf(0.0f));
  const Lf h11 = sxx - sx * sx / N + 1e-5f * N;
  const Lf h12 = sxy - sx * sy / N;
  const Lf h22 = syy - sy * sy / N + 1e-5f * N;
  const Lf det = h11 * h22 - h12 * h12;
  Lf k = lf(1.0f), m1 = mT, u = uS, v = vS;
  Li active = det > 1e-20f;
  const Lf i11 = h22 / det, i12 = -h12 / det, i22 = h11 / det;
  Column col[kMaxSide];
  Lf h[kMaxSide];
  for (int it = 0; it < p.count && anyLane(active); ++it) {
    const Lf xa = toFloat(px0) + u, xb = toFloat(px0 + (n - 1)) + u;
    const Lf ya = float(py0) + v, yb = float(py0 + n - 1) + v;
    const Li inside = (xa >= 0.0f) & (ya >= 0.0f) & (xb < float(W - 1)) & (yb < float(H - 1));
    for (int i = 0; i < n; ++i) {
      const Lf X = placed(toFloat(px0 + i) + u, inside, W - 1);
      col[i].x0 = truncInt(X);
      col[i].ax = X - toFloat(col[i].x0);
      col[i].x1 = lmini(col[i].x0 + 1, li(W - 1));
    }
    // Where every column's second tap is the next column's first, a row's taps are read once.
    Li apart = {};
    for (int i = 0; i + 1 < n; ++i) apart |= col[i].x1 != col[i + 1].x0;
    const bool shared = !anyLane(apart);
    auto blends = [&](Li r, Lf* out) {
#if FM_CPU_LANES == 8
      if (shared && allLanes(col[n - 1].x1 == col[n - 1].x0 + 1)) {
        // Each lane's taps are a run of n + 1 pixels of its row, the last not clamped: loaded
        // whole and transposed, the lanes' addresses taken once for the run (see gatherPixels).
        const Li at = (r - 3) >> 2;
        const float4* lane[kLanes];
        for (int l = 0; l < kLanes; ++l) lane[l] = g.a + at[l] + col[0].x0[l];
        auto tap = [&](int i) { return transposed([&](int k) { return lane[k] + i; }).w; };
        Lf next = tap(0);
        for (int i = 0; i < n; ++i) {
          const Lf first = next;
          next = tap(i + 1);
          out[i] = lerp(first, next, col[i].ax);
        }
        return;
      }
#endif
      if (shared) {
        Lf next = gather(t, r + 4 * col[0].x0);
        for (int i = 0; i < n; ++i) {
          const Lf first = next;
          next = gather(t, r + 4 * col[i].x1);
          out[i] = lerp(first, next, col[i].ax);
        }
      } else {
        for (int i = 0; i < n; ++i) out[i] = lerp(gather(t, r + 4 * col[i].x0), gather(t, r + 4 * col[i].x1), col[i].ax);
      }
    };
    Lf s1 = {}, s11 = {}, sx1 = {}, sy1 = {};
    Li lower = li(-1);  // the row each lane's kept blends were taken from
    for (int j = 0; j < n; ++j) {
      const Lf Y = placed(float(py0 + j) + v, inside, H - 1);
      const Li y0 = truncInt(Y), y1 = lmini(y0 + 1, li(H - 1));
      const Lf ay = Y - toFloat(y0);
      const Li r0 = y0 * (4 * P) + 3, r1 = y1 * (4 * P) + 3;
      // A row's lower blends are the next row's upper ones when it moves down by one row.
      if (!allLanes(y0 == lower)) blends(r0, h);
      Lf below[kMaxSide];
      blends(r1, below);
      for (int i = 0; i < n; ++i) {
        const Lf lo = below[i];
        const Lf z1 = lerp(h[i], lo, ay);
        h[i] = lo;
        s1 += z1;
        s11 += z1 * z1;
        sx1 += tgx[j * n + i] * z1;
        sy1 += tgy[j * n + i] * z1;
      }
      lower = y1;
    }
    const Lf m1n = s1 / N;
    const Lf var1 = lmax(s11 / N - m1n * m1n, lf(0.0f));
    const Lf kn = select((varT > 1e-6f) & (var1 > 1e-6f), lclamp(lsqrt(varT / var1), lf(0.5f), lf(2.0f)), lf(1.0f));
    const Lf bx = kn * (sx1 - m1n * sx) - (sxz - mT * sx);
    const Lf by = kn * (sy1 - m1n * sy) - (syz - mT * sy);
    const Lf du = i11 * bx + i12 * by, dv = i12 * bx + i22 * by;
    const Lf un = u - du, vn = v - dv;
    k = select(active, kn, k);
    m1 = select(active, m1n, m1);
    u = select(active, un, u);
    v = select(active, vn, v);
    active &= finite(un) & finite(vn) & ~(du * du + dv * dv < 1e-4f);
  }
  const Lf mu = u - uS, mv = v - vS;
  const Li back = ~(finite(u) & finite(v)) | (mu * mu + mv * mv > float(n * n));
  u = select(back, uS, u);
  v = select(back, vS, v);
  limitFlow(u, v, p.g0);
  Lf offset = mT - k * m1;
  const Li bad = ~(finite(k) & finite(offset));
  k = select(bad, lf(1.0f), k);
  offset = select(bad, lf(0.0f), offset);
  storePixels(out, {u, v, k, offset});
}

void runPatchSearchBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB,
                        const void* tab, const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  const FMParams& p = g.p;
  // Patches that fit the level, and positions and indices in the lanes' reach.
  const bool lanes = p.n >= 1 && p.n <= kMaxSide && p.aW >= p.n && p.aH >= p.n && p.segLen >= 0 &&
                     p.aW < (1 << 24) && p.aH < (1 << 24) && lanesReach(p.aH, p.aP) &&
                     int64_t(p.dW) * p.segLen < (int64_t(1) << 30);
  if (!lanes) return itemRows<fm_patch_search>(gridW, first, end, g);
  laneRows<fm_patch_search>(
      gridW, first, end, g, [&](int, int& lo, int& hi) { lo = 0; hi = p.dW; },
      [&](int x, int y) { searchLanes(g, x, y); });
}

}  // namespace patch
