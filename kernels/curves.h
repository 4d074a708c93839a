// Transfer curves and map channels shared by the lens, separable and vector kernels.
#ifndef FM_CURVES_H
#define FM_CURVES_H

// Odd-symmetric curves: the sign is kept and values past 1 continue the formula.
FM_FN float fm_signed(float c, float magnitudeResult) { return c < 0.0f ? -magnitudeResult : magnitudeResult; }

FM_FN float fm_srgb_decode(float c) {
  const float a = fm_absf(c);
  return fm_signed(c, a <= 0.04045f ? a / 12.92f : fm_powf((a + 0.055f) / 1.055f, 2.4f));
}

FM_FN float fm_srgb_encode(float c) {
  const float a = fm_absf(c);
  return fm_signed(c, a <= 0.0031308f ? 12.92f * a : 1.055f * fm_powf(a, 1.0f / 2.4f) - 0.055f);
}

FM_FN float fm_to_linear_exact(float c, int srgb) {
  return srgb ? fm_srgb_decode(c) : fm_signed(c, fm_powf(fm_absf(c), 2.2f));
}

FM_FN float fm_from_linear_exact(float c, int srgb) {
  return srgb ? fm_srgb_encode(c) : fm_signed(c, fm_powf(fm_absf(c), 1.0f / 2.2f));
}

#if !defined(FM_CURVE_TABLES)

FM_FN float fm_to_linear(float c, int srgb) { return fm_to_linear_exact(c, srgb); }
FM_FN float fm_from_linear(float c, int srgb) { return fm_from_linear_exact(c, srgb); }

#else

// A table replaces the power function per channel. Tables are indexed by the square root
// (decode) or fourth root (encode) of the value, which spreads entries where the curves bend
// most, near black.
#define FM_CURVE_N 4096
#define FM_CURVE_GAMMA_DECODE 0
#define FM_CURVE_GAMMA_ENCODE 1
#define FM_CURVE_SRGB_DECODE 2
#define FM_CURVE_SRGB_ENCODE 3

struct FMCurveTables {
  float t[4][FM_CURVE_N + 1];
};

// FM_CURVE_N + 1 entries; built on first use, shared by all threads, never rebuilt. An inline
// function's static is one object in the whole program, however many files include this.
inline const float* fm_curve_table(int which) {
  static const FMCurveTables tables = [] {
    FMCurveTables c;
    for (int i = 0; i <= FM_CURVE_N; ++i) {
      const double u = double(i) / FM_CURVE_N;
      const float sq = float(u * u), q4 = float(u * u * u * u);
      c.t[FM_CURVE_GAMMA_DECODE][i] = fm_to_linear_exact(sq, 0);
      c.t[FM_CURVE_SRGB_DECODE][i] = fm_to_linear_exact(sq, 1);
      c.t[FM_CURVE_GAMMA_ENCODE][i] = fm_from_linear_exact(q4, 0);
      c.t[FM_CURVE_SRGB_ENCODE][i] = fm_from_linear_exact(q4, 1);
    }
    return c;
  }();
  return tables.t[which];
}

FM_FN float fm_curve_lookup(const float* tab, float f) {
  float fi = fm_floorf(f);
  int i = (int)fi;
  if (i > FM_CURVE_N - 1) i = FM_CURVE_N - 1;
  const float a = f - (float)i;
  return tab[i] + (tab[i + 1] - tab[i]) * a;
}

FM_FN float fm_to_linear(float c, int srgb) {
  if (!(c >= 0.0f && c <= 1.0f)) return fm_to_linear_exact(c, srgb);
  const float* tab = fm_curve_table(srgb ? FM_CURVE_SRGB_DECODE : FM_CURVE_GAMMA_DECODE);
  return fm_curve_lookup(tab, fm_sqrtf(c) * (float)FM_CURVE_N);
}

FM_FN float fm_from_linear(float c, int srgb) {
  if (!(c >= 0.0f && c <= 1.0f)) return fm_from_linear_exact(c, srgb);
  const float* tab = fm_curve_table(srgb ? FM_CURVE_SRGB_ENCODE : FM_CURVE_GAMMA_ENCODE);
  return fm_curve_lookup(tab, fm_sqrtf(fm_sqrtf(c)) * (float)FM_CURVE_N);
}

#endif

// Rec. 709 luma of straight colour.
FM_FN float fm_luma(float r, float g, float b) { return 0.2126f * r + 0.7152f * g + 0.0722f * b; }

// One channel of a premultiplied map pixel.
FM_FN float fm_map_channel(float4 m, int ch) {
  const float r = FM_X(m), g = FM_Y(m), b = FM_Z(m), a = FM_W(m);
  if (ch == FM_CH_RED) return r;
  if (ch == FM_CH_GREEN) return g;
  if (ch == FM_CH_BLUE) return b;
  if (ch == FM_CH_ALPHA) return a;
  if (ch == FM_CH_LUMINANCE) return 0.299f * r + 0.587f * g + 0.114f * b;
  const float mx = fm_maxf(r, fm_maxf(g, b));
  const float mn = fm_minf(r, fm_minf(g, b));
  if (ch == FM_CH_LIGHTNESS) return 0.5f * (mx + mn);
  // Hue and saturation are properties of straight colour.
  if (!(a > 1e-6f)) return 0.0f;
  const float hi = mx / a, lo = mn / a, d = hi - lo;
  if (!(d > 1e-6f)) return 0.0f;
  if (ch == FM_CH_SATURATION) {
    const float l = 0.5f * (hi + lo);
    const float den = l < 0.5f ? hi + lo : 2.0f - hi - lo;
    if (!(den > 1e-6f)) return 0.0f;
    return fm_clampf(d / den, 0.0f, 1.0f);
  }
  const float sr = r / a, sg = g / a, sb = b / a;
  float h;
  if (hi == sr) {
    h = (sg - sb) / d;
    if (sg < sb) h += 6.0f;
  } else if (hi == sg) {
    h = (sb - sr) / d + 2.0f;
  } else {
    h = (sr - sg) / d + 4.0f;
  }
  return h / 6.0f;
}

#endif
