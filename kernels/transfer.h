// Image transfer kernels: clear, shifted/weighted copy, and the conversions between
// straight host colour and premultiplied engine colour.
#ifndef FM_TRANSFER_H
#define FM_TRANSFER_H

FM_KERNEL(fm_clear) {
  FM_PIXEL_ITEM(x, y);
  dst[(fm_idx)y * p.dP + x] = f4z();
}

// The weighted source pixel that fm_copy puts at (x, y).
FM_FN float4 fm_copy_value(FM_G const float4* srcA, int x, int y, const FMParams* pp) {
  int sx = x + pp->ax;
  int sy = y + pp->ay;
  if (pp->mode == 1) {
    sx = fm_clampi(sx, pp->lo, pp->hi - 1);
    sy = fm_clampi(sy, pp->lo2, pp->hi2 - 1);
  }
  return fm_fetch0(srcA, pp->aW, pp->aH, pp->aP, sx, sy) * pp->g0;
}

FM_KERNEL(fm_copy) {
  FM_PIXEL_ITEM(x, y);
  fm_store(dst, (fm_idx)y * p.dP + x, fm_copy_value(srcA, x, y, &p), p.flags & FM_F_ACCUM);
}

FM_KERNEL(fm_import) {
  FM_PIXEL_ITEM(x, y);
  float4 s = fm_fetch0(srcA, p.aW, p.aH, p.aP, x + p.ax, y + p.ay);
  int swap = p.flags & FM_F_SWAP_RB;
  float r = swap ? FM_Z(s) : FM_X(s);
  float g = FM_Y(s);
  float b = swap ? FM_X(s) : FM_Z(s);
  float a = FM_W(s);
  if (!fm_finite(a) || a <= 0.0f) a = 0.0f;
  if (a > 1.0f) a = 1.0f;
  if (!fm_finite(r)) r = 0.0f;
  if (!fm_finite(g)) g = 0.0f;
  if (!fm_finite(b)) b = 0.0f;
  float4 v = make_f4(r * a, g * a, b * a, a) * p.g0;
  fm_store(dst, (fm_idx)y * p.dP + x, v, p.flags & FM_F_ACCUM);
}

FM_KERNEL(fm_export) {
  FM_PIXEL_ITEM(x, y);
  float4 v = fm_fetch0(srcA, p.aW, p.aH, p.aP, x + p.ax, y + p.ay);
  float a = fm_clampf(FM_W(v), 0.0f, 1.0f);
  // A NaN alpha survives the clamp; it must not reach the host's image.
  if (!fm_finite(a)) a = 0.0f;
  float r = 0.0f, g = 0.0f, b = 0.0f;
  if (a > 1e-7f) {
    // Dividing by the unclamped alpha keeps the colour right while the written alpha is clamped.
    float inv = 1.0f / fm_maxf(FM_W(v), a);
    r = FM_X(v) * inv;
    g = FM_Y(v) * inv;
    b = FM_Z(v) * inv;
  }
  if (p.flags & FM_F_CLAMP01) {
    r = fm_clampf(r, 0.0f, 1.0f);
    g = fm_clampf(g, 0.0f, 1.0f);
    b = fm_clampf(b, 0.0f, 1.0f);
  }
  if (!fm_finite(r)) r = 0.0f;
  if (!fm_finite(g)) g = 0.0f;
  if (!fm_finite(b)) b = 0.0f;
  dst[(fm_idx)y * p.dP + x] = (p.flags & FM_F_SWAP_RB) ? make_f4(b, g, r, a) : make_f4(r, g, b, a);
}

#endif
