// Feature pyramid kernels: one scalar tracking feature per pixel, and its half-size levels.
#ifndef FM_FLOWPYRAMID_H
#define FM_FLOWPYRAMID_H

// Feature of a frame pixel (x = feature, y = alpha). Luminance of the premultiplied colour,
// overbright values compressed logarithmically (continuous at 1), plus half the alpha so that
// dark mattes stay trackable against transparency. Non-finite input becomes 0.
FM_KERNEL(fm_feat) {
  FM_PIXEL_ITEM(x, y);
  const float4 c = fm_fetch0(srcA, p.aW, p.aH, p.aP, x + p.ax, y + p.ay);
  float l = 0.2126f * FM_X(c) + 0.7152f * FM_Y(c) + 0.0722f * FM_Z(c);
  float a = fm_clampf(FM_W(c), 0.0f, 1.0f);
  if (!fm_finite(l) || l < 0.0f) l = 0.0f;
  else if (l > 1.0f) l = 1.0f + 0.6931472f * fm_log2f(l);
  if (!fm_finite(a)) a = 0.0f;
  dst[(fm_idx)y * p.dP + x] = make_f4(l + 0.5f * a, a, 0.0f, 0.0f);
}

// 2 x 2 average; an odd last column or row is counted twice, so nothing outside is read.
FM_KERNEL(fm_half) {
  FM_PIXEL_ITEM(x, y);
  const int x0 = fm_mini(2 * x, p.aW - 1), x1 = fm_mini(2 * x + 1, p.aW - 1);
  const int y0 = fm_mini(2 * y, p.aH - 1), y1 = fm_mini(2 * y + 1, p.aH - 1);
  FM_G const float4* r0 = srcA + (fm_idx)y0 * p.aP;
  FM_G const float4* r1 = srcA + (fm_idx)y1 * p.aP;
  dst[(fm_idx)y * p.dP + x] = (r0[x0] + r0[x1] + r1[x0] + r1[x1]) * 0.25f;
}

#endif
