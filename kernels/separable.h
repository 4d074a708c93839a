// One-dimensional passes along rows or columns: sliding boxes and direct convolutions.
#ifndef FM_SEPARABLE_H
#define FM_SEPARABLE_H

// Pixel i of a row or column of length len starting at element base, elements step apart,
// with the edge rule of `mode` applied against the valid range [lo, hi).
FM_FN float4 fm_axv(FM_G const float4* s, fm_idx base, fm_idx step, int i, int len, int mode, int lo,
                    int hi) {
  if (mode == FM_EDGE_CLAMP) {
    if (i < lo) i = lo;
    else if (i >= hi) i = hi - 1;
  } else if (mode == FM_EDGE_INSIDE) {
    if (i < lo || i >= hi) return f4z();
  }
  if (i < 0 || i >= len) return f4z();
  return s[base + (fm_idx)i * step];
}

// Output of the box at position i, given the running sum S of the 2n + 1 whole taps and the
// two outer samples at distance n + 1.
FM_FN float4 fm_box_out(float4 S, float4 outerL, float4 outerR, int i, int n, float frac, int mode,
                        int lo, int hi) {
  float4 o = S;
  float weight = (float)(2 * n + 1);
  if (frac > 0.0f) {
    o += (outerL + outerR) * frac;
    weight += 2.0f * frac;
  }
  if (mode == FM_EDGE_INSIDE) {
    // Only taps inside the valid range count, so the average does not fade at the edge.
    const int a = fm_maxi(i - n, lo), b = fm_mini(i + n, hi - 1);
    weight = b >= a ? (float)(b - a + 1) : 0.0f;
    if (frac > 0.0f) {
      if (i - n - 1 >= lo && i - n - 1 < hi) weight += frac;
      if (i + n + 1 >= lo && i + n + 1 < hi) weight += frac;
    }
  }
  return weight > 0.0f ? o * (1.0f / weight) : f4z();
}

// Slides a box over destination pixels [s0, s1) of one row or column; the running sum is
// carried along the whole run, so the cost per pixel does not depend on n.
FM_FN void fm_box_run(FM_G float4* d, fm_idx dbase, fm_idx dstep, FM_G const float4* s, fm_idx sbase,
                      fm_idx sstep, int len, int s0, int s1, int n, float frac, int mode, int lo, int hi) {
  float4 S = f4z();
  for (int k = -n; k <= n; ++k) S += fm_axv(s, sbase, sstep, s0 + k, len, mode, lo, hi);
  for (int i = s0; i < s1; ++i) {
    if (i > s0) {
      S += fm_axv(s, sbase, sstep, i + n, len, mode, lo, hi);
      S -= fm_axv(s, sbase, sstep, i - n - 1, len, mode, lo, hi);
    }
    float4 outerL = f4z(), outerR = f4z();
    if (frac > 0.0f) {
      outerL = fm_axv(s, sbase, sstep, i - n - 1, len, mode, lo, hi);
      outerR = fm_axv(s, sbase, sstep, i + n + 1, len, mode, lo, hi);
    }
    d[dbase + (fm_idx)i * dstep] = fm_box_out(S, outerL, outerR, i, n, frac, mode, lo, hi);
  }
}

// Grid: segments x rows.
FM_KERNEL(fm_box_rows) {
  const int seg = FM_GX;
  const int y = p.y0 + FM_GY;
  if (y >= p.y1 || y >= p.dH) return;
  const int s0 = seg * p.segLen;
  if (s0 >= p.dW) return;
  const int s1 = fm_mini(s0 + p.segLen, p.dW);
  const int len = y < p.aH ? p.aW : 0;  // a row past the source reads as transparent
  fm_box_run(dst, (fm_idx)y * p.dP, 1, srcA, (fm_idx)y * p.aP, 1, len, s0, s1, p.n, p.frac, p.mode,
             p.lo, p.hi);
}

// Grid: columns x segments; the segment index is offset by y0.
FM_KERNEL(fm_box_cols) {
  const int x = FM_GX;
  const int seg = p.y0 + FM_GY;
  if (x >= p.dW || seg >= p.y1) return;
  const int s0 = seg * p.segLen;
  if (s0 >= p.dH) return;
  const int s1 = fm_mini(s0 + p.segLen, p.dH);
  const int len = x < p.aW ? p.aH : 0;
  fm_box_run(dst, x, p.dP, srcA, x, p.aP, len, s0, s1, p.n, p.frac, p.mode, p.lo, p.hi);
}

// Taps beyond the block's table cannot exist; a larger n is cut rather than read past it.
#define FM_CONV_MAX_N ((FM_T_FLOATS - 1) / 2)

FM_KERNEL(fm_conv_rows) {
  FM_PIXEL_ITEM(x, y);
  const int n = fm_mini(p.n, FM_CONV_MAX_N);
  const int len = y < p.aH ? p.aW : 0;
  float4 acc = f4z();
  for (int k = -n; k <= n; ++k)
    acc += fm_axv(srcA, (fm_idx)y * p.aP, 1, x + k, len, p.mode, p.lo, p.hi) * p.t[k + n];
  dst[(fm_idx)y * p.dP + x] = acc;
}

FM_KERNEL(fm_conv_cols) {
  FM_PIXEL_ITEM(x, y);
  const int n = fm_mini(p.n, FM_CONV_MAX_N);
  const int len = x < p.aW ? p.aH : 0;
  float4 acc = f4z();
  for (int k = -n; k <= n; ++k)
    acc += fm_axv(srcA, x, p.aP, y + k, len, p.mode, p.lo, p.hi) * p.t[k + n];
  dst[(fm_idx)y * p.dP + x] = acc;
}

#endif
