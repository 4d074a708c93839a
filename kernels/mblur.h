// Motion-blur reconstruction kernels: the per-pixel blur extent from the forward and backward
// flows, its tile and neighbourhood maxima, the gather along the motion, and the motion
// written as colours.
#ifndef FM_MBLUR_H
#define FM_MBLUR_H

// A flow vector that is not finite counts as no motion.
FM_FN float4 fm_flow_at(FM_G const float4* img, int w, int h, int pitch, int x, int y) {
  float4 f = fm_fetch0(img, w, h, pitch, x, y);
  if (!fm_finite(FM_X(f)) || !fm_finite(FM_Y(f))) f = f4z();
  return f;
}

// Velocity (vx, vy, depth, length): the confidence-weighted blend of the forward flow and the
// reversed backward flow, with the larger motion or the better match winning where the two
// disagree, scaled to the shutter (g0) and limited to g1 pixels.
FM_KERNEL(fm_mvel) {
  FM_PIXEL_ITEM(x, y);
  const int hasF = p.mode & 1, hasB = (p.mode & 2) != 0;
  const float4 f = hasF ? fm_flow_at(srcA, p.aW, p.aH, p.aP, x, y) : f4z();
  const float4 b = hasB ? fm_flow_at(srcB, p.bW, p.bH, p.bP, x, y) : f4z();
  const float X = (float)x + 0.5f, Y = (float)y + 0.5f;
  // A NaN confidence counts as the least; the upper bound, far above any match's confidence,
  // only keeps an absurd one from overflowing the blend below into NaN.
  float cf = hasF ? fm_minf(fm_maxf(FM_Z(f), 1e-3f), 1e6f) : 0.0f;
  float cb = hasB ? fm_minf(fm_maxf(FM_Z(b), 1e-3f), 1e6f) : 0.0f;
  // A flow that leaves the frame did not see the content it claims to follow.
  if (hasF && fm_outside(X + FM_X(f), Y + FM_Y(f), p.dW, p.dH)) cf = 1e-3f;
  if (hasB && fm_outside(X + FM_X(b), Y + FM_Y(b), p.dW, p.dH)) cb = 1e-3f;
  if (hasF && hasB) {
    const float mf = fm_sqrtf(FM_X(f) * FM_X(f) + FM_Y(f) * FM_Y(f));
    const float mb = fm_sqrtf(FM_X(b) * FM_X(b) + FM_Y(b) * FM_Y(b));
    const float ex = FM_X(f) + FM_X(b), ey = FM_Y(f) + FM_Y(b);
    const float d0 = 0.5f + 0.15f * fm_maxf(mf, mb);
    const float lambda = fm_clampf(fm_sqrtf(ex * ex + ey * ey) / d0 - 1.0f, 0.0f, 1.0f);
    float wf;
    if (cf < 2.0f * cb && cb < 2.0f * cf) wf = mf >= mb ? 1.0f : 0.0f;  // a held side shows no motion
    else wf = cf >= cb ? 1.0f : 0.0f;                                   // an occlusion: trust the match
    cf = cf + (wf - cf) * lambda;
    cb = cb + (1.0f - wf - cb) * lambda;
  }
  float vx = 0.0f, vy = 0.0f;
  const float cs = cf + cb;
  if (cs > 0.0f) {
    vx = (cf * FM_X(f) - cb * FM_X(b)) / cs;
    vy = (cf * FM_Y(f) - cb * FM_Y(b)) / cs;
  }
  vx *= p.g0;
  vy *= p.g0;
  if (!fm_finite(vx) || !fm_finite(vy)) vx = vy = 0.0f;  // opposite extreme flows overflowed
  float len = fm_sqrtf(vx * vx + vy * vy);
  if (len > p.g1) {
    if (!fm_finite(len)) {  // a length past the float range: shorten first, keep the direction
      vx *= 7.8886091e-31f;
      vy *= 7.8886091e-31f;
      len = fm_sqrtf(vx * vx + vy * vy);
    }
    const float s = p.g1 > 0.0f ? p.g1 / len : 0.0f;
    vx *= s;
    vy *= s;
    len = fm_sqrtf(vx * vx + vy * vy);
  }
  float z = 1.0f;
  if (p.channel == 1 || p.channel == 2) {
    FM_G const float* t = tab + ((fm_idx)y * p.n + x) * 4;
    z = p.channel == 1 ? t[3] : 0.2126f * t[0] + 0.7152f * t[1] + 0.0722f * t[2];
    if (!fm_finite(z)) z = 0.0f;
    z = fm_clampf(z, 0.0f, 1.0f);
  }
  dst[(fm_idx)y * p.dP + x] = make_f4(vx, vy, z, len);
}

