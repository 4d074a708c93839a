// Patch flow kernels: the template of a level, the start of every patch, the inverse
// compositional search of each patch with its own gain and offset, and the merge of the
// overlapping patches into a dense flow.
#ifndef FM_FLOWPATCH_H
#define FM_FLOWPATCH_H

// Cell and fraction of a position that is positive or +0 (truncation is floor there, and cheaper
// on CPUs without a rounding instruction), and the blend of two taps: shared with the patch
// search's unclamped reads, which must round exactly as fm_bilin_clamp.
FM_FN float fm_cell(float X, int* x0) {
  *x0 = (int)X;
  return X - (float)*x0;
}
#define FM_LERP(a, b, t) ((a) * (1.0f - (t)) + (b) * (t))

// Bilinear sample of all four channels at pixel-centre coordinates, position clamped to the
// image and the second tap to its last column or row: flows and templates repeat their edges.
FM_FN float4 fm_bilin_clamp(FM_G const float4* img, int w, int h, int pitch, float X, float Y) {
  // A NaN coordinate lands on the first pixel instead of becoming an index; -0 becomes +0.
  X = X > 0.0f ? fm_minf(X, (float)(w - 1)) : 0.0f;
  Y = Y > 0.0f ? fm_minf(Y, (float)(h - 1)) : 0.0f;
  int x0, y0;
  const float ax = fm_cell(X, &x0), ay = fm_cell(Y, &y0);
  const int x1 = fm_mini(x0 + 1, w - 1), y1 = fm_mini(y0 + 1, h - 1);
  FM_G const float4* r0 = img + (fm_idx)y0 * pitch;
  FM_G const float4* r1 = img + (fm_idx)y1 * pitch;
  return FM_LERP(FM_LERP(r0[x0], r0[x1], ax), FM_LERP(r1[x0], r1[x1], ax), ay);
}

// The other frame's feature (template channel w) at a moved position.
FM_FN float fm_tw(FM_G const float4* tmpl, int w, int h, int pitch, float X, float Y) {
  return FM_W(fm_bilin_clamp(tmpl, w, h, pitch, X, Y));
}

// A feature at an integer position clamped into the image.
FM_FN float fm_fz(FM_G const float4* img, int w, int h, int pitch, int x, int y) {
  return FM_X(img[(fm_idx)fm_clampi(y, 0, h - 1) * pitch + fm_clampi(x, 0, w - 1)]);
}

// Shortens a flow vector, direction kept, to at most maxLen pixels.
FM_FN void fm_limit_flow(float* u, float* v, float maxLen) {
  const float len = fm_sqrtf(*u * *u + *v * *v);
  if (len > maxLen) {
    const float s = maxLen / len;
    *u *= s;
    *v *= s;
  }
}

// Template: (Z0, dZ0/dx, dZ0/dy, Z1) with Sobel gradients of the current frame's feature.
FM_KERNEL(fm_tmpl) {
  FM_PIXEL_ITEM(x, y);
  const int w = p.aW, h = p.aH, P = p.aP;
  const float zmm = fm_fz(srcA, w, h, P, x - 1, y - 1), z0m = fm_fz(srcA, w, h, P, x, y - 1);
  const float zpm = fm_fz(srcA, w, h, P, x + 1, y - 1), zm0 = fm_fz(srcA, w, h, P, x - 1, y);
  const float zp0 = fm_fz(srcA, w, h, P, x + 1, y), zmp = fm_fz(srcA, w, h, P, x - 1, y + 1);
  const float z0p = fm_fz(srcA, w, h, P, x, y + 1), zpp = fm_fz(srcA, w, h, P, x + 1, y + 1);
  const float gx = (zpm + 2.0f * zp0 + zpp - zmm - 2.0f * zm0 - zmp) * 0.125f;
  const float gy = (zmp + 2.0f * z0p + zpp - zmm - 2.0f * z0m - zpm) * 0.125f;
  dst[(fm_idx)y * p.dP + x] =
      make_f4(fm_fz(srcA, w, h, P, x, y), gx, gy, FM_X(srcB[(fm_idx)y * p.bP + x]));
}

