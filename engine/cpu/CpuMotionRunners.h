// Band runners for the motion-blur velocity (fm_mvel) and gather (fm_mblur), part of the level
// body (CpuLevelBody.h). Lanes are neighbouring pixels of a row; each does its work item's
// operations in their order, the gather taking as many samples as its own tile asks for.
#pragma once

namespace motion {

// fm_bilin0 of every channel: transparent outside. Both of the kernel's paths (direct reads
// inside, fm_fetch0 at the border) blend the same four values, zero where a tap lies outside.
// Whether every lane's cell lies inside the image, on one row, each one column right of the
// previous lane's: its pixels are then runs along the row.
FM_LANE_FN bool cellsInARun(Li x0, Li y0, int w, int h) {
  return allLanes((y0 == y0[0]) & (x0 == x0[0] + laneIndex())) && x0[0] >= 0 && x0[0] + kLanes <= w && y0[0] >= 0 &&
         y0[0] < h;
}

FM_LANE_FN Pixels bilinear0(PixelFetch& fetch, const float4* img, int w, int h, int pitch, Lf X, Lf Y) {
  const Li ok = (X > -1.0f) & (Y > -1.0f) & (X < float(w)) & (Y < float(h));
  const Lf fx = lfloor(X), fy = lfloor(Y);
  // Lanes outside read nothing; zero keeps their conversions defined.
  const Li x0 = truncInt(select(ok, fx, lf(0.0f))), y0 = truncInt(select(ok, fy, lf(0.0f)));
  const Lf ax = X - fx, ay = Y - fy;
  Pixels a, b, c, d;
  if (allLanes(ok) && cellsInARun(x0, y0, w - 1, h - 1)) {
    const float4* top = img + fm_idx(y0[0]) * pitch + x0[0];
    a = loadPixels(top), b = loadPixels(top + 1), c = loadPixels(top + pitch), d = loadPixels(top + pitch + 1);
  } else {
    a = fetch(ok, x0, y0), b = fetch(ok, x0 + 1, y0), c = fetch(ok, x0, y0 + 1), d = fetch(ok, x0 + 1, y0 + 1);
  }
  auto mix = [&](Lf pa, Lf pb, Lf pc, Lf pd) {
    return select(ok, (pa * (1.0f - ax) + pb * ax) * (1.0f - ay) + (pc * (1.0f - ax) + pd * ax) * ay, lf(0.0f));
  };
  return {mix(a.x, b.x, c.x, d.x), mix(a.y, b.y, c.y, d.y), mix(a.z, b.z, c.z, d.z), mix(a.w, b.w, c.w, d.w)};
}

FM_LANE_FN Lf reach(Lf d, Lf r) { return lclamp(r - d + 0.5f, lf(0.0f), lf(1.0f)); }
FM_LANE_FN Lf front(Lf za, Lf zb) { return lclamp(1.0f + 10.0f * (za - zb), lf(0.0f), lf(1.0f)); }

// Pixels [x, x + kLanes) of row y, whose frame pixels lie inside both the colour and the
// velocity image; `shift` is log2 of the tile size.
FM_LANE_FN void gatherLanes(const BandArgs& g, int x, int y, int shift) {
  const FMParams& p = g.p;
  const int cx = x + p.ax, cy = y + p.ay;
  const Li cxs = li(cx) + laneIndex();
  const Pixels c0 = loadPixels(g.a + fm_idx(cy) * p.aP + cx);
  const Li tx = lmini(lmaxi(cxs >> shift, li(0)), li(std::max(p.lo - 1, 0)));
  const int ty = std::min(std::max(cy >> shift, 0), std::max(p.hi - 1, 0));
  Lf nx, ny, nl;
  if (allLanes(tx == tx[0])) {
    const float* nm = g.t + (fm_idx(ty) * p.n + tx[0]) * 4;
    nx = lf(nm[0]), ny = lf(nm[1]), nl = lf(nm[2]);
  } else {
    const Pixels nm = gatherPixels(reinterpret_cast<const float4*>(g.t), ty * p.n + tx);
    nx = nm.x, ny = nm.y, nl = nm.z;
  }
  const Li moving = nl >= 0.5f;
  if (!anyLane(moving)) return g.put(x, y, c0);
  const Pixels v0 = loadPixels(g.b + fm_idx(cy) * p.bP + cx);
  const Lf r0 = v0.w, z0 = v0.z;
  const int limit = std::max(p.count, 1);
  // The length is limited before it becomes an int, so no extent can overflow the count.
  const Li S = lmini(lmaxi(truncInt(lmin(2.0f * nl, lf(float(limit)))) + 1, li(5)), li(limit));
  int samples = 0;
  for (int i = 0; i < kLanes; ++i)
    if (moving[i]) samples = std::max(samples, S[i]);
  const Lf Sf = toFloat(S);
  const Lf ox = toFloat(cxs) + 0.5f;
  PixelFetch colour(g.a, p.aW, p.aH, p.aP), velocity(g.b, p.bW, p.bH, p.bP);
  const float oy = float(cy) + 0.5f;
  Pixels acc = {};
  for (int k = 0; k < samples; ++k) {
    const Li take = moving & (k < S);
    const Lf t = ((float(k) + 0.5f) / Sf) * 2.0f - 1.0f;
    const Li own = (k & 1) ? r0 >= 0.5f : Li{};
    const Lf dx = select(own, v0.x, nx), dy = select(own, v0.y, ny), len = select(own, r0, nl);
    const Lf qx = ox + dx * t, qy = oy + dy * t;
    // fm_vel_under: the velocity under the position, zero outside.
    const Li under = (qx >= 0.0f) & (qy >= 0.0f) & (qx < float(p.bW)) & (qy < float(p.bH));
    const Li vx0 = truncInt(select(under, qx, lf(0.0f))), vy0 = truncInt(select(under, qy, lf(0.0f)));
    const Pixels vy = allLanes(under) && cellsInARun(vx0, vy0, p.bW, p.bH)
                          ? loadPixels(g.b + fm_idx(vy0[0]) * p.bP + vx0[0])
                          : velocity(under, vx0, vy0);
    const Lf vz = vy.z, vl = vy.w;
    const Pixels cyc = bilinear0(colour, g.a, p.aW, p.aH, p.aP, qx - 0.5f, qy - 0.5f);
    const Lf dist = labs(t) * len;
    const Lf w = lclamp(front(vz, z0) * reach(dist, vl) + front(z0, vz) * reach(dist, r0), lf(0.0f), lf(1.0f));
    const Lf keep = 1.0f - w;
    acc.x = select(take, acc.x + (cyc.x * w + c0.x * keep), acc.x);
    acc.y = select(take, acc.y + (cyc.y * w + c0.y * keep), acc.y);
    acc.z = select(take, acc.z + (cyc.z * w + c0.z * keep), acc.z);
    acc.w = select(take, acc.w + (cyc.w * w + c0.w * keep), acc.w);
  }
  g.put(x, y, {select(moving, acc.x / Sf, c0.x), select(moving, acc.y / Sf, c0.y), select(moving, acc.z / Sf, c0.z),
               select(moving, acc.w / Sf, c0.w)});
}

void runMotionBlurBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                       const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  const FMParams& p = g.p;
  const int seg = std::max(p.segLen, 1);
  const bool lanes = (seg & (seg - 1)) == 0 && g.t && p.n >= 0 && p.lo >= 1 && p.hi >= 1 &&
                     int64_t(p.hi) * p.n * 4 < (int64_t(1) << 31) && lanesReach(p.aH, p.aP) &&
                     lanesReach(p.bH, p.bP) && p.aW < (1 << 24) && p.bW < (1 << 24) && p.aH < (1 << 24) &&
                     p.bH < (1 << 24);
  if (!lanes) return itemRows<fm_mblur>(gridW, first, end, g);
  const int shift = __builtin_ctz(unsigned(seg));
  // Pixels whose own frame pixel lies inside both images.
  const int64_t left = -int64_t(p.ax), right = int64_t(std::min(p.aW, p.bW)) - p.ax;
  laneRows<fm_mblur>(
      gridW, first, end, g,
      [&](int y, int& lo, int& hi) {
        const int64_t cy = int64_t(y) + p.ay;
        const bool inside = cy >= 0 && cy < std::min(p.aH, p.bH);
        lo = int(std::min<int64_t>(std::max<int64_t>(left, 0), p.dW));
        hi = inside ? int(std::min<int64_t>(std::max<int64_t>(right, lo), p.dW)) : lo;
      },
      [&](int x, int y) { gatherLanes(g, x, y, shift); });
}