// The longest velocity of each n x n tile (ties keep the first in row order).
FM_KERNEL(fm_tilemax) {
  FM_PIXEL_ITEM(tx, ty);
  const int n = p.n;
  const int x1 = fm_mini(tx * n + n, p.aW), y1 = fm_mini(ty * n + n, p.aH);
  float bx = 0.0f, by = 0.0f, best = 0.0f;
  for (int yy = ty * n; yy < y1; ++yy) {
    FM_G const float4* row = srcA + (fm_idx)yy * p.aP;
    for (int xx = tx * n; xx < x1; ++xx) {
      const float4 v = row[xx];
      const float l2 = FM_X(v) * FM_X(v) + FM_Y(v) * FM_Y(v);
      if (l2 > best) {
        best = l2;
        bx = FM_X(v);
        by = FM_Y(v);
      }
    }
  }
  dst[(fm_idx)ty * p.dP + tx] = make_f4(bx, by, fm_sqrtf(best), 0.0f);
}

// The longest tile vector within n tiles along the row (mode 0) or the column (mode 1); the two
// passes in turn give the maximum over the square neighbourhood.
FM_KERNEL(fm_neighbormax) {
  FM_PIXEL_ITEM(tx, ty);
  const int r = fm_maxi(p.n, 0);
  float4 best = f4z();
  if (p.mode == 0) {
    const int a = fm_maxi(tx - r, 0), e = fm_mini(tx + r, p.aW - 1);
    for (int i = a; i <= e; ++i) {
      const float4 v = srcA[(fm_idx)ty * p.aP + i];
      if (FM_Z(v) > FM_Z(best)) best = v;
    }
  } else {
    const int a = fm_maxi(ty - r, 0), e = fm_mini(ty + r, p.aH - 1);
    for (int j = a; j <= e; ++j) {
      const float4 v = srcA[(fm_idx)j * p.aP + tx];
      if (FM_Z(v) > FM_Z(best)) best = v;
    }
  }
  dst[(fm_idx)ty * p.dP + tx] = best;
}

// The velocity under a pixel-edge position, zero outside (written so that a NaN or huge
// position never becomes an index).
FM_FN float4 fm_vel_under(FM_G const float4* img, int w, int h, int pitch, float X, float Y) {
  if (!(X >= 0.0f && Y >= 0.0f && X < (float)w && Y < (float)h)) return f4z();
  return img[(fm_idx)(int)Y * pitch + (int)X];
}

// 1 inside radius r, 0 one pixel past it.
FM_FN float fm_reach(float d, float r) { return fm_clampf(r - d + 0.5f, 0.0f, 1.0f); }
// 1 when depth za is not behind zb, soft over a depth difference of 0.1.
FM_FN float fm_front(float za, float zb) { return fm_clampf(1.0f + 10.0f * (za - zb), 0.0f, 1.0f); }

