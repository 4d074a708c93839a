// One-dimensional passes along rows or columns: sliding boxes and direct convolutions.
#ifndef FM_SEPARABLE_H
#define FM_SEPARABLE_H

// Where pixel i of a row or column of length len is read from under the edge rule of `mode`
// against the valid range [lo, hi); -1 when the sample is transparent.
FM_FN int fm_ax_index(int i, int len, int mode, int lo, int hi) {
  if (mode == FM_EDGE_CLAMP) {
    if (i < lo) i = lo;
    else if (i >= hi) i = hi - 1;
  } else if (mode == FM_EDGE_INSIDE) {
    if (i < lo || i >= hi) return -1;
  }
  return (i < 0 || i >= len) ? -1 : i;
}

// Pixel i of a row or column starting at element base, elements step apart.
FM_FN float4 fm_axv(FM_G const float4* s, fm_idx base, fm_idx step, int i, int len, int mode, int lo,
                    int hi) {
  const int j = fm_ax_index(i, len, mode, lo, hi);
  return j < 0 ? f4z() : s[base + (fm_idx)j * step];
}

// Positions [fm_direct_lo, fm_direct_hi) read their own pixel, untouched by any edge rule.
// Interior samples take that short path; the result is identical to fm_axv's.
FM_FN int fm_direct_lo(int mode, int lo) {
  return (mode == FM_EDGE_CLAMP || mode == FM_EDGE_INSIDE) ? fm_maxi(lo, 0) : 0;
}
FM_FN int fm_direct_hi(int mode, int hi, int len) {
  return (mode == FM_EDGE_CLAMP || mode == FM_EDGE_INSIDE) ? fm_mini(hi, len) : len;
}
FM_FN float4 fm_axd(FM_G const float4* s, fm_idx base, fm_idx step, int i, int len, int mode, int lo,
                    int hi, int dlo, int dhi) {
  if (i >= dlo && i < dhi) return s[base + (fm_idx)i * step];
  return fm_axv(s, base, step, i, len, mode, lo, hi);
}

// Total weight of the box at position i: the 2n + 1 whole taps and the two outer taps.
FM_FN float fm_box_weight(int i, int n, float frac, int mode, int lo, int hi) {
  float weight = (float)(2 * n + 1);
  if (frac > 0.0f) weight += 2.0f * frac;
  if (mode == FM_EDGE_INSIDE) {
    // Only taps inside the valid range count, so the average does not fade at the edge.
    const int a = fm_maxi(i - n, lo), b = fm_mini(i + n, hi - 1);
    weight = b >= a ? (float)(b - a + 1) : 0.0f;
    if (frac > 0.0f) {
      if (i - n - 1 >= lo && i - n - 1 < hi) weight += frac;
      if (i + n + 1 >= lo && i + n + 1 < hi) weight += frac;
    }
  }
  return weight;
}

// Box output from the running sum S of the whole taps and the two outer samples.
FM_FN float4 fm_box_apply(float4 S, float4 outerL, float4 outerR, float frac, float weight) {
  float4 o = S;
  if (frac > 0.0f) o += (outerL + outerR) * frac;
  return weight > 0.0f ? o * (1.0f / weight) : f4z();
}

FM_FN float4 fm_box_out(float4 S, float4 outerL, float4 outerR, int i, int n, float frac, int mode,
                        int lo, int hi) {
  return fm_box_apply(S, outerL, outerR, frac, fm_box_weight(i, n, frac, mode, lo, hi));
}

// The taps [lo, hi] of a box's first sum at position s0 that can read a pixel: all 2n + 1 when
// clamping; otherwise those inside [dlo, dhi), as the rest read zeros, which would leave the
// sum as it is. A radius far beyond the image then costs the image's length, not its own.
FM_FN int fm_box_first_lo(int s0, int n, int mode, int dlo) {
  return mode == FM_EDGE_CLAMP ? -n : fm_maxi(-n, dlo - s0);
}
FM_FN int fm_box_first_hi(int s0, int n, int mode, int dhi) {
  return mode == FM_EDGE_CLAMP ? n : fm_mini(n, dhi - 1 - s0);
}

// A box sliding along one row or column of a source: the running sum and what every step
// needs. The sum is carried along the whole run, so the cost per pixel does not depend on n.
typedef struct FMBoxRun {
  float4 S;
  fm_idx sbase, sstep;
  int len, n, mode, lo, hi;
  int dlo, dhi;    // positions read directly
  int wlo, whi;    // positions whose weight is the interior weight
  float frac, wInterior;
} FMBoxRun;