// fm_flow_at of kLanes pixels inside an image: a flow that is not finite counts as no motion.
FM_LANE_FN Pixels flowAt(const float4* row) {
  Pixels f = loadPixels(row);
  const Li ok = finite(f.x) & finite(f.y);
  return {select(ok, f.x, lf(0.0f)), select(ok, f.y, lf(0.0f)), select(ok, f.z, lf(0.0f)), select(ok, f.w, lf(0.0f))};
}

// The velocity of pixels [x, x + kLanes) of row y, inside every flow the block names.
FM_LANE_FN void velocityLanes(const BandArgs& g, int x, int y) {
  const FMParams& p = g.p;
  const bool hasF = p.mode & 1, hasB = (p.mode & 2) != 0;
  const Pixels f = hasF ? flowAt(g.a + fm_idx(y) * p.aP + x) : Pixels{};
  const Pixels b = hasB ? flowAt(g.b + fm_idx(y) * p.bP + x) : Pixels{};
  const Lf X = columnsOf(x) + 0.5f;
  const float Y = float(y) + 0.5f;
  // A NaN confidence counts as the least; the upper bound only keeps an absurd one from
  // overflowing the blend into NaN.
  Lf cf = hasF ? lmin(lmax(f.z, lf(1e-3f)), lf(1e6f)) : Lf{};
  Lf cb = hasB ? lmin(lmax(b.z, lf(1e-3f)), lf(1e6f)) : Lf{};
  if (hasF) cf = select(outside(X + f.x, Y + f.y, p.dW, p.dH), lf(1e-3f), cf);
  if (hasB) cb = select(outside(X + b.x, Y + b.y, p.dW, p.dH), lf(1e-3f), cb);
  if (hasF && hasB) {
    const Lf mf = lsqrt(f.x * f.x + f.y * f.y), mb = lsqrt(b.x * b.x + b.y * b.y);
    const Lf ex = f.x + b.x, ey = f.y + b.y;
    const Lf d0 = 0.5f + 0.15f * lmax(mf, mb);
    const Lf lambda = lclamp(lsqrt(ex * ex + ey * ey) / d0 - 1.0f, lf(0.0f), lf(1.0f));
    const Li near = (cf < 2.0f * cb) & (cb < 2.0f * cf);
    const Lf wf = select(select(near, mf >= mb, cf >= cb), lf(1.0f), lf(0.0f));
    cf = cf + (wf - cf) * lambda;
    cb = cb + (1.0f - wf - cb) * lambda;
  }
  const Lf cs = cf + cb;
  const Li blend = cs > 0.0f;
  Lf vx = select(blend, (cf * f.x - cb * b.x) / cs, lf(0.0f));
  Lf vy = select(blend, (cf * f.y - cb * b.y) / cs, lf(0.0f));
  vx *= p.g0;
  vy *= p.g0;
  const Li overflowed = ~(finite(vx) & finite(vy));
  vx = select(overflowed, lf(0.0f), vx);
  vy = select(overflowed, lf(0.0f), vy);
  Lf len = lsqrt(vx * vx + vy * vy);
  const Li longer = len > p.g1;
  if (anyLane(longer)) {
    // A length past the float range: shortened first, direction kept.
    const Li huge = longer & ~finite(len);
    const Lf hx = select(huge, vx * 7.8886091e-31f, vx), hy = select(huge, vy * 7.8886091e-31f, vy);
    const Lf hl = select(huge, lsqrt(hx * hx + hy * hy), len);
    const Lf s = p.g1 > 0.0f ? p.g1 / hl : lf(0.0f);
    const Lf sx = hx * s, sy = hy * s;
    vx = select(longer, sx, vx);
    vy = select(longer, sy, vy);
    len = select(longer, lsqrt(sx * sx + sy * sy), len);
  }
  Lf z = lf(1.0f);
  if (p.channel == 1 || p.channel == 2) {
    const Pixels t = loadPixels(reinterpret_cast<const float4*>(g.t + (fm_idx(y) * p.n + x) * 4));
    z = p.channel == 1 ? t.w : 0.2126f * t.x + 0.7152f * t.y + 0.0722f * t.z;
    z = lclamp(select(finite(z), z, lf(0.0f)), lf(0.0f), lf(1.0f));
  }
  g.put(x, y, {vx, vy, z, len});
}

void runVelocityBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                     const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  const FMParams& p = g.p;
  const bool hasF = p.mode & 1, hasB = (p.mode & 2) != 0;
  laneRows<fm_mvel>(
      gridW, first, end, g,
      [&](int y, int& lo, int& hi) {
        // Pixels inside every flow present, whose reads need no edge test.
        lo = 0;
        hi = p.dW;
        if (hasF) hi = y < p.aH ? std::min(hi, p.aW) : 0;
        if (hasB) hi = y < p.bH ? std::min(hi, p.bW) : 0;
      },
      [&](int x, int y) { velocityLanes(g, x, y); });
}

}  // namespace motion
