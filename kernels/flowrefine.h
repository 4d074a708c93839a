// Flow refinement kernels: the data term linearised at the patch flow, edge-aware smoothness
// weights, one Jacobi step of the variational energy, the flow brought to a finer grid, and
// the per-row statistics of how well the moved neighbour matches the current frame.
#ifndef FM_FLOWREFINE_H
#define FM_FLOWREFINE_H

// Warp image (r0, gx, gy, Z0): the brightness-corrected residual at flow (u', v') is
// r0 + gx u' + gy v', linearised once per level around the patch flow.
FM_KERNEL(fm_flow_warp) {
  FM_PIXEL_ITEM(x, y);
  const float4 U = srcA[(fm_idx)y * p.aP + x];
  const float z0 = FM_X(srcB[(fm_idx)y * p.bP + x]);
  const int w = p.bW, h = p.bH, P = p.bP;
  const float X = (float)x + FM_X(U), Y = (float)y + FM_Y(U);
  const float gain = FM_Z(U);
  const float z1 = gain * fm_tw(srcB, w, h, P, X, Y) + FM_W(U);
  const float gx = 0.5f * gain * (fm_tw(srcB, w, h, P, X + 1.0f, Y) - fm_tw(srcB, w, h, P, X - 1.0f, Y));
  const float gy = 0.5f * gain * (fm_tw(srcB, w, h, P, X, Y + 1.0f) - fm_tw(srcB, w, h, P, X, Y - 1.0f));
  dst[(fm_idx)y * p.dP + x] = make_f4(z1 - z0 - gx * FM_X(U) - gy * FM_Y(U), gx, gy, z0);
}

// Smoothness weights to the right, left, lower and upper neighbour, falling across feature
// steps so that motion edges follow image edges; 0 towards a neighbour outside the level.
FM_KERNEL(fm_flow_edges) {
  FM_PIXEL_ITEM(x, y);
  const int w = p.aW, h = p.aH;
  FM_G const float4* c = srcA + (fm_idx)y * p.aP + x;
  const float z = FM_X(c[0]);
  float a[4];
  const int inside[4] = {x + 1 < w, x > 0, y + 1 < h, y > 0};
  const int step[4] = {1, -1, p.aP, -p.aP};
  for (int k = 0; k < 4; ++k) {
    a[k] = 0.0f;
    if (inside[k]) {
      const float d = p.g2 * (FM_X(c[step[k]]) - z);
      a[k] = p.g1 / (1.0f + d * d);
    }
  }
  dst[(fm_idx)y * p.dP + x] = make_f4(a[0], a[1], a[2], a[3]);
}

// One Jacobi step (reads the previous iterate only). Robust (Charbonnier) data weight plus the
// neighbours' edge weights from the table (pitch n); mode 1 writes the match confidence and
// the residual in place of the gain and offset.
FM_KERNEL(fm_flow_refine) {
  FM_PIXEL_ITEM(x, y);
  FM_G const float4* Uc = srcA + (fm_idx)y * p.aP + x;
  const float4 U = Uc[0];
  const float4 Wp = srcB[(fm_idx)y * p.bP + x];
  const float r0 = FM_X(Wp), gx = FM_Y(Wp), gy = FM_Z(Wp);
  const float it = r0 + gx * FM_X(U) + gy * FM_Y(U);
  const float wd = p.g3 / fm_sqrtf(it * it + 1e-6f);
  const int inside[4] = {x + 1 < p.aW, x > 0, y + 1 < p.aH, y > 0};
  const int step[4] = {1, -1, p.aP, -p.aP};
  FM_G const float* wt = tab + ((fm_idx)y * p.n + x) * 4;
  float sa = 0.0f, su = 0.0f, sv = 0.0f;
  for (int k = 0; k < 4; ++k) {
    const float a = wt[k];
    // A NaN weight fails the test and counts as absent.
    if (a > 0.0f && inside[k]) {
      const float4 nb = Uc[step[k]];
      su += a * FM_X(nb);
      sv += a * FM_Y(nb);
      sa += a;
    }
  }
  const float a11 = wd * gx * gx + sa, a12 = wd * gx * gy, a22 = wd * gy * gy + sa;
  const float b1 = su - wd * gx * r0, b2 = sv - wd * gy * r0;
  const float det = a11 * a22 - a12 * a12;
  float u = FM_X(U), v = FM_Y(U);
  if (det > 1e-24f) {
    const float nu = (b1 * a22 - a12 * b2) / det, nv = (a11 * b2 - a12 * b1) / det;
    if (fm_finite(nu) && fm_finite(nv)) {
      u = nu;
      v = nv;
    }
  }
  fm_limit_flow(&u, &v, p.g0);
  const float r = fm_absf(it);
  dst[(fm_idx)y * p.dP + x] =
      p.mode == 1 ? make_f4(u, v, 1.0f / (1.0f + 64.0f * r), r) : make_f4(u, v, FM_Z(U), FM_W(U));
}