// Starts a run whose first output position is s0.
FM_FN FMBoxRun fm_box_begin(FM_G const float4* s, fm_idx sbase, fm_idx sstep, int len, int s0, int n,
                            float frac, int mode, int lo, int hi) {
  FMBoxRun r;
  r.sbase = sbase;
  r.sstep = sstep;
  r.len = len;
  r.n = n;
  r.mode = mode;
  r.lo = lo;
  r.hi = hi;
  r.frac = frac;
  r.dlo = fm_direct_lo(mode, lo);
  r.dhi = fm_direct_hi(mode, hi, len);
  // Away from the valid range's ends every position has the same weight: compute it once.
  r.wlo = lo + n + 1;
  r.whi = hi - n - 1;
  r.wInterior = fm_box_weight(r.wlo, n, frac, mode, lo, hi);
  r.S = f4z();
  const int k1 = fm_box_first_hi(s0, n, mode, r.dhi);
  for (int k = fm_box_first_lo(s0, n, mode, r.dlo); k <= k1; ++k)
    r.S += fm_axd(s, sbase, sstep, s0 + k, len, mode, lo, hi, r.dlo, r.dhi);
  return r;
}

// The output at position i; advances the sum first unless i is the run's first position.
FM_FN float4 fm_box_next(FMBoxRun* r, FM_G const float4* s, int i, int first) {
  const int n = r->n;
  if (!first) {
    r->S += fm_axd(s, r->sbase, r->sstep, i + n, r->len, r->mode, r->lo, r->hi, r->dlo, r->dhi);
    r->S -= fm_axd(s, r->sbase, r->sstep, i - n - 1, r->len, r->mode, r->lo, r->hi, r->dlo, r->dhi);
  }
  float4 outerL = f4z(), outerR = f4z();
  if (r->frac > 0.0f) {
    outerL = fm_axd(s, r->sbase, r->sstep, i - n - 1, r->len, r->mode, r->lo, r->hi, r->dlo, r->dhi);
    outerR = fm_axd(s, r->sbase, r->sstep, i + n + 1, r->len, r->mode, r->lo, r->hi, r->dlo, r->dhi);
  }
  const float weight = (r->mode != FM_EDGE_INSIDE || (i >= r->wlo && i < r->whi))
                           ? r->wInterior
                           : fm_box_weight(i, n, r->frac, r->mode, r->lo, r->hi);
  return fm_box_apply(r->S, outerL, outerR, r->frac, weight);
}

// Slides a box over destination pixels [s0, s1) of one row or column.
FM_FN void fm_box_run(FM_G float4* d, fm_idx dbase, fm_idx dstep, FM_G const float4* s, fm_idx sbase,
                      fm_idx sstep, int len, int s0, int s1, int n, float frac, int mode, int lo, int hi) {
  FMBoxRun r = fm_box_begin(s, sbase, sstep, len, s0, n, frac, mode, lo, hi);
  for (int i = s0; i < s1; ++i) d[dbase + (fm_idx)i * dstep] = fm_box_next(&r, s, i, i == s0);
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

// Sum of the 2n + 1 taps around position c of one row or column.
FM_FN float4 fm_conv_at(FM_G const float4* s, fm_idx base, fm_idx step, int c, int len, int n,
                        const FMParams* pp) {
  const int mode = pp->mode, lo = pp->lo, hi = pp->hi;
  const int dlo = fm_direct_lo(mode, lo), dhi = fm_direct_hi(mode, hi, len);
  float4 acc = f4z();
  if (c - n >= dlo && c + n < dhi) {
    FM_G const float4* q = s + base + (fm_idx)c * step;
    for (int k = -n; k <= n; ++k) acc += q[(fm_idx)k * step] * pp->t[k + n];
  } else {
    for (int k = -n; k <= n; ++k) acc += fm_axv(s, base, step, c + k, len, mode, lo, hi) * pp->t[k + n];
  }
  return acc;
}

FM_KERNEL(fm_conv_rows) {
  FM_PIXEL_ITEM(x, y);
  const int n = fm_mini(p.n, FM_CONV_MAX_N);
  const int len = y < p.aH ? p.aW : 0;
  dst[(fm_idx)y * p.dP + x] = fm_conv_at(srcA, (fm_idx)y * p.aP, 1, x, len, n, &p);
}

FM_KERNEL(fm_conv_cols) {
  FM_PIXEL_ITEM(x, y);
  const int n = fm_mini(p.n, FM_CONV_MAX_N);
  const int len = x < p.aW ? p.aH : 0;
  dst[(fm_idx)y * p.dP + x] = fm_conv_at(srcA, x, p.aP, y, len, n, &p);
}

#endif
