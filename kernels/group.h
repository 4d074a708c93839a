// Group passes: every pixel is a weighted sum of up to FM_MAX_TAPS bilinear samples of source A,
// shifted, rotated about a centre or scaled about it. A few passes composed place many samples
// at the cost of the sum of their tap counts.
#ifndef FM_GROUP_H
#define FM_GROUP_H

// Grid: dW x rows. Tap i is (t[3i], t[3i + 1], t[3i + 2]): a shift (a, b), a rotation with
// cosine a and sine b, or a scale a; then its weight. A count beyond the block's table is cut
// rather than read past it. Destination pixel (0, 0) is pixel (ax, ay) of the source's frame,
// so a pass can compute just the part of its frame that is wanted.
FM_KERNEL(fm_group) {
  FM_PIXEL_ITEM(x, y);
  const int count = fm_clampi(p.count, 0, FM_MAX_TAPS);
  const float px = (float)(x + p.ax) + 0.5f, py = (float)(y + p.ay) + 0.5f;
  float4 sum = f4z();
  if (p.mode == FM_GROUP_TRANSLATE) {
    for (int i = 0; i < count; ++i)
      sum += fm_bilin0(srcA, p.aW, p.aH, p.aP, (px + p.t[3 * i]) - 0.5f, (py + p.t[3 * i + 1]) - 0.5f) *
             p.t[3 * i + 2];
  } else if (p.mode == FM_GROUP_ROTATE) {
    // Rotations are made in square units, so that non-square pixels sweep a circle in the
    // layer rather than in the pixel grid: x distances are stretched by kx before turning.
    const float dx = (px - p.cx) * p.kx, dy = (py - p.cy) * p.ky;
    const float ux = dx / p.kx, uy = dy / p.kx, vx = dx / p.ky, vy = dy / p.ky;
    const float qx = p.cx - 0.5f, qy = p.cy - 0.5f;
    for (int i = 0; i < count; ++i) {
      const float a = p.t[3 * i], b = p.t[3 * i + 1];
      sum += fm_bilin0(srcA, p.aW, p.aH, p.aP, qx + (a * ux - b * uy), qy + (b * vx + a * vy)) * p.t[3 * i + 2];
    }
  } else {
    const float rx = px - p.cx, ry = py - p.cy;
    const float qx = p.cx - 0.5f, qy = p.cy - 0.5f;
    for (int i = 0; i < count; ++i) {
      const float a = p.t[3 * i];
      sum += fm_bilin0(srcA, p.aW, p.aH, p.aP, qx + rx * a, qy + ry * a) * p.t[3 * i + 2];
    }
  }
  dst[(fm_idx)y * p.dP + x] = sum;
}

#endif