// Start of every patch (grid = patches): twice the coarser level's flow at the patch centre
// (mode 1), or no motion; gain 1, offset 0.
FM_KERNEL(fm_patch_init) {
  FM_PIXEL_ITEM(x, y);
  float u = 0.0f, v = 0.0f;
  if (p.mode == 1) {
    const float cx = (float)fm_mini(x * p.segLen, p.lo - p.n) + 0.5f * (float)p.n;
    const float cy = (float)fm_mini(y * p.segLen, p.hi - p.n) + 0.5f * (float)p.n;
    const float4 f = fm_bilin_clamp(srcA, p.aW, p.aH, p.aP, 0.5f * cx - 0.5f, 0.5f * cy - 0.5f);
    u = 2.0f * FM_X(f);
    v = 2.0f * FM_Y(f);
  }
  dst[(fm_idx)y * p.dP + x] = make_f4(u, v, 1.0f, 0.0f);
}

// Adds a moved sample z1 and its template pixel t to the sums s1, s11, sx1, sy1 of the
// enclosing search iteration.
#define FM_PATCH_SUMS(z1, t)        \
  do {                              \
    s1 += (z1);                     \
    s11 += (z1) * (z1);             \
    sx1 += FM_Y(t) * (z1);          \
    sy1 += FM_Z(t) * (z1);          \
  } while (0)

// Widest patch whose column positions the search keeps at hand; wider ones read clamped.
#define FM_PATCH_MAX 16

// Gauss-Newton search of one patch (grid = patches; dst holds the start and receives the
// result). Inverse compositional: the Hessian comes from the template alone, so it is formed
// and inverted once and every iteration costs one bilinear read per patch pixel.
FM_KERNEL(fm_patch_search) {
  FM_PIXEL_ITEM(x, y);
  const fm_idx di = (fm_idx)y * p.dP + x;
  const int n = p.n, W = p.aW, H = p.aH, P = p.aP;
  const int px0 = fm_mini(x * p.segLen, W - n), py0 = fm_mini(y * p.segLen, H - n);
  const float4 start = dst[di];
  const float uS = FM_X(start), vS = FM_Y(start);
  float sxx = 0.0f, sxy = 0.0f, syy = 0.0f, sx = 0.0f, sy = 0.0f, sz = 0.0f, szz = 0.0f, sxz = 0.0f,
        syz = 0.0f;
  for (int j = 0; j < n; ++j) {
    FM_G const float4* row = srcA + (fm_idx)(py0 + j) * P + px0;
    for (int i = 0; i < n; ++i) {
      const float4 t = row[i];
      const float gx = FM_Y(t), gy = FM_Z(t), z = FM_X(t);
      sxx += gx * gx; sxy += gx * gy; syy += gy * gy;
      sx += gx; sy += gy; sz += z; szz += z * z;
      sxz += gx * z; syz += gy * z;
    }
  }
  const float N = (float)(n * n);
  const float mT = sz / N;
  const float varT = fm_maxf(szz / N - mT * mT, 0.0f);
  // Mean-removed: the offset absorbs a brightness change; the ridge keeps a flat patch solvable.
  const float h11 = sxx - sx * sx / N + 1e-5f * N;
  const float h12 = sxy - sx * sy / N;
  const float h22 = syy - sy * sy / N + 1e-5f * N;
  const float det = h11 * h22 - h12 * h12;
  float k = 1.0f, m1 = mT, u = uS, v = vS;
  if (det > 1e-20f) {
    const float i11 = h22 / det, i12 = -h12 / det, i22 = h11 / det;
    for (int it = 0; it < p.count; ++it) {
      float s1 = 0.0f, s11 = 0.0f, sx1 = 0.0f, sy1 = 0.0f;
      // Rounding keeps the positions in order, so the first and last bound them all. Short of the
      // last column and row nothing is clamped and each read is fm_tw's exactly; NaN or infinite
      // motion fails the test and takes the clamped reads.
      const float Xa = (float)px0 + u, Xb = (float)(px0 + n - 1) + u;
      const float Ya = (float)py0 + v, Yb = (float)(py0 + n - 1) + v;
      if (n <= FM_PATCH_MAX && Xa >= 0.0f && Ya >= 0.0f && Xb < (float)(W - 1) && Yb < (float)(H - 1)) {
        // Every row reads the same columns, and a row's lower source row is usually the next
        // row's upper one: its blends across are kept.
        int cx[FM_PATCH_MAX];
        float cax[FM_PATCH_MAX], h[FM_PATCH_MAX];
        for (int i = 0; i < n; ++i) cax[i] = fm_cell((float)(px0 + i) + u, &cx[i]);
        int hy = -2;
        for (int j = 0; j < n; ++j) {
          FM_G const float4* row = srcA + (fm_idx)(py0 + j) * P + px0;
          int y0;
          const float ay = fm_cell((float)(py0 + j) + v, &y0);
          FM_G const float4* r0 = srcA + (fm_idx)y0 * P;
          FM_G const float4* r1 = r0 + P;
          if (y0 != hy + 1)
            for (int i = 0; i < n; ++i) h[i] = FM_LERP(FM_W(r0[cx[i]]), FM_W(r0[cx[i] + 1]), cax[i]);
          hy = y0;
          for (int i = 0; i < n; ++i) {
            const float lo = FM_LERP(FM_W(r1[cx[i]]), FM_W(r1[cx[i] + 1]), cax[i]);
            const float z1 = FM_LERP(h[i], lo, ay);
            h[i] = lo;
            FM_PATCH_SUMS(z1, row[i]);
          }
        }
      } else {
        for (int j = 0; j < n; ++j) {
          FM_G const float4* row = srcA + (fm_idx)(py0 + j) * P + px0;
          const float Y = (float)(py0 + j) + v;
          for (int i = 0; i < n; ++i) {
            const float z1 = fm_tw(srcA, W, H, P, (float)(px0 + i) + u, Y);
            FM_PATCH_SUMS(z1, row[i]);
          }
        }
      }
      m1 = s1 / N;
      const float var1 = fm_maxf(s11 / N - m1 * m1, 0.0f);
      k = (varT > 1e-6f && var1 > 1e-6f) ? fm_clampf(fm_sqrtf(varT / var1), 0.5f, 2.0f) : 1.0f;
      const float bx = k * (sx1 - m1 * sx) - (sxz - mT * sx);
      const float by = k * (sy1 - m1 * sy) - (syz - mT * sy);
      const float du = i11 * bx + i12 * by, dv = i12 * bx + i22 * by;
      u -= du;
      v -= dv;
      if (!fm_finite(u) || !fm_finite(v) || du * du + dv * dv < 1e-4f) break;
    }
  }
  const float mu = u - uS, mv = v - vS;
  if (!fm_finite(u) || !fm_finite(v) || mu * mu + mv * mv > (float)(n * n)) {
    u = uS;
    v = vS;
  }
  fm_limit_flow(&u, &v, p.g0);
  float offset = mT - k * m1;
  if (!fm_finite(k) || !fm_finite(offset)) {
    k = 1.0f;
    offset = 0.0f;
  }
  dst[di] = make_f4(u, v, k, offset);
}

