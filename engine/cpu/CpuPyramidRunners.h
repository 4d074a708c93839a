// Band runners for the feature pyramid and the template of a level (fm_feat, fm_half,
// fm_tmpl), part of the level body (CpuLevelBody.h): kLanes pixels of a row at once, each lane
// doing its work item's operations in their order.
#pragma once

namespace pyramid {

// The feature of pixels [x, x + kLanes) of row y, whose source pixels lie inside the frame.
FM_LANE_FN void featureLanes(const BandArgs& g, int x, int y) {
  const FMParams& p = g.p;
  const Pixels c = loadPixels(g.a + fm_idx(y + p.ay) * p.aP + (x + p.ax));
  Lf l = 0.2126f * c.x + 0.7152f * c.y + 0.0722f * c.z;
  Lf a = lclamp(c.w, lf(0.0f), lf(1.0f));
  const Li none = ~finite(l) | (l < 0.0f);
  // Overbright values, compressed logarithmically; rare enough to take one by one.
  const Li over = ~none & (l > 1.0f);
  if (anyLane(over))
    for (int i = 0; i < kLanes; ++i)
      if (over[i]) l[i] = 1.0f + 0.6931472f * fm_log2f(l[i]);
  l = select(none, lf(0.0f), l);
  a = select(finite(a), a, lf(0.0f));
  g.put(x, y, {l + 0.5f * a, a, lf(0.0f), lf(0.0f)});
}

void runFeatureBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                    const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  const FMParams& p = g.p;
  // Pixels whose source pixel lies inside the frame: the items read transparency elsewhere.
  laneRows<fm_feat>(
      gridW, first, end, g,
      [&](int y, int& lo, int& hi) {
        const int64_t sy = int64_t(y) + p.ay;
        lo = int(std::min<int64_t>(std::max<int64_t>(-int64_t(p.ax), 0), p.dW));
        hi = sy >= 0 && sy < p.aH ? int(std::min<int64_t>(std::max<int64_t>(int64_t(p.aW) - p.ax, lo), p.dW)) : lo;
      },
      [&](int x, int y) { featureLanes(g, x, y); });
}

// The 2 x 2 averages of output pixels [x, x + kLanes) of row y, kLanes / 4 pixels per vector:
// each vector holds whole pixels, so the pixels' four channels add as the kernel's float4 does.
FM_LANE_FN void halfLanes(const BandArgs& g, int x, int y) {
  const FMParams& p = g.p;
  const float* r0 = reinterpret_cast<const float*>(g.a + fm_idx(2 * y) * p.aP + 2 * x);
  const float* r1 = reinterpret_cast<const float*>(g.a + fm_idx(2 * y + 1) * p.aP + 2 * x);
  float* out = reinterpret_cast<float*>(g.d + fm_idx(y) * p.dP + x);
  // Even and odd source pixels of the pairs in two vectors of pixels.
  const Li even = lanes::mask([](int i) { return 8 * (i / 4) + i % 4; });
  const Li odd = even + 4;
  for (int q = 0; q < 4; ++q) {
    const Lf a0 = loadLanes(r0 + 2 * q * kLanes), a1 = loadLanes(r0 + 2 * q * kLanes + kLanes);
    const Lf b0 = loadLanes(r1 + 2 * q * kLanes), b1 = loadLanes(r1 + 2 * q * kLanes + kLanes);
    const Lf sum = __builtin_shuffle(a0, a1, even) + __builtin_shuffle(a0, a1, odd) + __builtin_shuffle(b0, b1, even) +
                   __builtin_shuffle(b0, b1, odd);
    storeLanes(out + q * kLanes, sum * 0.25f);
  }
}

void runHalfBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                 const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  const FMParams& p = g.p;
  // Pixels whose four source pixels all lie inside: the clamps change nothing there.
  laneRows<fm_half>(
      gridW, first, end, g,
      [&](int y, int& lo, int& hi) {
        lo = 0;
        hi = 2 * int64_t(y) + 1 < p.aH ? p.aW / 2 : 0;
      },
      [&](int x, int y) { halfLanes(g, x, y); });
}

// The template of pixels [x, x + kLanes) of row y, all of whose neighbours lie inside.
FM_LANE_FN void templateLanes(const BandArgs& g, int x, int y) {
  const FMParams& p = g.p;
  const float4* c = g.a + fm_idx(y) * p.aP + x;
  auto z = [&](int dx, int dy) { return loadPixels(c + dy * p.aP + dx).x; };
  const Lf zmm = z(-1, -1), z0m = z(0, -1), zpm = z(1, -1), zm0 = z(-1, 0);
  const Lf zp0 = z(1, 0), zmp = z(-1, 1), z0p = z(0, 1), zpp = z(1, 1);
  const Lf gx = (zpm + 2.0f * zp0 + zpp - zmm - 2.0f * zm0 - zmp) * 0.125f;
  const Lf gy = (zmp + 2.0f * z0p + zpp - zmm - 2.0f * z0m - zpm) * 0.125f;
  g.put(x, y, {z(0, 0), gx, gy, loadPixels(g.b + fm_idx(y) * p.bP + x).x});
}

void runTemplateBand(int gridW, int first, int end, void* dst, const void* srcA, const void* srcB, const void* tab,
                     const FMParams& block) {
  const BandArgs g(dst, srcA, srcB, tab, block);
  const FMParams& p = g.p;
  laneRows<fm_tmpl>(
      gridW, first, end, g,
      [&](int y, int& lo, int& hi) {
        lo = 1;
        hi = y >= 1 && y + 1 < p.aH ? p.aW - 1 : 0;
      },
      [&](int x, int y) { templateLanes(g, x, y); });
}

}  // namespace pyramid