// Flow on a grid g0 times finer (offset ax, ay in destination pixels): vectors scaled, the
// confidence carried.
FM_KERNEL(fm_flow_up) {
  FM_PIXEL_ITEM(x, y);
  const float f = p.g0;
  const float4 s = fm_bilin_clamp(srcA, p.aW, p.aH, p.aP, ((float)(x + p.ax) + 0.5f) / f - 0.5f,
                                  ((float)(y + p.ay) + 0.5f) / f - 0.5f);
  dst[(fm_idx)y * p.dP + x] = make_f4(FM_X(s) * f, FM_Y(s) * f, FM_Z(s), 0.0f);
}

// True when a moved pixel-edge position lies more than one pixel outside a w x h level; a NaN
// position counts as outside.
FM_FN int fm_outside(float X, float Y, int w, int h) {
  return !(X >= -1.0f && Y >= -1.0f && X <= (float)w + 1.0f && Y <= (float)h + 1.0f);
}

// Per-row match statistics (grid 1 x rows): column 0 = (mean Z0, mean moved Z1, count, residual
// sum), column 1 = (centred sums Z0², Z1², Z0 Z1, largest unmoved frame difference). The host
// pools the rows in double precision.
FM_KERNEL(fm_flow_stats) {
  if (FM_GX != 0) return;
  const int y = p.y0 + FM_GY;
  if (y >= p.y1 || y >= p.dH || y >= p.bH || y >= p.aH) return;
  const int w = fm_mini(p.aW, p.bW), h = p.bH;
  FM_G const float4* U = srcA + (fm_idx)y * p.aP;
  FM_G const float4* T = srcB + (fm_idx)y * p.bP;
  float still = 0.0f, s0 = 0.0f, s1 = 0.0f, res = 0.0f, cnt = 0.0f;
  for (int x = 0; x < w; ++x) {
    still = fm_maxf(still, fm_absf(FM_W(T[x]) - FM_X(T[x])));
    const float X = (float)x + FM_X(U[x]), Y = (float)y + FM_Y(U[x]);
    if (fm_outside(X + 0.5f, Y + 0.5f, p.bW, h)) continue;
    s0 += FM_X(T[x]);
    s1 += fm_tw(srcB, p.bW, h, p.bP, X, Y);
    res += FM_W(U[x]);
    cnt += 1.0f;
  }
  const float m0 = cnt > 0.0f ? s0 / cnt : 0.0f, m1 = cnt > 0.0f ? s1 / cnt : 0.0f;
  float c00 = 0.0f, c11 = 0.0f, c01 = 0.0f;
  for (int x = 0; x < w; ++x) {
    const float X = (float)x + FM_X(U[x]), Y = (float)y + FM_Y(U[x]);
    if (fm_outside(X + 0.5f, Y + 0.5f, p.bW, h)) continue;
    const float d0 = FM_X(T[x]) - m0, d1 = fm_tw(srcB, p.bW, h, p.bP, X, Y) - m1;
    c00 += d0 * d0;
    c11 += d1 * d1;
    c01 += d0 * d1;
  }
  FM_G float4* d = dst + (fm_idx)y * p.dP;
  d[0] = make_f4(m0, m1, cnt, res);
  d[1] = make_f4(c00, c11, c01, still);
}

#endif