// Dense flow: the covering patches averaged, each weighted down by how badly its brightness
// model matches this pixel (full weight up to one 8-bit code value of residual).
FM_KERNEL(fm_densify) {
  FM_PIXEL_ITEM(x, y);
  const int n = p.n, s = fm_maxi(p.segLen, 1);
  const float z0 = FM_X(srcB[(fm_idx)y * p.bP + x]);
  const int ia = x - n + 1 <= 0 ? 0 : (x - n + s) / s, ib = fm_mini(x / s, p.aW - 1);
  const int ja = y - n + 1 <= 0 ? 0 : (y - n + s) / s, jb = fm_mini(y / s, p.aH - 1);
  float4 acc = f4z();
  float wsum = 0.0f;
  // The index one past the last candidate stands for the last patch, pulled back inside the
  // level rather than at its step position; skipped when the candidates already include it.
  for (int jj = ja; jj <= jb + 1; ++jj) {
    if (jj == jb + 1 && p.aH - 1 <= jb) break;
    const int j = jj == jb + 1 ? p.aH - 1 : jj;
    const int py0 = fm_mini(j * s, p.dH - n);
    if (y < py0 || y >= py0 + n) continue;
    for (int ii = ia; ii <= ib + 1; ++ii) {
      if (ii == ib + 1 && p.aW - 1 <= ib) break;
      const int i = ii == ib + 1 ? p.aW - 1 : ii;
      const int px0 = fm_mini(i * s, p.dW - n);
      if (x < px0 || x >= px0 + n) continue;
      const float4 f = srcA[(fm_idx)j * p.aP + i];
      const float d = FM_Z(f) * fm_tw(srcB, p.bW, p.bH, p.bP, (float)x + FM_X(f), (float)y + FM_Y(f)) +
                      FM_W(f) - z0;
      const float w = 1.0f / fm_maxf(1.0f, 255.0f * fm_absf(d));
      acc += f * w;
      wsum += w;
    }
  }
  dst[(fm_idx)y * p.dP + x] = wsum > 0.0f ? acc / wsum : make_f4(0.0f, 0.0f, 1.0f, 0.0f);
}

#endif
