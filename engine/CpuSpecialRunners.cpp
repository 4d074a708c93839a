#include "engine/CpuSpecialRunners.h"

#include <algorithm>

#include "engine/CpuKernels.h"

namespace fm {
namespace {

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
constexpr int kTile = 256;
constexpr int kAhead = 6;    // rows prefetched ahead by the column runner   // pixels of a row accumulated together by the gather

}  // namespace

void runBoxRows(const CpuLaunch& l, int first, int end) {
  const Images im(l);
  const FMParams p = *l.p;
  for (int y = first; y < end; ++y)
    for (int seg = 0; seg < l.gridW; ++seg) fm_box_rows(seg, y, im.d, im.a, im.b, im.t, p);
}

void runBoxCols(const CpuLaunch& l, int first, int end) {
  const Images im(l);
  const FMParams p = *l.p;
  const int segments = std::min(p.y1, l.gridH);
  const int n = p.n;
  const float frac = p.frac;
  // Every column of a strip resolves a row index the same way, so rows are resolved once and
  // the strip is then updated with straight vector arithmetic; per pixel the operations are
  // exactly those of the kernel's own work item.
  for (int x0 = first; x0 < end; x0 += kStrip) {
    const int w = std::min(kStrip, end - x0);
    const int inside = std::max(0, std::min(w, p.aW - x0));  // columns past the source read zero
    auto row = [&](int i) -> const float4* {
      const int j = fm_ax_index(i, p.aH, p.mode, p.lo, p.hi);
      return j < 0 ? nullptr : im.a + fm_idx(j) * p.aP + x0;
    };
    auto accumulate = [&](float4* sum, const float4* r, bool subtract) {
      for (int c = 0; c < w; ++c) {
        const float4 v = (r && c < inside) ? r[c] : f4z();
        if (subtract) sum[c] -= v;
        else sum[c] += v;
      }
    };
    float4 sum[kStrip];
    for (int seg = 0; seg < segments; ++seg) {
      const int s0 = seg * p.segLen;
      if (s0 >= p.dH) continue;
      const int s1 = std::min(s0 + p.segLen, p.dH);
      for (int c = 0; c < w; ++c) sum[c] = f4z();
      for (int k = -n; k <= n; ++k) accumulate(sum, row(s0 + k), false);
      for (int i = s0; i < s1; ++i) {
        // Each row of a strip is a short run in a different page, which the hardware
        // prefetcher does not follow: ask for the rows a few steps ahead.
        if (const float4* ahead = row(i + n + kAhead))
          for (int c = 0; c < inside; c += 4) __builtin_prefetch(ahead + c);
        if (i + kAhead < s1)
          for (int c = 0; c < w; c += 4) __builtin_prefetch(im.d + fm_idx(i + kAhead) * p.dP + x0 + c, 1);
        if (i > s0) {
          accumulate(sum, row(i + n), false);
          accumulate(sum, row(i - n - 1), true);
        }
        const float weight = fm_box_weight(i, n, frac, p.mode, p.lo, p.hi);
        float4* drow = im.d + fm_idx(i) * p.dP + x0;
        if (frac > 0.0f) {
          const float4* left = row(i - n - 1);
          const float4* right = row(i + n + 1);
          for (int c = 0; c < w; ++c) {
            const float4 outerL = (left && c < inside) ? left[c] : f4z();
            const float4 outerR = (right && c < inside) ? right[c] : f4z();
            drow[c] = fm_box_apply(sum[c], outerL, outerR, frac, weight);
          }
        } else {
          for (int c = 0; c < w; ++c) drow[c] = fm_box_apply(sum[c], f4z(), f4z(), frac, weight);
        }
      }
    }
  }
}

void runLensGatherConstant(const CpuLaunch& l, int first, int end) {
  const Images im(l);
  const FMParams p = *l.p;
  const int W = p.aW - 1, H = p.aH;
  const int clampMode = p.channel == FM_EDGE_CLAMP;
  const int width = std::min(l.gridW, p.dW);
  const int accum = p.flags & FM_F_ACCUM;
  float4 acc[kTile];
  for (int y = first; y < end; ++y) {
    const int ys = y + p.ay;
    float4* drow = im.d + fm_idx(y) * p.dP;
    for (int x0 = 0; x0 < width; x0 += kTile) {
      const int w = std::min(kTile, width - x0);
      for (int c = 0; c < w; ++c) acc[c] = f4z();
      for (int s = 0; s < p.count; ++s) {
        const float* sp = im.t + 4 * s;
        const int dy = int(sp[0]);
        const float xl = sp[1], xr = sp[2], wt = sp[3];
        for (int c = 0; c < w; ++c) {
          const float X0 = float(x0 + c + p.ax) + 0.5f;
          acc[c] += fm_span(im.a, p.aP, W, H, ys, dy, X0, xl, xr, clampMode, p.lo, p.hi, p.lo2, p.hi2) * wt;
        }
      }
      for (int c = 0; c < w; ++c) fm_store(drow, x0 + c, acc[c] * p.norm, accum);
    }
  }
}

}  // namespace fm
