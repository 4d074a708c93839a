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
constexpr int kTile = 256;   // pixels of a row accumulated together by the gather

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
  for (int x0 = first; x0 < end; x0 += kStrip) {
    const int w = std::min(kStrip, end - x0);
    float4 sum[kStrip];
    int len[kStrip];
    for (int c = 0; c < w; ++c) len[c] = x0 + c < p.aW ? p.aH : 0;
    for (int seg = 0; seg < segments; ++seg) {
      const int s0 = seg * p.segLen;
      if (s0 >= p.dH) continue;
      const int s1 = std::min(s0 + p.segLen, p.dH);
      for (int c = 0; c < w; ++c) sum[c] = f4z();
      for (int k = -n; k <= n; ++k)
        for (int c = 0; c < w; ++c) sum[c] += fm_axv(im.a, x0 + c, p.aP, s0 + k, len[c], p.mode, p.lo, p.hi);
      for (int i = s0; i < s1; ++i) {
        float4* drow = im.d + fm_idx(i) * p.dP + x0;
        for (int c = 0; c < w; ++c) {
          const fm_idx base = x0 + c;
          if (i > s0) {
            sum[c] += fm_axv(im.a, base, p.aP, i + n, len[c], p.mode, p.lo, p.hi);
            sum[c] -= fm_axv(im.a, base, p.aP, i - n - 1, len[c], p.mode, p.lo, p.hi);
          }
          float4 outerL = f4z(), outerR = f4z();
          if (p.frac > 0.0f) {
            outerL = fm_axv(im.a, base, p.aP, i - n - 1, len[c], p.mode, p.lo, p.hi);
            outerR = fm_axv(im.a, base, p.aP, i + n + 1, len[c], p.mode, p.lo, p.hi);
          }
          drow[c] = fm_box_out(sum[c], outerL, outerR, i, n, p.frac, p.mode, p.lo, p.hi);
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