// Gather along the neighbourhood's longest motion and, on odd samples, the pixel's own motion.
// Each sample stands for one slice of the shutter: it shows the content that moves over the
// pixel then, or the pixel itself where nothing in front reaches it.
FM_KERNEL(fm_mblur) {
  FM_PIXEL_ITEM(x, y);
  const int cx = x + p.ax, cy = y + p.ay;
  const float4 c0 = fm_fetch0(srcA, p.aW, p.aH, p.aP, cx, cy);
  const int seg = fm_maxi(p.segLen, 1);
  const int tx = fm_clampi(cx < 0 ? 0 : cx / seg, 0, fm_maxi(p.lo - 1, 0));
  const int ty = fm_clampi(cy < 0 ? 0 : cy / seg, 0, fm_maxi(p.hi - 1, 0));
  FM_G const float* nm = tab + ((fm_idx)ty * p.n + tx) * 4;
  const float nx = nm[0], ny = nm[1], nl = nm[2];
  if (!(nl >= 0.5f)) {
    dst[(fm_idx)y * p.dP + x] = c0;
    return;
  }
  const float4 v0 = fm_fetch0(srcB, p.bW, p.bH, p.bP, cx, cy);
  const float r0 = FM_W(v0), z0 = FM_Z(v0);
  const int limit = fm_maxi(p.count, 1);
  // The length is limited before it becomes an int, so no extent can overflow the count.
  const int S = fm_mini(fm_maxi((int)fm_minf(2.0f * nl, (float)limit) + 1, 5), limit);
  const float ox = (float)cx + 0.5f, oy = (float)cy + 0.5f;
  float4 acc = f4z();
  for (int k = 0; k < S; ++k) {
    const float t = (((float)k + 0.5f) / (float)S) * 2.0f - 1.0f;
    const int own = (k & 1) && r0 >= 0.5f;
    const float dx = own ? FM_X(v0) : nx, dy = own ? FM_Y(v0) : ny, len = own ? r0 : nl;
    const float qx = ox + dx * t, qy = oy + dy * t;
    const float4 vy = fm_vel_under(srcB, p.bW, p.bH, p.bP, qx, qy);
    const float4 cyc = fm_bilin0(srcA, p.aW, p.aH, p.aP, qx - 0.5f, qy - 0.5f);
    const float dist = fm_absf(t) * len;
    const float w = fm_clampf(fm_front(FM_Z(vy), z0) * fm_reach(dist, FM_W(vy)) +
                                  fm_front(z0, FM_Z(vy)) * fm_reach(dist, r0),
                              0.0f, 1.0f);
    acc += cyc * w + c0 * (1.0f - w);
  }
  dst[(fm_idx)y * p.dP + x] = acc / (float)S;
}

// Motion as colours: red = right, green = up, over a range of g0 x g1 pixels; mode 2 floats,
// mode 1 centred at 0.5, mode 0 8-bit codes 0 ... 254 with 127 for no motion.
FM_KERNEL(fm_mvview) {
  FM_PIXEL_ITEM(x, y);
  const int vx = x + p.ax, vy = y + p.ay;
  float4 out = f4z();
  if (vx >= 0 && vy >= 0 && vx < p.bW && vy < p.bH) {
    const float4 v = srcB[(fm_idx)vy * p.bP + vx];
    float nx = FM_X(v) / fm_maxf(p.g0, 1e-6f);
    float ny = -FM_Y(v) / fm_maxf(p.g1, 1e-6f);
    if (p.mode == 2) {
      out = make_f4(nx, ny, 0.0f, 1.0f);
    } else {
      nx = fm_clampf(nx, -1.0f, 1.0f);
      ny = fm_clampf(ny, -1.0f, 1.0f);
      if (p.mode == 1) out = make_f4(0.5f + 0.5f * nx, 0.5f + 0.5f * ny, 0.5f, 1.0f);
      else out = make_f4((127.0f + 127.0f * nx) / 255.0f, (127.0f + 127.0f * ny) / 255.0f, 127.0f / 255.0f, 1.0f);
    }
  }
  dst[(fm_idx)y * p.dP + x] = out;
}

#endif
