// Camera lens kernels: prefix sums and the iris gather, the conversions around it, the radius
// from a blur map, and the box reduction and bilinear enlargement used by large blurs.
#ifndef FM_LENS_H
#define FM_LENS_H

// Integral of one image row from 0 to pixel-edge position X, from its prefix row P (W + 1
// elements). Linear within a pixel, so spans with fractional ends cover partial pixels.
FM_FN float4 fm_pint(FM_G const float4* P, int W, float X, int clampMode, int lo, int hi) {
  if (clampMode) {
    // Edge pixels repeat outward: the integral keeps growing at the edge pixel's rate.
    if (X <= (float)lo) return P[lo] - (P[lo + 1] - P[lo]) * ((float)lo - X);
    if (X >= (float)hi) return P[hi] + (P[hi] - P[hi - 1]) * (X - (float)hi);
  } else {
    if (X <= 0.0f) return P[0];
    if (X >= (float)W) return P[W];
  }
  if (!(X == X)) return f4z();  // NaN reaches here; it must not become an index
  const float fi = fm_floorf(X);
  const int i = (int)fi;
  const float a = X - fi;
  return P[i] + (P[i + 1] - P[i]) * a;
}

// Sum over the horizontal span [X0 + xl, X0 + xr] of image row ys + dy, from the prefix image.
FM_FN float4 fm_span(FM_G const float4* pre, int pitch, int W, int H, int ys, int dy, float X0, float xl,
                     float xr, int clampMode, int lo, int hi, int lo2, int hi2) {
  int row = ys + dy;
  if (clampMode) row = fm_clampi(row, lo2, hi2 - 1);
  if (row < 0 || row >= H) return f4z();
  FM_G const float4* P = pre + (fm_idx)row * pitch;
  return fm_pint(P, W, X0 + xr, clampMode, lo, hi) - fm_pint(P, W, X0 + xl, clampMode, lo, hi);
}

// Grid: 1 x rows. Exclusive prefix sums of each row, compensated: a plain running sum loses
// the small pixels of long bright rows.
FM_KERNEL(fm_prefix_rows) {
  if (FM_GX != 0) return;
  const int y = p.y0 + FM_GY;
  if (y >= p.y1 || y >= p.aH || y >= p.dH) return;
  FM_G float4* d = dst + (fm_idx)y * p.dP;
  FM_G const float4* s = srcA + (fm_idx)y * p.aP;
  float4 sum = f4z(), c = f4z();
  d[0] = sum;
  for (int x = 0; x < p.aW; ++x) {
    const float4 v = s[x] - c;
    const float4 t = sum + v;
    c = (t - sum) - v;
    sum = t;
    d[x + 1] = sum;
  }
}

