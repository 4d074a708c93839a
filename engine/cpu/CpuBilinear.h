// A vector's worth of bilinear samples at a time (fm_bilin0's fast path) for the AVX2 and
// AVX-512 levels, part of the level body (CpuLevelBody.h): positions, floors and fractions lane
// by lane, then kLanes / 4 pixels per vector for the interpolation. Every lane takes the scalar
// formula's operations in its order, so each sample is unchanged to the bit.
#pragma once

#if FM_CPU_LANES >= 8
namespace bilinear {

constexpr int kPer = kLanes / 4;  // pixels per vector

// Where kLanes samples read: each one's first source pixel, as an offset from the image's
// start, and its fractions along x and y.
struct Samples {
  Li offset;
  Lf ax, ay;
};

// Whether offsets into an image of this pitch and height fit 32 bits.
inline bool offsetsFit(int pitch, int height) { return int64_t(pitch) * (int64_t(height) + 1) < (int64_t(1) << 31); }

// The samples at (X, Y) when every one has all four source pixels inside a w x h image, the
// case in which fm_bilin0 reads them without edge tests; false otherwise (NaN included).
FM_LANE_FN bool interior(Lf X, Lf Y, int w, int h, int pitch, Samples& s) {
  const Lf fx = lfloor(X), fy = lfloor(Y);
  const Li ix = truncInt(fx), iy = truncInt(fy);
  const Li inside = (X > -1.0f) & (Y > -1.0f) & (X < float(w)) & (Y < float(h)) & (ix >= 0) & (iy >= 0) &
                    (ix + 1 < w) & (iy + 1 < h);
  if (!allLanes(inside)) return false;
  s.offset = iy * pitch + ix;
  s.ax = X - fx;
  s.ay = Y - fy;
  return true;
}

// The lanes of the pixels of vector q, each repeated over its four channels.
#if FM_CPU_LANES == 16
constexpr Li kSpread[4] = {{0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3},
                           {4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7},
                           {8, 8, 8, 8, 9, 9, 9, 9, 10, 10, 10, 10, 11, 11, 11, 11},
                           {12, 12, 12, 12, 13, 13, 13, 13, 14, 14, 14, 14, 15, 15, 15, 15}};
#else
constexpr Li kSpread[4] = {{0, 0, 0, 0, 1, 1, 1, 1}, {2, 2, 2, 2, 3, 3, 3, 3}, {4, 4, 4, 4, 5, 5, 5, 5},
                           {6, 6, 6, 6, 7, 7, 7, 7}};
#endif

#if FM_CPU_LANES == 8
// Lanes q and q + 4 of a vector's worth of pixels share one vector, one per 128-bit half, so
// that their pixels load straight into place and per-lane values spread within each half
// (permutes across halves cost several shuffles on some processors).
FM_LANE_FN Lf pairedAt(const float4* p, int q) { return as<Lf>(halves(p + q, p + q + 4)); }
FM_LANE_FN void storePaired(float4* p, int q, Lf v) {
  _mm_storeu_ps(reinterpret_cast<float*>(p + q), _mm256_castps256_ps128(as<__m256>(v)));
  _mm_storeu_ps(reinterpret_cast<float*>(p + q + 4), _mm256_extractf128_ps(as<__m256>(v), 1));
}
// Lanes q and q + 4 of v, each over its half's four channels.
FM_LANE_FN Lf spreadPaired(Lf v, int q) {
  const __m256 m = as<__m256>(v);
  switch (q) {
    case 0: return as<Lf>(_mm256_permute_ps(m, 0x00));
    case 1: return as<Lf>(_mm256_permute_ps(m, 0x55));
    case 2: return as<Lf>(_mm256_permute_ps(m, 0xaa));
    default: return as<Lf>(_mm256_permute_ps(m, 0xff));
  }
}

// Vector q of the kLanes samples of s from src; bx and by are 1 - s.ax and 1 - s.ay.
FM_LANE_FN Lf interpolated(const float4* src, int pitch, const Samples& s, Lf bx, Lf by, int q) {
  const float4* p0 = src + s.offset[q];
  const float4* p1 = src + s.offset[q + 4];
  const Lf A = as<Lf>(halves(p0, p1)), B = as<Lf>(halves(p0 + 1, p1 + 1));
  const Lf C = as<Lf>(halves(p0 + pitch, p1 + pitch)), D = as<Lf>(halves(p0 + pitch + 1, p1 + pitch + 1));
  const Lf wx0 = spreadPaired(bx, q), wx1 = spreadPaired(s.ax, q);
  const Lf wy0 = spreadPaired(by, q), wy1 = spreadPaired(s.ay, q);
  return (A * wx0 + B * wx1) * wy0 + (C * wx0 + D * wx1) * wy1;
}
FM_LANE_FN Lf loadSum(const float4* acc, int q) { return pairedAt(acc, q); }
FM_LANE_FN void storeSum(float4* acc, int q, Lf v) { storePaired(acc, q, v); }
#else
typedef float PixelPair __attribute__((vector_size(32), aligned(4), may_alias));
FM_LANE_FN PixelPair pairAt(const float4* at) { return *reinterpret_cast<const PixelPair*>(at); }

// From two vectors of (left, right) pixel pairs, the left or the right pixel of each pair.
constexpr Li kFirstOfPair = {0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27};
constexpr Li kSecondOfPair = {4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23, 28, 29, 30, 31};

// The pairs at p[0] .. p[3] (each moved by `off`), as two vectors.
FM_LANE_FN void pairs(const float4* const* p, fm_idx off, Lf& lo, Lf& hi) {
  auto join = [](PixelPair a, PixelPair b) -> Lf {
    return __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  };
  lo = join(pairAt(p[0] + off), pairAt(p[1] + off));
  hi = join(pairAt(p[2] + off), pairAt(p[3] + off));
}

// Vector q (samples kPer q on) of the kLanes samples of s from src; bx and by are 1 - s.ax and
// 1 - s.ay.
FM_LANE_FN Lf interpolated(const float4* src, int pitch, const Samples& s, Lf bx, Lf by, int q) {
  const float4* p[kPer];
  for (int k = 0; k < kPer; ++k) p[k] = src + s.offset[kPer * q + k];
  Lf top0, top1, bot0, bot1;
  pairs(p, 0, top0, top1);
  pairs(p, pitch, bot0, bot1);
  const Lf A = __builtin_shuffle(top0, top1, kFirstOfPair), B = __builtin_shuffle(top0, top1, kSecondOfPair);
  const Lf C = __builtin_shuffle(bot0, bot1, kFirstOfPair), D = __builtin_shuffle(bot0, bot1, kSecondOfPair);
  const Lf wx0 = __builtin_shuffle(bx, kSpread[q]), wx1 = __builtin_shuffle(s.ax, kSpread[q]);
  const Lf wy0 = __builtin_shuffle(by, kSpread[q]), wy1 = __builtin_shuffle(s.ay, kSpread[q]);
  return (A * wx0 + B * wx1) * wy0 + (C * wx0 + D * wx1) * wy1;
}
FM_LANE_FN Lf loadSum(const float4* acc, int q) { return loadLanes(acc + kPer * q); }
FM_LANE_FN void storeSum(float4* acc, int q, Lf v) { storeLanes(acc + kPer * q, v); }
#endif

// acc[i] += sample i * weight for the kLanes samples of s from src.
FM_LANE_FN void add(float4* acc, const float4* src, int pitch, const Samples& s, float weight) {
  const Lf bx = 1.0f - s.ax, by = 1.0f - s.ay;
#pragma GCC unroll 4
  for (int q = 0; q < 4; ++q) storeSum(acc, q, loadSum(acc, q) + interpolated(src, pitch, s, bx, by, q) * weight);
}

// The sums of kLanes pixels kept in vectors across samples, laid out as loadSum lays them out.
struct Sums {
  Lf v[4] = {};
  FM_LANE_FN void store(float4* acc) const {
    for (int q = 0; q < 4; ++q) storeSum(acc, q, v[q]);
  }
};

// As add, for samples anywhere: those not all inside go through fm_bilin0 one by one.
FM_LANE_FN void addAnywhere(float4* acc, const float4* src, int w, int h, int pitch, Lf X, Lf Y, float weight) {
  Samples s;
  if (interior(X, Y, w, h, pitch, s)) return add(acc, src, pitch, s, weight);
  for (int k = 0; k < kLanes; ++k) acc[k] += fm_bilin0(src, w, h, pitch, X[k], Y[k]) * weight;
}

// As add, to sums kept in vectors. Unit: the caller's weight is 1, whose product changes no
// value (a NaN stays the NaN the sum then takes), so it is left out.
template <bool Unit = false>
FM_LANE_FN void add(Sums& sums, const float4* src, int pitch, const Samples& s, float weight) {
  const Lf bx = 1.0f - s.ax, by = 1.0f - s.ay;
#pragma GCC unroll 4
  for (int q = 0; q < 4; ++q) {
    const Lf v = interpolated(src, pitch, s, bx, by, q);
    sums.v[q] += Unit ? v : v * weight;
  }
}

// As addAnywhere, to sums kept in vectors.
template <bool Unit = false>
FM_LANE_FN void addAnywhere(Sums& sums, const float4* src, int w, int h, int pitch, Lf X, Lf Y, float weight) {
  Samples s;
  if (interior(X, Y, w, h, pitch, s)) return add<Unit>(sums, src, pitch, s, weight);
  float4 acc[kLanes];
  sums.store(acc);
  for (int k = 0; k < kLanes; ++k) acc[k] += fm_bilin0(src, w, h, pitch, X[k], Y[k]) * weight;
  for (int q = 0; q < 4; ++q) sums.v[q] = loadSum(acc, q);
}

}  // namespace bilinear
#endif
