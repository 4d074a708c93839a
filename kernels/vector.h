// Vector Blur kernels: a map property into a scalar image, and the average of every pixel
// along the vector that the (softened) scalar map gives it.
#ifndef FM_VECTOR_H
#define FM_VECTOR_H

// Scalar map value, from a map placed by scale and offset per axis; mode 1 repeats the
// map's valid rectangle outward.
FM_KERNEL(fm_vec_scalar) {
  FM_PIXEL_ITEM(x, y);
  float mx = ((float)x + 0.5f) * p.g0 + p.g1;
  float my = ((float)y + 0.5f) * p.g2 + p.g3;
  if (p.mode == 1) {
    mx = fm_clampf(mx, (float)p.lo + 0.5f, (float)p.hi - 0.5f);
    my = fm_clampf(my, (float)p.lo2 + 0.5f, (float)p.hi2 - 0.5f);
  }
  const float4 m = fm_bilin0(srcA, p.aW, p.aH, p.aP, mx - 0.5f, my - 0.5f);
  dst[(fm_idx)y * p.dP + x] = make_f4(fm_map_channel(m, p.channel), 0.0f, 0.0f, 0.0f);
}

FM_FN float fm_map_at(FM_G const float4* map, int pitch, int x, int y) {
  return FM_X(map[(fm_idx)y * pitch + x]);
}

// The line along which pixel (x, y) averages: its extent (ox, oy) and whether it is centred on
// the pixel. 0 where the map is flat: the pixel keeps its source value.
FM_FN int fm_vector_line(FM_G const float4* srcB, int x, int y, const FMParams* pp, float* ox, float* oy,
                         int* centred) {
  const int sx = fm_clampi(x + pp->bx, 0, pp->bW - 1), sy = fm_clampi(y + pp->by, 0, pp->bH - 1);
  const int xm = fm_maxi(sx - 1, 0), xp = fm_mini(sx + 1, pp->bW - 1);
  const int ym = fm_maxi(sy - 1, 0), yp = fm_mini(sy + 1, pp->bH - 1);
  const float s0 = fm_map_at(srcB, pp->bP, sx, sy);
  float len = pp->g0;
  float vx, vy;
  if (pp->mode == FM_VEC_DIR_CENTER || pp->mode == FM_VEC_DIR_FADING) {
    // The value is a direction: 0 up, 0.25 right, 0.5 down, 0.75 left.
    const float angle = s0 * 6.28318530718f;
    const float dx = fm_sinf(angle), dy = -fm_cosf(angle);
    vx = pp->g3 * dx - pp->g4 * dy;
    vy = pp->g4 * dx + pp->g3 * dy;
    *centred = pp->mode == FM_VEC_DIR_CENTER;
  } else {
    // Central differences, one-sided at the map's edges; per layer unit.
    const float gx = (fm_map_at(srcB, pp->bP, xp, sy) - fm_map_at(srcB, pp->bP, xm, sy)) /
                     (float)fm_maxi(xp - xm, 1) * pp->g1;
    const float gy = (fm_map_at(srcB, pp->bP, sx, yp) - fm_map_at(srcB, pp->bP, sx, ym)) /
                     (float)fm_maxi(yp - ym, 1) * pp->g2;
    const float slope = fm_sqrtf(gx * gx + gy * gy);
    if (!(slope > 1e-12f)) return 0;
    float nx = gx / slope, ny = gy / slope;
    if (pp->mode == FM_VEC_PERPENDICULAR) {
      const float t = nx;
      nx = -ny;
      ny = t;
    }
    vx = pp->g3 * nx - pp->g4 * ny;
    vy = pp->g4 * nx + pp->g3 * ny;
    // Flat parts of the map blur less: slopes below the ridge smoothness shorten the run.
    len = pp->g0 * fm_minf(1.0f, slope / fm_maxf(pp->g5, 1e-7f));
    *centred = pp->mode != FM_VEC_NATURAL;
  }
  *ox = vx * len * pp->g1;
  *oy = vy * len * pp->g2;
  return 1;
}

FM_KERNEL(fm_vector) {
  FM_PIXEL_ITEM(x, y);
  const fm_idx di = (fm_idx)y * p.dP + x;
  float ox, oy;
  int centred;
  if (!fm_vector_line(srcB, x, y, &p, &ox, &oy, &centred)) {
    dst[di] = fm_fetch0(srcA, p.aW, p.aH, p.aP, x, y);
    return;
  }
  const int ns = fm_maxi(p.n, 2);
  float4 sum = f4z();
  float wsum = 0.0f;
  for (int k = 0; k < ns; ++k) {
    const float t = (float)k / (float)(ns - 1);
    const float w = p.mode == FM_VEC_DIR_FADING ? 1.0f - t : 1.0f;
    if (w <= 0.0f) continue;
    const float u = centred ? t - 0.5f : -t;
    sum += fm_bilin0(srcA, p.aW, p.aH, p.aP, (float)x + ox * u, (float)y + oy * u) * w;
    wsum += w;
  }
  dst[di] = sum / wsum;
}

#endif