// Iris average of every pixel: spans of a constant iris (mode 0), or an iris scaled per pixel
// by a radius image (mode 1), optionally as a ring for the diffraction fringe.
FM_KERNEL(fm_lens_gather) {
  FM_PIXEL_ITEM(x, y);
  const int W = p.aW - 1, H = p.aH;
  const int clampMode = p.channel == FM_EDGE_CLAMP;
  const float X0 = (float)(x + p.ax) + 0.5f;
  const int ys = y + p.ay;
  float4 result = f4z();
  if (p.mode == 0) {
    float4 sum = f4z();
    for (int i = 0; i < p.count; ++i) {
      FM_G const float* sp = tab + 4 * i;
      sum += fm_span(srcA, p.aP, W, H, ys, (int)sp[0], X0, sp[1], sp[2], clampMode, p.lo, p.hi, p.lo2,
                     p.hi2) * sp[3];
    }
    result = sum * p.norm;
  } else if (p.count >= 2) {
    const int rows = p.count;
    float rho = FM_X(fm_fetch0(srcB, p.bW, p.bH, p.bP, x + p.bx, y + p.by));
    rho = rho == rho ? fm_clampf(rho, 0.5f, p.g2) : 0.5f;
    const float ey = p.g0, kx = p.g1;
    const int fringe = (p.flags & FM_F_FRINGE) != 0;
    float4 sum = f4z();
    float area = 0.0f;
    for (int pass = 0; pass <= fringe; ++pass) {
      float r = pass == 0 ? rho : rho * p.g3;
      const float pw = pass == 0 ? (fringe ? 1.0f + p.g4 : 1.0f) : -p.g4;
      if (r < 0.5f) r = 0.5f;
      const int reach = (int)fm_ceilf(r * ey + 0.5f);
      for (int dy = -reach; dy <= reach; ++dy) {
        // Rows at the iris's top and bottom are cut into sub-rows to follow its outline.
        const int split = FM_IRIS_ROW_SPLITS(float, dy < 0 ? -dy : dy, r * ey);
        const int subs = split ? FM_IRIS_SUBROWS : 1;
        const float w = pw / (float)subs;
        for (int s = 0; s < subs; ++s) {
          const float yy = split ? FM_IRIS_SUBROW_Y(float, dy, s) : (float)dy;
          const float yn = yy / r;
          if (yn < -1.0f || yn > 1.0f) continue;
          const float f = (yn + 1.0f) * 0.5f * (float)(rows - 1);
          const int i0 = fm_clampi((int)fm_floorf(f), 0, rows - 2);
          const float a = f - (float)i0;
          FM_G const float* t0 = tab + 2 * i0;
          float xl = t0[0] + (t0[2] - t0[0]) * a;
          float xr = t0[1] + (t0[3] - t0[1]) * a;
          if (xr <= xl) continue;
          xl *= r * kx;
          xr *= r * kx;
          sum += fm_span(srcA, p.aP, W, H, ys, dy, X0, xl, xr, clampMode, p.lo, p.hi, p.lo2, p.hi2) * w;
          area += (xr - xl) * w;
        }
      }
    }
    if (area > 1e-6f) result = sum / area;
  }
  fm_store(dst, (fm_idx)y * p.dP + x, result, p.flags & FM_F_ACCUM);
}

// Straight colour, taken into (toLinear) or out of linear light when FM_F_LINEAR is set,
// then premultiplied.
FM_FN float4 fm_linear_premul(float r, float g, float b, float a, int flags, int toLinear) {
  if (flags & FM_F_LINEAR) {
    const int srgb = (flags & FM_F_SRGB) != 0;
    r = toLinear ? fm_to_linear(r, srgb) : fm_from_linear(r, srgb);
    g = toLinear ? fm_to_linear(g, srgb) : fm_from_linear(g, srgb);
    b = toLinear ? fm_to_linear(b, srgb) : fm_from_linear(b, srgb);
  }
  return make_f4(r * a, g * a, b * a, a);
}

// Highlights and linear light before the gather, on straight colour.
FM_KERNEL(fm_lens_prep) {
  FM_PIXEL_ITEM(x, y);
  const fm_idx di = (fm_idx)y * p.dP + x;
  const float4 c = fm_fetch0(srcA, p.aW, p.aH, p.aP, x + p.ax, y + p.ay);
  const float a = FM_W(c);
  if (!(a > 0.0f)) {
    dst[di] = f4z();
    return;
  }
  float r = FM_X(c) / a, g = FM_Y(c) / a, b = FM_Z(c) / a;
  if (p.flags & FM_F_HIGHLIGHT) {
    const float L = fm_luma(r, g, b);
    // A threshold of 1 boosts nothing: over-range (float) pixels would otherwise be scaled by
    // the 1e-4 floor of the divisor into the millions.
    if (L > p.g1 && p.g1 < 1.0f) {
      const float e = (L - p.g1) / fm_maxf(1e-4f, 1.0f - p.g1);
      const float m = p.g0 * p.g3 * (e * e);
      r = r + m * (L + (r - L) * p.g2);
      g = g + m * (L + (g - L) * p.g2);
      b = b + m * (L + (b - L) * p.g2);
    }
  }
  dst[di] = fm_linear_premul(r, g, b, a, p.flags, 1);
}

// Back from linear light, in place; also brings alpha into [0, 1] with the colour rescaled.
FM_KERNEL(fm_lens_finish) {
  FM_PIXEL_ITEM(x, y);
  const fm_idx di = (fm_idx)y * p.dP + x;
  const float4 c = dst[di];
  const float a = fm_clampf(FM_W(c), 0.0f, 1.0f);
  if (!(a > 1e-7f)) {
    dst[di] = f4z();
    return;
  }
  const float inv = 1.0f / fm_maxf(FM_W(c), a);
  float r = FM_X(c) * inv, g = FM_Y(c) * inv, b = FM_Z(c) * inv;
  dst[di] = fm_linear_premul(r, g, b, a, p.flags, 0);
}

// Blur radius of every pixel from a map: distance of the map value from the focal value.
FM_KERNEL(fm_lens_radius) {
  FM_PIXEL_ITEM(x, y);
  const float mx = ((float)x + 0.5f) * p.g0 + p.g1;
  const float my = ((float)y + 0.5f) * p.g2 + p.g3;
  const float4 m = fm_bilin0(srcA, p.aW, p.aH, p.aP, mx - 0.5f, my - 0.5f);
  float v = fm_clampf(fm_map_channel(m, p.channel), 0.0f, 1.0f);
  if (p.mode == 1) v = 1.0f - v;
  dst[(fm_idx)y * p.dP + x] = make_f4(p.g4 * fm_absf(v - p.g5) + 0.5f, 0.0f, 0.0f, 0.0f);
}

// Box reduction by a whole factor n; mode 1 averages only pixels inside the valid rectangle.
FM_KERNEL(fm_down) {
  FM_PIXEL_ITEM(x, y);
  const int n = p.n;
  const int bx = x * n + p.ax, by = y * n + p.ay;
  float4 sum = f4z();
  float4 v;
  if (p.mode == 1) {
    int count = 0;
    for (int j = 0; j < n; ++j) {
      const int sy = by + j;
      if (sy < p.lo2 || sy >= p.hi2) continue;
      for (int i = 0; i < n; ++i) {
        const int sx = bx + i;
        if (sx < p.lo || sx >= p.hi) continue;
        sum += fm_fetch0(srcA, p.aW, p.aH, p.aP, sx, sy);
        ++count;
      }
    }
    v = count > 0 ? sum / (float)count : f4z();
  } else {
    // Only the part of the block inside the source adds anything: the rest reads zeros, which
    // would leave the sum as it is.
    const fm_idx top = -(fm_idx)by, bottom = (fm_idx)p.aH - by;
    const fm_idx left = -(fm_idx)bx, right = (fm_idx)p.aW - bx;
    const int j0 = top > 0 ? (top < n ? (int)top : n) : 0, j1 = bottom < n ? (int)bottom : n;
    const int i0 = left > 0 ? (left < n ? (int)left : n) : 0, i1 = right < n ? (int)right : n;
    for (int j = j0; j < j1; ++j)
      for (int i = i0; i < i1; ++i) sum += fm_fetch0(srcA, p.aW, p.aH, p.aP, bx + i, by + j);
    v = n > 0 ? sum / (float)(n * n) : f4z();
  }
  dst[(fm_idx)y * p.dP + x] = v;
}

// Bilinear enlargement; the reduced image's edges repeat.
FM_KERNEL(fm_up) {
  FM_PIXEL_ITEM(x, y);
  float X = (((float)x + 0.5f + p.g1) * p.g0) - 0.5f;
  float Y = (((float)y + 0.5f + p.g2) * p.g0) - 0.5f;
  X = fm_clampf(X, 0.0f, (float)(p.aW - 1));
  Y = fm_clampf(Y, 0.0f, (float)(p.aH - 1));
  dst[(fm_idx)y * p.dP + x] = fm_bilin0(srcA, p.aW, p.aH, p.aP, X, Y);
}

#endif
